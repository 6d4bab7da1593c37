#include <condition_variable>
#include <mutex>
#include <thread>

#include "HttpServiceTestSupport.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

class HttpServiceConcurrencyTest : public HttpServiceTest {};

// Queries start and end while the host keeps cancelling: every cancel sees either no call or
// a running one, and only a running one reaches the provider.
TEST_F(HttpServiceConcurrencyTest, CancelRacesWithCallsStartingAndEnding) {
    constexpr int rounds = 200;
    provider->enqueue(kvtest::HttpAnswer::withBody("{}", "application/json"), rounds);
    std::thread operation([&] {
        for (int round = 0; round < rounds; ++round) {
            try {
                service.get("https://u.example/q", "q", ContentType::Json);
            } catch (const CancelledException&) {
                // A cancel that met the read; the next query starts afresh.
            }
        }
    });
    for (int round = 0; round < rounds; ++round) {
        service.cancel();
    }
    operation.join();
    const size_t cancelled = logger->count("Cancelling HTTP function call.");
    EXPECT_EQ(cancelled + logger->count("No ongoing HTTP function call to cancel."),
              static_cast<size_t>(rounds));
    EXPECT_EQ(provider->calls().cancel, cancelled);
}

// A provider whose `cancel` returns only once the exchange it aborts is over, which is when the
// library has read (or failed to read) the body: a provider may well be written so.
class CancelWaitsForTheExchange : public kv::HttpProvider {
public:
    HttpResult get(const std::shared_ptr<const HttpRequest>&,
                   std::shared_ptr<HttpResponse>& response) override {
        std::unique_lock<std::mutex> lock(mutex_);
        exchangeRuns_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return cancelled_; });
        response = std::make_shared<HttpResponse>();
        response->statusCode = 200;
        response->headers["Content-Type"] = "application/json";
        return HttpResult::Success;
    }
    HttpResult post(const std::shared_ptr<const HttpPostRequest>&,
                    std::shared_ptr<HttpResponse>&) override {
        return HttpResult::GeneralError;
    }
    HttpResult readBody(const std::shared_ptr<uint8_t[]>&, uint64_t, uint64_t&, bool&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        exchangeRuns_ = false;
        changed_.notify_all();
        return HttpResult::Cancelled;
    }
    HttpResult cancel() override {
        std::unique_lock<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !exchangeRuns_; });
        return HttpResult::Success;
    }
    void waitUntilAnExchangeRuns() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return exchangeRuns_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool exchangeRuns_ = false;
    bool cancelled_ = false;
};

TEST(HttpServiceCancelConcurrencyTest, ACancelThatWaitsForTheExchangeToEndEndsIt) {
    const auto provider = std::make_shared<CancelWaitsForTheExchange>();
    HttpService service(Log(std::make_shared<kvtest::RecordingLogger>()), provider, nullptr);
    Thrown thrown;
    std::thread operation([&] {
        thrown = thrownBy([&] { service.get("https://u.example/q", "q", ContentType::Json); });
    });
    provider->waitUntilAnExchangeRuns();
    service.cancel();
    operation.join();
    EXPECT_EQ(thrown.kind, "cancelled");
}

}  // namespace
}  // namespace kvinternal
