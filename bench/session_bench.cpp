// Time per IdentifyDevice + GetUpdates through CreateKavrin against the simulated phone and the
// in-process simulated update server, next to the provider work of the same calls alone: the
// MTP and HTTP calls that one identify + search made, replayed straight to the same phone and
// server without the library. The ratio is the providers' share of the time; the rest is the
// library's own overhead (building requests, parsing datasets and manifests, caches, tracking).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "InProcessServerProvider.h"
#include "SimulatedPhone.h"
#include "SimulatedUpdateServer.h"
#include "TempDirectory.h"
#include "kavrin/Kavrin.h"
#include "kavrin/Logger.h"

namespace {

using kvtest::InProcessServerProvider;
using kvtest::SimulatedPhone;
using kvtest::SimulatedUpdateServer;

// The host's log sink costs nothing here, so that only the library's own work is measured.
class SilentLogger : public kv::Logger {
public:
    void error(const std::string&) override {}
    void log(const std::string&, bool) override {}
};

// Each provider call that was made, as a closure that makes the same call again and says
// whether it gave the same result.
using CallLog = std::vector<std::function<bool()>>;

class RecordingPhone : public kv::MtpProvider {
public:
    RecordingPhone(std::shared_ptr<kv::MtpProvider> phone, CallLog& log)
        : phone_(std::move(phone)), log_(log) {}

    MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                      const std::shared_ptr<const MtpRequest>& request,
                      std::shared_ptr<MtpResponse>& response) override {
        const auto buffer = response ? response->data : nullptr;
        const auto result = phone_->execute(deviceId, maxDataLength, request, response);
        log_.push_back([phone = phone_, deviceId, maxDataLength, request, buffer, result] {
            auto response = std::make_shared<MtpResponse>();
            response->data = buffer;
            return phone->execute(deviceId, maxDataLength, request, response) == result;
        });
        return result;
    }
    // Identify and search send no file and run on one thread: these only pass through.
    MtpResult sendFile(const std::string& deviceId, const std::string& localPath,
                       const std::string& destinationPath, uint32_t& objectHandle) override {
        return phone_->sendFile(deviceId, localPath, destinationPath, objectHandle);
    }
    MtpResult cancel(const std::string& deviceId) override { return phone_->cancel(deviceId); }
    bool progress(const std::string& deviceId, double& fraction) override {
        return phone_->progress(deviceId, fraction);
    }

private:
    const std::shared_ptr<kv::MtpProvider> phone_;
    CallLog& log_;
};

class RecordingHttp : public kv::HttpProvider {
public:
    RecordingHttp(std::shared_ptr<kv::HttpProvider> http, CallLog& log)
        : http_(std::move(http)), log_(log) {}

    HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                    std::shared_ptr<HttpResponse>& response) override {
        return recordExchange(&kv::HttpProvider::post, request, response);
    }
    HttpResult get(const std::shared_ptr<const HttpRequest>& request,
                   std::shared_ptr<HttpResponse>& response) override {
        return recordExchange(&kv::HttpProvider::get, request, response);
    }
    HttpResult readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                        uint64_t& bytesRead, bool& moreData) override {
        const auto result = http_->readBody(buffer, bufferSize, bytesRead, moreData);
        log_.push_back([http = http_, buffer, bufferSize, bytes = bytesRead, result] {
            uint64_t bytesRead = 0;
            bool moreData = false;
            return http->readBody(buffer, bufferSize, bytesRead, moreData) == result &&
                   bytesRead == bytes;
        });
        return result;
    }
    HttpResult cancel() override { return http_->cancel(); }

private:
    template <typename Request>
    using Exchange = HttpResult (kv::HttpProvider::*)(const std::shared_ptr<const Request>&,
                                                      std::shared_ptr<HttpResponse>&);

    template <typename Request>
    HttpResult recordExchange(Exchange<Request> exchange,
                              const std::shared_ptr<const Request>& request,
                              std::shared_ptr<HttpResponse>& response) {
        const auto result = (http_.get()->*exchange)(request, response);
        log_.push_back([http = http_, exchange, request, result] {
            std::shared_ptr<HttpResponse> response;
            return (http.get()->*exchange)(request, response) == result;
        });
        return result;
    }

    const std::shared_ptr<kv::HttpProvider> http_;
    CallLog& log_;
};

// The simulated phone and server with one package for the phone, and a library session on them.
class World {
public:
    World() {
        server_->addPackage(kvtest::SimulatedPackage::example("p1", 4096));
        kv::Kavrin::SessionParameters parameters;
        parameters.logger = std::make_shared<SilentLogger>();
        parameters.httpProvider = http_;
        parameters.mtpProvider = phone_;
        parameters.deviceId = SimulatedPhone::defaultDeviceId;
        parameters.workingDirectory = workingDirectory_.path();
        parameters.language = "en";
        parameters.clientName = "bench-host";
        parameters.clientVersion = "1.0";
        parameters_ = parameters;
    }

    // Opens the library's session, optionally through recorders that fill `log`.
    bool openSession(CallLog* log = nullptr) {
        auto parameters = parameters_;
        if (log) {
            parameters.mtpProvider = std::make_shared<RecordingPhone>(phone_, *log);
            parameters.httpProvider = std::make_shared<RecordingHttp>(http_, *log);
        }
        return kavrin_->CreateSession(parameters) == kv::Kavrin::Result::Ok;
    }

    bool identifyAndSearch() {
        std::shared_ptr<std::string> id;
        std::shared_ptr<std::vector<kv::Kavrin::UpdateMetadata>> updates;
        return kavrin_->IdentifyDevice(id) == kv::Kavrin::Result::Ok && id &&
               kavrin_->GetUpdates(*id, updates) == kv::Kavrin::Result::Ok && updates &&
               updates->size() == 1;
    }

private:
    kvtest::TempDirectory workingDirectory_;
    std::shared_ptr<SimulatedPhone> phone_ = std::make_shared<SimulatedPhone>();
    std::shared_ptr<SimulatedUpdateServer> server_ = std::make_shared<SimulatedUpdateServer>();
    std::shared_ptr<InProcessServerProvider> http_ =
        std::make_shared<InProcessServerProvider>(server_);
    std::unique_ptr<kv::Kavrin> kavrin_ = CreateKavrin();
    kv::Kavrin::SessionParameters parameters_;
};

// A host's identify + search in a fresh session: a new working directory, phone, server and
// library each time, since a session keeps every update it found and its identifier cache keeps
// every collection, so repeating the calls in one place would time a growing registry. Only the
// two calls are timed; opening and closing the session (which saves the caches with fsync) are
// not part of them.
void throughTheLibrary(benchmark::State& state) {
    for (auto _ : state) {
        World world;
        if (!world.openSession()) {
            state.SkipWithError("no session");
            break;
        }
        const auto started = std::chrono::steady_clock::now();
        const bool found = world.identifyAndSearch();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (!found) {
            state.SkipWithError("identify or search failed");
            break;
        }
    }
}

bool replay(const CallLog& log) {
    for (const auto& call : log) {
        if (!call()) {
            return false;
        }
    }
    return true;
}

void providersAlone(benchmark::State& state) {
    World world;
    CallLog log;
    if (!world.openSession(&log)) {
        state.SkipWithError("no session");
        return;
    }
    log.clear();  // what opening the session asked of the providers is not identify + search
    if (!world.identifyAndSearch() || log.empty()) {
        state.SkipWithError("nothing recorded");
        return;
    }
    for (auto _ : state) {
        if (!replay(log)) {
            state.SkipWithError("a replayed call answered differently");
            break;
        }
    }
    state.counters["calls"] = static_cast<double>(log.size());
}

// Each library iteration builds and tears down a whole world (about 20 ms, most of it fsync), so
// its count is fixed rather than grown to fill a minimum time.
BENCHMARK(throughTheLibrary)
    ->Name("identify_search/library")
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(providersAlone)
    ->Name("identify_search/providers")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
