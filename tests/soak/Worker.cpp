#include "Worker.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "InProcessServerProvider.h"
#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "WorkerProcess.h"
#include "common/Platform.h"
#include "kavrin/Kavrin.h"

namespace kvsoak {

namespace {

using kv::HttpProvider;
using kv::MtpProvider;
using Result = kv::Kavrin::Result;

constexpr uint16_t operationVerifyAndUpdateV4 = 0x9178;
constexpr uint16_t responseDeviceBusy = 0x2019;

class StderrLogger : public kv::Logger {
public:
    void error(const std::string& message) override { std::cerr << "E " << message << '\n'; }
    void log(const std::string& message, bool verbose) override {
        std::cerr << (verbose ? "V " : "I ") << message << '\n';
    }
};

// The driver's simulated server, one message per provider call.
class RemoteServer : public HttpProvider {
public:
    explicit RemoteServer(Wire& wire) : wire_(wire) {}

    HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                    std::shared_ptr<HttpResponse>& response) override {
        wire_.putAsk(Ask::Post);
        putRequest(*request);
        wire_.putText(
            std::string(reinterpret_cast<const char*>(request->data.get()), request->dataSize));
        return takeResponse(response);
    }

    HttpResult get(const std::shared_ptr<const HttpRequest>& request,
                   std::shared_ptr<HttpResponse>& response) override {
        wire_.putAsk(Ask::Get);
        putRequest(*request);
        return takeResponse(response);
    }

    HttpResult readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                        uint64_t& bytesRead, bool& moreData) override {
        wire_.putAsk(Ask::ReadBody);
        wire_.putNumber(bufferSize);
        const auto result = static_cast<HttpResult>(wire_.number());
        const std::string bytes = wire_.text();
        moreData = wire_.number() != 0;
        bytesRead = bytes.size();
        std::memcpy(buffer.get(), bytes.data(), bytes.size());
        return result;
    }

    // The worker never cancels.
    HttpResult cancel() override { return HttpResult::Success; }

private:
    void putRequest(const HttpRequest& request) {
        wire_.putText(request.url);
        wire_.putTexts(request.headers);
    }

    HttpResult takeResponse(std::shared_ptr<HttpResponse>& response) {
        const auto result = static_cast<HttpResult>(wire_.number());
        response = std::make_shared<HttpResponse>();
        response->statusCode = static_cast<int32_t>(wire_.number());
        response->headers = wire_.texts();
        return result;
    }

    Wire& wire_;
};

// The simulated phone, each call announced to the driver first (a moment it may kill at), and
// each file the phone kept reported, so that the driver knows what the phone holds even when
// it kills the worker afterwards.
class ReportingPhone : public MtpProvider {
public:
    ReportingPhone(Wire& wire, std::shared_ptr<kvtest::SimulatedPhone> phone)
        : wire_(wire), phone_(std::move(phone)) {}

    MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                      const std::shared_ptr<const MtpRequest>& request,
                      std::shared_ptr<MtpResponse>& response) override {
        announce();
        return phone_->execute(deviceId, maxDataLength, request, response);
    }

    MtpResult sendFile(const std::string& deviceId, const std::string& localPath,
                       const std::string& destinationPath, uint32_t& objectHandle) override {
        announce();
        const MtpResult result =
            phone_->sendFile(deviceId, localPath, destinationPath, objectHandle);
        if (const auto stored = phone_->storedObject(objectHandle);
            result == MtpResult::Success && stored) {
            wire_.putAsk(Ask::PhoneStored);
            wire_.putText(stored->sha256);
            wire_.putNumber(stored->size);
            wire_.number();
        }
        return result;
    }

    MtpResult cancel(const std::string& deviceId) override { return phone_->cancel(deviceId); }
    bool progress(const std::string& deviceId, double& fraction) override {
        return phone_->progress(deviceId, fraction);
    }

private:
    void announce() {
        wire_.putAsk(Ask::PhoneStep);
        wire_.number();
    }

    Wire& wire_;
    std::shared_ptr<kvtest::SimulatedPhone> phone_;
};

// Fifteen digits whose last is the Luhn check digit of the others.
std::string imeiOf(uint32_t phone) {
    std::string digits = "49015420" + std::to_string(1000000 + phone).substr(1);
    int sum = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        int digit = digits[digits.size() - 1 - i] - '0';
        if (i % 2 == 0) {
            digit = digit * 2 > 9 ? digit * 2 - 9 : digit * 2;
        }
        sum += digit;
    }
    return digits + std::to_string((10 - sum % 10) % 10);
}

std::string deviceIdOf(uint32_t phone) {
    return "soak-phone-" + std::to_string(phone);
}

kv::Kavrin::SessionParameters sessionOf(const WorkerPlan& plan, std::shared_ptr<kv::Logger> logger,
                                        std::shared_ptr<HttpProvider> http,
                                        std::shared_ptr<MtpProvider> phone) {
    kv::Kavrin::SessionParameters parameters;
    parameters.logger = std::move(logger);
    parameters.httpProvider = std::move(http);
    parameters.mtpProvider = std::move(phone);
    parameters.deviceId = deviceIdOf(plan.phone);
    parameters.workingDirectory = plan.workingDirectory;
    parameters.language = "en";
    parameters.clientName = "kavrin-soak";
    parameters.clientVersion = "1.0";
    return parameters;
}

std::shared_ptr<kvtest::SimulatedPhone> phoneOf(const WorkerPlan& plan) {
    auto phone = std::make_shared<kvtest::SimulatedPhone>(kvtest::SimulatedPhone::Kind::GotaV4,
                                                          deviceIdOf(plan.phone));
    phone->setImei(imeiOf(plan.phone));
    phone->setTransferMode(kvtest::SimulatedPhone::TransferMode::DigestOnly);
    if (plan.phoneFault == PhoneFault::Busy) {
        phone->answerWithResponseCode(operationVerifyAndUpdateV4, responseDeviceBusy);
    } else if (plan.phoneFault == PhoneFault::Gone) {
        phone->failSendFileWith(MtpProvider::MtpResult::DeviceDisconnected, plan.phoneGoneAfter);
    }
    return phone;
}

// The worker's wall clock: it starts where the driver says, moves on by every retry wait
// instead of sleeping, and by a millisecond at each reading, so that no two tracking events of
// a run carry the same time.
class VirtualClock {
public:
    explicit VirtualClock(uint64_t start) : now_(start) {}
    void sleep(uint64_t milliseconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += milliseconds;
    }
    uint64_t read() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ++now_;
    }

private:
    std::mutex mutex_;
    uint64_t now_;
};

// The whole flow as a host runs it; the text names each step's result ("download 3"), up to
// the first that failed.
std::string update(kv::Kavrin& kavrin, const kv::Kavrin::SessionParameters& parameters) {
    std::string steps;
    const auto step = [&steps](const char* name, Result result) {
        steps += std::string(steps.empty() ? "" : ", ") + name + " " +
                 std::to_string(static_cast<int>(result));
        return result == Result::Ok;
    };
    if (!step("session", kavrin.CreateSession(parameters))) {
        return steps;
    }
    std::shared_ptr<std::string> id;
    std::shared_ptr<std::vector<kv::Kavrin::UpdateMetadata>> updates;
    if (step("identify", kavrin.IdentifyDevice(id)) &&
        step("search", kavrin.GetUpdates(*id, updates)) && !updates->empty()) {
        const std::string updateId = updates->front().id;
        step("download", kavrin.DownloadDeltaUpdate(updateId)) &&
            step("transfer", kavrin.TransferDeltaToDevice(updateId)) &&
            step("install", kavrin.UpdateDeviceWithDelta(updateId, true));
    }
    kavrin.DestroySession();
    return steps;
}

}  // namespace

int runWorker(const WorkerPlan& plan) {
    if (plan.fileSizeLimit != 0) {
        limitFileSize(plan.fileSizeLimit);
    }
    Wire wire = workerWire();
    VirtualClock clock(plan.clockStart);
    kvinternal::platform::setHooks(
        kvinternal::platform::Hooks()
            .withSleep([&clock](uint64_t milliseconds) { clock.sleep(milliseconds); })
            .withWallClock([&clock] { return clock.read(); }));
    const std::string steps =
        update(*CreateKavrin(), sessionOf(plan, std::make_shared<StderrLogger>(),
                                          std::make_shared<RemoteServer>(wire),
                                          std::make_shared<ReportingPhone>(wire, phoneOf(plan))));
    const ResourceFigures figures = ownResources();
    wire.putAsk(Ask::Finished);
    wire.putText(steps);
    wire.putNumber(figures.peakRssKilobytes);
    wire.putNumber(figures.openDescriptors);
    wire.number();
    return 0;
}

bool identifyRepeatedly(const std::string& workingDirectory, unsigned count) {
    WorkerPlan plan;
    plan.workingDirectory = workingDirectory;
    // Identification asks no server.
    auto server = std::make_shared<kvtest::InProcessServerProvider>(
        std::make_shared<kvtest::SimulatedUpdateServer>());
    const auto kavrin = CreateKavrin();
    if (kavrin->CreateSession(sessionOf(plan, std::make_shared<kvtest::RecordingLogger>(), server,
                                        phoneOf(plan))) != Result::Ok) {
        return false;
    }
    bool identified = true;
    for (unsigned i = 0; i < count && identified; ++i) {
        std::shared_ptr<std::string> id;
        identified = kavrin->IdentifyDevice(id) == Result::Ok;
    }
    kavrin->DestroySession();
    return identified;
}

}  // namespace kvsoak
