#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "PatternedBody.h"
#include "SimulatedPhone.h"
#include "mtp/MtpService.h"
#include "support/ServerServicesFixture.h"

namespace kvinternal {

// The ways the checked provider call of a flow fails: a provider result, or the host's sink
// throwing from the success line of the result check (the only other code the check runs). Each
// with what every flow rethrows for it.
struct Fault {
    std::optional<kv::MtpProvider::MtpResult> result;
    std::function<void()> sinkThrows;
    Thrown thrown;
};
inline const std::vector<Fault> faults{
    {kv::MtpProvider::MtpResult::Cancelled, nullptr, {"cancelled", "Client cancelled"}},
    {kv::MtpProvider::MtpResult::UsbCommunicationError, nullptr,
     device("USB communication error", 8)},
    {kv::MtpProvider::MtpResult::GeneralError, nullptr,
     illegalState("General error when executing MTP provider function")},
    {std::nullopt, [] { throw DeviceException("cable pulled"); },
     device("cable pulled", DeviceException::noCode)},
    {std::nullopt, [] { throw std::runtime_error("sink full"); }, {"std", "sink full"}},
    {std::nullopt, [] { throw 42; }, {"other", ""}},
};

// The MTP service over the simulated phone, reporting to the tracking service. The phone lists
// every update operation.
class MtpFlowFixture : public ServerServicesFixture, public ::testing::Test {
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
        auto record =
            updateRecord(dataVersion, "fw-1",
                         DeltaFile::create(directory.path(), Log(), "https://dl.example/p.bin",
                                           packageBytes, "", nullptr));
        record->metadata.id = id;
        record->metadata.name = "Kestrel 5 \xC3\x84 update";
        record->metadata.version = "62.0";
        record->metadata.size = packageBytes;
        return record;
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

    bool announced(const std::string& text) const {
        return logger->contains(Channel::Error, "Sending to tracking: " + text);
    }

    std::shared_ptr<SimulatedPhone> phone =
        std::make_shared<SimulatedPhone>(SimulatedPhone::Kind::LegacyFota);
    MtpService service{Log(logger), phone, SimulatedPhone::defaultDeviceId, currentProgress};
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
