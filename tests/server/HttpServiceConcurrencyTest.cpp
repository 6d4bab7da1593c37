#include <thread>

#include "HttpServiceTestSupport.h"
#include "control/ProgressHandler.h"

namespace kvinternal {
namespace {

using kvtest::BodyRead;
using kvtest::HttpAnswer;

class HttpServiceConcurrencyTest : public HttpServiceTest {};

TEST_F(HttpServiceConcurrencyTest, CancelFromAnotherThreadEndsTheBlockedRead) {
    HttpAnswer answer = HttpAnswer::withBody("never read", "application/json");
    answer.reads = {BodyRead::untilCancelled()};
    provider->enqueue(answer);
    Thrown thrown;
    std::thread operation([&] {
        auto download = std::make_shared<ProgressHandler>(10, Log(logger));
        service.setOngoingCall(download);
        thrown = thrownBy([&] { service.get("https://h/p", "https://h/p", ContentType::Json); });
    });
    provider->waitUntilReadBlocks();
    service.cancel();
    operation.join();
    EXPECT_EQ(thrown, (Thrown{"cancelled", "Client cancelled"}));
    EXPECT_TRUE(logger->contains("Cancelling HTTP function call."));
    EXPECT_EQ(provider->calls().cancel, 1u);
}

// Downloads start and end while the host keeps cancelling: every cancel sees either no call or
// a live one, and only a live one reaches the provider.
TEST_F(HttpServiceConcurrencyTest, CancelRacesWithDownloadsStartingAndEnding) {
    constexpr int rounds = 200;
    std::thread operation([&] {
        for (int round = 0; round < rounds; ++round) {
            auto download = std::make_shared<ProgressHandler>(10, Log(logger));
            service.setOngoingCall(download);
            service.setOngoingCall({});
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

}  // namespace
}  // namespace kvinternal
