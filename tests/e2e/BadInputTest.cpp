// What a host sees, and what stays in the working directory, when the phone, the servers or the
// disk misbehave. The rows of the README's "What happens when..." table point here.
#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "UpdateExecutionFixture.h"
#include "common/JsonText.h"
#include "common/Platform.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

using Kind = SimulatedPhone::Kind;
using MtpResult = kv::MtpProvider::MtpResult;
using HttpResult = kv::HttpProvider::HttpResult;

// The simulated phone, except that the operations given answer OK with exactly these bytes.
class GarbledPhone : public SimulatedPhone {
public:
    using SimulatedPhone::SimulatedPhone;

    void garble(uint16_t operationCode, std::vector<uint8_t> data) {
        garbage_[operationCode] = std::move(data);
    }

    MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                      const std::shared_ptr<const MtpRequest>& request,
                      std::shared_ptr<MtpResponse>& response) override {
        const auto found = request ? garbage_.find(request->operationCode) : garbage_.end();
        if (found == garbage_.end()) {
            return SimulatedPhone::execute(deviceId, maxDataLength, request, response);
        }
        // As the phone does: bytes that do not fit the caller's buffer are refused, not written.
        if (!response || !response->data || found->second.size() > maxDataLength) {
            return MtpResult::NotEnoughMemory;
        }
        response->responseCode = 0x2001;
        response->dataLength = found->second.size();
        std::memcpy(response->data.get(), found->second.data(), response->dataLength);
        return MtpResult::Success;
    }

private:
    std::map<uint16_t, std::vector<uint8_t>> garbage_;
};

// The public operations of one update, in order.
enum class Step { Identify, Search, Download, Transfer, Install, FinalResult, None };

struct FaultCase {
    const char* name;
    Kind kind;
    std::function<void(GarbledPhone& phone, SimulatedUpdateServer& server)> inject;
    // The step that fails (None: the whole update succeeds) and what it returns.
    Step failingStep;
    Result result;
    // The package bytes in the working directory afterwards (nothing: no package file).
    std::optional<uint64_t> packageOnDisk;
    // Whether tracking events wait in "tracking" to be sent again.
    bool eventsStored = false;
};

class BadInputTest : public UpdateExecutionTest {
public:
    using UpdateExecutionTest::packageSize;

protected:
    std::shared_ptr<GarbledPhone> garbledPhone(Kind kind) {
        auto garbled = std::make_shared<GarbledPhone>(kind);
        phone = garbled;
        return garbled;
    }

    // Runs the update step by step up to the first failure; returns the failing step and its
    // result (None and Ok when every step succeeded).
    std::pair<Step, Result> runUpdate(Kind kind) {
        const std::vector<std::pair<Step, std::function<Result()>>> steps{
            {Step::Identify, [&] { return kavrin->IdentifyDevice(id_); }},
            {Step::Search, [&] { return kavrin->GetUpdates(id_ ? *id_ : "", updates_); }},
            {Step::Download, [&] { return kavrin->DownloadDeltaUpdate(firstDelta()); }},
            {Step::Transfer, [&] { return kavrin->TransferDeltaToDevice(firstDelta()); }},
            {Step::Install, [&] { return kavrin->UpdateDeviceWithDelta(firstDelta(), false); }},
            {Step::FinalResult,
             [&] {
                 std::shared_ptr<kv::Kavrin::FinalResult> result;
                 return kind == Kind::LegacyFota ? kavrin->GetFinalResult(false, result)
                                                 : Result::Ok;
             }},
        };
        openSession();
        for (const auto& [step, run] : steps) {
            const Result result = run();
            if (result != Result::Ok) {
                return {step, result};
            }
        }
        return {Step::None, Result::Ok};
    }

    std::optional<uint64_t> packageOnDisk() const {
        return kvinternal::platform::fileSize(packagePath());
    }

    // Every cache and stored tracking document in the working directory still parses.
    void expectStateFilesParse() const {
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(workingDirectory.path())) {
            const auto name = entry.path().filename().string();
            if (entry.path().extension() == ".cache" || entry.path().extension() == ".failed") {
                SCOPED_TRACE(name);
                const auto text = kvinternal::platform::readFile(entry.path().string());
                EXPECT_TRUE(kvinternal::json::parse(text.value_or("")).ok);
            }
        }
    }

private:
    std::string firstDelta() const {
        if (!updates_) {
            return "no update offered";
        }
        for (const auto& update : *updates_) {
            if (update.type != 1) {
                return update.id;
            }
        }
        return "no delta update offered";
    }

    std::shared_ptr<std::string> id_ = std::make_shared<std::string>();
    Updates updates_ = std::make_shared<std::vector<kv::Kavrin::UpdateMetadata>>();
};

class BadInputFaultTest : public BadInputTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BadInputFaultTest, EndsAtTheStepItBreaksAndKeepsItsState) {
    const FaultCase& c = GetParam();
    const auto garbled = garbledPhone(c.kind);
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    server->setImageUpdates({"secure", "ce-1", {{"23.1.0.0.0", "R2A", "", {{}}}}});
    c.inject(*garbled, *server);

    const auto [step, result] = runUpdate(c.kind);
    EXPECT_EQ(step, c.failingStep);
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_EQ(packageOnDisk(), c.packageOnDisk);
    EXPECT_EQ(
        !kvinternal::platform::listFilesWithSuffix(workingDirectory.file("tracking"), ".failed")
             .names.empty(),
        c.eventsStored);
    expectStateFilesParse();
}

std::vector<uint8_t> truncatedDeviceInfo() {
    auto dataset = SimulatedPhone(Kind::GotaV4).deviceInfoDataset();
    dataset.resize(20);
    return dataset;
}

constexpr auto none = std::nullopt;
constexpr uint64_t wholePackage = BadInputTest::packageSize;
// A string count promising more code units than follow.
const std::vector<uint8_t> overlongString{0xFF, 'K', 0, '9', 0};

const FaultCase faultCases[] = {
    {"PhoneDisconnectsDuringIdentification", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) {
         p.failWithResult(0x9187, MtpResult::DeviceDisconnected);
     },
     Step::Identify, Result::DeviceError, none},
    {"PhoneDisconnectsMidTransfer", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) {
         p.failSendFileWith(MtpResult::DeviceDisconnected);
     },
     Step::Transfer, Result::DeviceError, wholePackage},
    {"PhoneDisconnectsDuringVerify", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) {
         p.failWithResult(0x9178, MtpResult::DeviceDisconnected);
     },
     Step::Install, Result::DeviceError, wholePackage},
    {"PhoneDisconnectsBeforeTheFinalResult", Kind::LegacyFota,
     [](GarbledPhone& p, SimulatedUpdateServer&) {
         p.failWithResult(0x9171, MtpResult::UsbCommunicationError);
     },
     Step::FinalResult, Result::DeviceError, wholePackage},
    {"GarbageDeviceInfo", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) { p.garble(0x1001, truncatedDeviceInfo()); },
     Step::Identify, Result::DeviceError, none},
    {"GarbageIdentifierValue", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) { p.setRawProperty(0xD035, overlongString); },
     Step::None, Result::Ok, wholePackage},
    {"GarbageTransferResult", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) {
         p.failSendFileWith(static_cast<MtpResult>(0xEE));
     },
     Step::Transfer, Result::IllegalState, wholePackage},
    {"GarbageVerifyResponse", Kind::GotaV4,
     [](GarbledPhone& p, SimulatedUpdateServer&) { p.answerWithResponseCode(0x9178, 0x1234); },
     Step::Install, Result::IllegalState, wholePackage},
    {"GarbageFinalResultReport", Kind::LegacyFota,
     [](GarbledPhone& p, SimulatedUpdateServer&) {
         p.setFotaStatus({0x2001, 0, {0xFF, 0xFF, 0xFF, 0x7F, 'x'}});
     },
     Step::None, Result::Ok, wholePackage},
    {"GarbageFinalResultResponse", Kind::LegacyFota,
     [](GarbledPhone& p, SimulatedUpdateServer&) { p.answerWithResponseCode(0x9171, 0x1234); },
     Step::FinalResult, Result::IllegalState, wholePackage},
    {"ManifestIsNotJson", Kind::GotaV4,
     [](GarbledPhone&, SimulatedUpdateServer& s) {
         s.injectFault(Endpoint::Updates, ServerFault::withBody("<html>moved</html>"));
     },
     Step::Search, Result::IllegalState, none},
    {"ImageAnswerIsNotXml", Kind::LegacyFota,
     [](GarbledPhone&, SimulatedUpdateServer& s) {
         s.injectFault(Endpoint::ImageUpdates, ServerFault::withBody("{\"releases\": []}"));
     },
     Step::Search, Result::IllegalState, none},
    {"TrackingEndpointDown", Kind::LegacyFota,
     [](GarbledPhone&, SimulatedUpdateServer& s) {
         s.injectFault(Endpoint::Tracking, ServerFault::withStatus(500),
                       SimulatedUpdateServer::forever);
     },
     Step::None, Result::Ok, wholePackage, true},
    {"ServerWithoutThePinnedKey", Kind::GotaV4,
     [](GarbledPhone&, SimulatedUpdateServer& s) {
         s.injectFault(Endpoint::Updates,
                       ServerFault::providerFailure(HttpResult::CertificateVerificationError));
     },
     Step::Search, Result::NetworkError, none},
};

INSTANTIATE_TEST_SUITE_P(Faults, BadInputFaultTest, ::testing::ValuesIn(faultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

#ifndef _WIN32
// While it lives, files cannot grow beyond `bytes`, as on a disk that is full at that size:
// writes beyond it fail (EFBIG) instead of ending the process with SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int);
};
#endif

// Tracking never holds an update: with the endpoint down, a whole update of a legacy phone
// waits once, 3 s, instead of 165 s for each of its events.
TEST_F(BadInputTest, ADeadTrackingEndpointAddsOneWaitToAWholeUpdate) {
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    server->injectFault(Endpoint::Tracking, ServerFault::withStatus(500),
                        SimulatedUpdateServer::forever);
    usePhone(Kind::LegacyFota);
    EXPECT_EQ(runUpdate(Kind::LegacyFota), std::make_pair(Step::None, Result::Ok));
    EXPECT_EQ(sleeps, std::vector<uint64_t>{3000});
}

// Thousands of stored tracking documents never hold up an update: each operation sends at most
// fifty of them again; the rest wait for the next operations.
TEST_F(BadInputTest, AnOperationResendsAtMostFiftyStoredDocuments) {
    const std::string directory = workingDirectory.file("tracking");
    kvinternal::platform::createDirectory(directory);
    const uint64_t yesterday = kvinternal::platform::currentTimeMilliseconds() - 24 * 3600 * 1000;
    for (int i = 0; i < 120; ++i) {
        ASSERT_TRUE(kvinternal::platform::writeFileAtomically(
            directory + "/stored-" + std::to_string(i) + ".failed",
            "{\"stored\": " + std::to_string(i) +
                ", \"resend\": {\"firstFailureDate\": " + std::to_string(yesterday) +
                ", \"latestResendAttempt\": " + std::to_string(yesterday) + "}}"));
    }
    const auto resent = [this] {
        std::size_t count = 0;
        for (const auto& received : server->trackingDocuments()) {
            count += received.document.isMember("stored") ? 1 : 0;
        }
        return count;
    };
    const std::string updateId = offerPackage();  // the search is the first operation to resend
    EXPECT_EQ(resent(), 50u);
    EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    EXPECT_EQ(resent(), 100u);
    EXPECT_EQ(kvinternal::platform::listFilesWithSuffix(directory, ".failed").names.size(), 20u);
}

TEST_F(BadInputTest, FullDiskEndsTheDownloadAndTheNextOneResumesFromWhatFitted) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux only: Windows has no per-process file size limit (RLIMIT_FSIZE) that "
                    "fills the disk at a chosen size";
#else
    const std::string updateId = offerPackage();
    {
        const FileSizeLimit fullDisk(1'500'000);
        EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::IllegalState);
    }
    // Reported as what it is, not as a package larger than announced.
    EXPECT_TRUE(logger->contains(RecordingLogger::Channel::Error,
                                 "Illegal state exception: Could not write data to delta file, the "
                                 "disk may be full: " +
                                     packagePath()));
    EXPECT_EQ(packageOnDisk(), 1'500'000u);

    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    EXPECT_EQ(lastOf(server->requests(Endpoint::Package)).request.headers.at("Range"),
              "bytes=1500000-3499999");
    EXPECT_EQ(packageOnDisk(), packageSize);
#endif
}

TEST_F(BadInputTest, UnwritableWorkingDirectoryFailsTheDownloadAndKeepsNothing) {
    // A path through a regular file can be neither created nor written to, even by root.
    std::ofstream(workingDirectory.file("plain-file")) << "not a directory";
    const std::string unwritable = workingDirectory.file("plain-file/kavrin");
    auto unwritableSession = parameters();
    unwritableSession.workingDirectory = unwritable;
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    ASSERT_EQ(kavrin->CreateSession(unwritableSession), Result::Ok);
    const auto updates = search(identify());
    ASSERT_EQ(updates->size(), 1u);

    EXPECT_EQ(kavrin->DownloadDeltaUpdate(updates->front().id), Result::IllegalState);
    EXPECT_TRUE(logger->contains(
        RecordingLogger::Channel::Error,
        "Illegal state exception: Delta file could not be created: " + unwritable + "/pkg.bin"));
    EXPECT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_TRUE(logger->contains(RecordingLogger::Channel::Error,
                                 "Could not save identifier cache to file"));
    EXPECT_FALSE(std::filesystem::exists(unwritable));
}

TEST_F(BadInputTest, CorruptStateFilesAreDeletedAndTheSessionStartsAfresh) {
    const std::map<std::string, std::string> corrupt{
        {"deltafiles.cache", std::string(5000, '[')},  // nested too deep: found by fuzzing
        {"identifiers.cache", "{\"identifierCollections\": [{\"model\": [\"K-9\"]}]}"},
        {"updatesessionids.cache", std::string{'\0', '\xff', '\x01'} + " not json"},
        {"tracking/9d1c0f0e.failed", "{\"resend\": {\"firstFailureDate\": \"yesterday\"}}"},
    };
    std::filesystem::create_directory(workingDirectory.file("tracking"));
    for (const auto& [name, content] : corrupt) {
        std::ofstream(workingDirectory.file(name), std::ios::binary) << content;
    }
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    openSession();
    const auto updates = search(identify());
    ASSERT_EQ(updates->size(), 1u);
    for (const auto& [name, content] : corrupt) {
        EXPECT_FALSE(std::filesystem::exists(workingDirectory.file(name))) << name;
    }
    EXPECT_EQ(kavrin->DownloadDeltaUpdate(updates->front().id), Result::Ok);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    expectStateFilesParse();
}

}  // namespace
}  // namespace kvtest
