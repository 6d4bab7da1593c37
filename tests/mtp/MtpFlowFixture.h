#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ImeiEncryption.h"
#include "InProcessServerProvider.h"
#include "PatternedBody.h"
#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "SimulatedUpdateServer.h"
#include "TempDirectory.h"
#include "common/Base64.h"
#include "common/Platform.h"
#include "control/Exceptions.h"
#include "control/ServerChoice.h"
#include "mtp/MtpService.h"
#include "server/HttpService.h"
#include "server/InternalUpdateMetadata.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingService.h"

namespace kvinternal {

// A host sink that hands every line to `onLine` after recording it, so that a test can make it
// throw. Set `onLine` before the threads that log start.
class ThrowingLogger : public kvtest::RecordingLogger {
public:
    void error(const std::string& message) override {
        RecordingLogger::error(message);
        if (onLine) {
            onLine(message);
        }
    }
    void log(const std::string& message, bool verbose) override {
        RecordingLogger::log(message, verbose);
        if (onLine) {
            onLine(message);
        }
    }

    std::function<void(const std::string&)> onLine;
};

// What an operation threw, as "Class: message" ("Device <code>: message").
inline std::string thrownBy(const std::function<void()>& action) {
    try {
        action();
        return "nothing";
    } catch (const CancelledException& e) {
        return std::string("Cancelled: ") + e.what();
    } catch (const DeviceException& e) {
        return "Device " + std::to_string(e.code()) + ": " + e.what();
    } catch (const IllegalStateException& e) {
        return std::string("IllegalState: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("std: ") + e.what();
    } catch (...) {
        return "other";
    }
}

// The ways the checked provider call of a flow fails: a provider result, or the host's sink
// throwing from the success line of the result check (the only other code the check runs). Each
// with what every flow rethrows for it.
struct Fault {
    std::optional<kv::MtpProvider::MtpResult> result;
    std::function<void()> sinkThrows;
    std::string thrown;
};
inline const std::vector<Fault> faults{
    {kv::MtpProvider::MtpResult::Cancelled, nullptr, "Cancelled: Client cancelled"},
    {kv::MtpProvider::MtpResult::UsbCommunicationError, nullptr,
     "Device 8: USB communication error"},
    {kv::MtpProvider::MtpResult::GeneralError, nullptr,
     "IllegalState: General error when executing MTP provider function"},
    {std::nullopt, [] { throw DeviceException("cable pulled"); }, "Device -1: cable pulled"},
    {std::nullopt, [] { throw std::runtime_error("sink full"); }, "std: sink full"},
    {std::nullopt, [] { throw 42; }, "other"},
};

// The MTP service over the simulated phone, reporting to a real tracking service that posts to
// the simulated update server, in a fresh working directory. The phone lists every update
// operation. Waits are recorded instead of slept.
class MtpFlowFixture : public ::testing::Test {
protected:
    using Channel = kvtest::RecordingLogger::Channel;
    using MtpResult = kv::MtpProvider::MtpResult;
    using SimulatedPhone = kvtest::SimulatedPhone;

    static constexpr char destination[] = "/recovery/update_package";
    static constexpr uint64_t packageBytes = 3000;

    void SetUp() override {
        phone->setOperationsSupported({0x9170, 0x9171, 0x9175, 0x9178});
        service.setTrackingService(tracking);
        sessionIds->createSessionId(identifiers.at(IdentifierId::EncryptedImei),
                                    identifiers.at(IdentifierId::CalculatedImei), "fw-1");
    }
    void TearDown() override { trackingLogger->onLine = nullptr; }

    // An update record of data version 1, 2 or (a plain record) 0.
    std::shared_ptr<InternalUpdateMetadata> update(int32_t dataVersion,
                                                   const std::string& id = "YAV:1") const {
        kv::Kavrin::UpdateMetadata record;
        record.id = id;
        record.name = "Kestrel 5 \xC3\x84 update";
        record.version = "62.0";
        record.size = packageBytes;
        auto file = DeltaFile::create(directory.path(), Log(), "https://dl.example/p.bin",
                                      packageBytes, "hash-1");
        std::shared_ptr<InternalUpdateMetadata> metadata;
        if (dataVersion == 1) {
            auto v1 = std::make_shared<InternalUpdateMetadataV1>(record, std::move(file));
            v1->cdfRevision = "R7B";
            metadata = v1;
        } else if (dataVersion == 2) {
            auto v2 = std::make_shared<InternalUpdateMetadataV2>(record, std::move(file));
            v2->targetSwVariant = "EU2";
            metadata = v2;
        } else {
            metadata = std::make_shared<InternalUpdateMetadata>(0, record, std::move(file));
        }
        metadata->fwId = "fw-1";
        metadata->serverChecksum = "sum-1";
        metadata->hash = "hash-1";
        metadata->targetSwVersion = "62.0.A.1.7";
        return metadata;
    }

    void writePackage(const InternalUpdateMetadata& metadata) const {
        ASSERT_TRUE(platform::writeFileAtomically(metadata.deltaFile.path(),
                                                  kvtest::PatternedBody::bytes(0, packageBytes)));
    }
    void transfer(MtpService& mtp, const InternalUpdateMetadata& metadata) const {
        mtp.transferFile(metadata, identifiers, metadata.metadata.id, metadata.deltaFile,
                         destination);
    }
    // Writes the package and sends it to the phone.
    void transferred(const InternalUpdateMetadata& metadata) {
        writePackage(metadata);
        transfer(service, metadata);
    }

    // Makes the next checked call of `operationCode` (or, without one, the file send) fail.
    void inject(const Fault& fault, std::optional<uint16_t> operationCode) {
        if (fault.result && operationCode) {
            phone->failWithResult(*operationCode, *fault.result);
        } else if (fault.result) {
            phone->failSendFileWith(*fault.result);
        } else {
            logger->onLine = [thrower = fault.sinkThrows](const std::string& line) {
                if (line == "Mtp command successfully executed") {
                    thrower();
                }
            };
        }
    }

    // The update events of these phases as the tracking server received them, in order, each
    // as "phase|status|statusCode|log".
    std::vector<std::string> events(const std::set<std::string>& phases) const {
        std::vector<std::string> received;
        for (const auto& document : server->trackingDocuments()) {
            const Json::Value& fw = document.document["update"]["fw"];
            if (phases.count(fw["phase"].asString()) > 0) {
                const auto log = base64Decode(fw["log"].asString());
                received.push_back(fw["phase"].asString() + "|" + fw["status"].asString() + "|" +
                                   fw["statusCode"].asString() + "|" +
                                   std::string(log.begin(), log.end()));
            }
        }
        return received;
    }

    bool announced(const std::string& text) const {
        return logger->contains(Channel::Error, "Sending to tracking: " + text);
    }

    IdentifierCollection identifiers{
        {IdentifierId::CalculatedImei, "490154203237518"},
        {IdentifierId::EncryptedImei, kvtest::encryptImei("490154203237518")},
    };
    platform::ScopedHooks hooks{platform::Hooks{[](uint64_t) {}, {}, {}}};
    kvtest::TempDirectory directory;
    std::shared_ptr<ThrowingLogger> logger = std::make_shared<ThrowingLogger>();
    std::shared_ptr<ThrowingLogger> trackingLogger = std::make_shared<ThrowingLogger>();
    std::shared_ptr<kvtest::SimulatedUpdateServer> server =
        std::make_shared<kvtest::SimulatedUpdateServer>();
    std::shared_ptr<HttpService> http = std::make_shared<HttpService>(
        Log(logger), std::make_shared<kvtest::InProcessServerProvider>(server));
    std::shared_ptr<UpdateSessionIdCache> sessionIds =
        std::make_shared<UpdateSessionIdCache>(Log(logger), directory.path());
    std::shared_ptr<TrackingService> tracking = std::make_shared<TrackingService>(
        directory.path(), Log(trackingLogger), http, sessionIds,
        servers::yavClientKey(kv::Kavrin::Server::Test),
        servers::updateServerBase(kv::Kavrin::Server::Test) + "/trackingv4", "Kavrin host",
        "2.0.1");
    std::shared_ptr<SimulatedPhone> phone =
        std::make_shared<SimulatedPhone>(SimulatedPhone::Kind::LegacyFota);
    MtpService service{Log(logger), phone, SimulatedPhone::defaultDeviceId};
};

// Runs a flow with each fault of `faults` (the parameter is its index) and compares what the
// tracking server received with the flow's row for it.
class MtpFlowFailureTest : public MtpFlowFixture, public ::testing::WithParamInterface<size_t> {
protected:
    void expectReportedAndRethrown(const std::function<void()>& operation,
                                   const std::set<std::string>& phases,
                                   std::vector<std::string> expected,
                                   const std::string& cancelledLine) {
        const Fault& fault = faults[GetParam()];
        EXPECT_EQ(thrownBy(operation), fault.thrown);
        EXPECT_EQ(events(phases), expected);
        EXPECT_EQ(logger->contains(Channel::Error, cancelledLine),
                  fault.result == MtpResult::Cancelled);
    }
};

}  // namespace kvinternal
