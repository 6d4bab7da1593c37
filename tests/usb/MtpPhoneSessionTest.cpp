#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackTransport.h"
#include "MtpDatasetWriter.h"
#include "MtpPhoneSession.h"
#include "SimulatedPhone.h"
#include "TempDirectory.h"
#include "UsbMtpFunction.h"
#include "UsbTestSupport.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

using MtpResult = kv::MtpProvider::MtpResult;

constexpr char destination[] = "/recovery/update_package";
constexpr uint16_t getDeviceInfo = 0x1001;
constexpr uint16_t sendObject = 0x100D;
constexpr uint16_t sendObjectInfo = 0x100C;

// An MTP session over the loopback to a simulated phone's USB function.
class MtpPhoneSessionTest : public ::testing::Test {
protected:
    MtpPhoneSessionTest()
        : phone(std::make_shared<SimulatedPhone>(SimulatedPhone::Kind::GotaV4)),
          function(phone, UsbMtpFunction::Identity()) {
        auto transport = std::make_unique<LoopbackTransport>(function);
        loopback = transport.get();
        kvusb::MtpTransactionEngine::Options options;
        options.chunkSize = 64 * 1024;
        options.statusPolls = 5;
        options.pause = [](std::chrono::milliseconds) {};
        session = std::make_unique<kvusb::MtpPhoneSession>(std::move(transport), options);
    }

    std::string packageFile(std::size_t size, uint8_t seed = 0) {
        const std::string path = directory.file("package-" + std::to_string(seed));
        const auto bytes = patterned(size, seed);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
        return path;
    }

    std::vector<uint16_t> operationsSent() const {
        std::vector<uint16_t> codes;
        for (const auto& request : phone->requests()) {
            codes.push_back(request.operationCode);
        }
        return codes;
    }

    MtpResult execute(uint16_t code, std::vector<uint32_t> parameters,
                      kv::MtpProvider::MtpResponse& response, uint64_t maxDataLength = 250000,
                      const std::vector<uint8_t>& data = {}) {
        kv::MtpProvider::MtpRequest request;
        request.operationCode = code;
        request.numberOfParameters = static_cast<uint16_t>(parameters.size());
        std::copy(parameters.begin(), parameters.end(), request.parameters);
        if (!data.empty()) {
            request.data.reset(new uint8_t[data.size()]);
            std::copy(data.begin(), data.end(), request.data.get());
            request.dataLength = data.size();
        }
        if (maxDataLength > 0 && !response.data) {
            response.data.reset(new uint8_t[maxDataLength]);
        }
        return session->execute(maxDataLength, request, response);
    }

    std::shared_ptr<SimulatedPhone> phone;
    UsbMtpFunction function;
    LoopbackTransport* loopback = nullptr;
    std::unique_ptr<kvusb::MtpPhoneSession> session;
    TempDirectory directory;
};

TEST_F(MtpPhoneSessionTest, ExecuteCarriesParametersDataAndResponseBothWays) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    kv::MtpProvider::MtpResponse info;
    ASSERT_EQ(execute(getDeviceInfo, {}, info), MtpResult::Success);
    EXPECT_EQ(info.responseCode, 0x2001);
    EXPECT_EQ(std::vector<uint8_t>(info.data.get(), info.data.get() + info.dataLength),
              phone->deviceInfoDataset());

    // A verify-and-update document travels as a host-to-phone data phase.
    const auto document = MtpDatasetWriter().uint32(4 + 2 * 2).uint16('{').uint16('}').bytes();
    kv::MtpProvider::MtpResponse verify;
    ASSERT_EQ(execute(0x9178, {0x4242, 7, 0}, verify, 0, document), MtpResult::Success);
    EXPECT_EQ(verify.responseCode, 0x2009);  // the phone holds no object 0x4242
    const auto requests = phone->requests();
    EXPECT_EQ(requests.back().parameters, (std::vector<uint32_t>{0x4242, 7, 0}));
    EXPECT_EQ(requests.back().data, document);
    EXPECT_EQ(function.transactionIds(), (std::vector<uint32_t>{0, 1, 2}));
}

TEST_F(MtpPhoneSessionTest, DataBeyondTheBufferFailsAndTheNextOperationWorks) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    kv::MtpProvider::MtpResponse tooSmall;
    EXPECT_EQ(execute(getDeviceInfo, {}, tooSmall, 16), MtpResult::NotEnoughMemory);
    EXPECT_EQ(function.cancelledTransactions(), std::vector<uint32_t>{1});
    kv::MtpProvider::MtpResponse info;
    EXPECT_EQ(execute(getDeviceInfo, {}, info), MtpResult::Success);
    EXPECT_EQ(info.dataLength, phone->deviceInfoDataset().size());
}

TEST_F(MtpPhoneSessionTest, ASessionLeftOpenIsClosedAndOpenedAgain) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    kvusb::MtpPhoneSession again(std::make_unique<LoopbackTransport>(function), {});
    EXPECT_EQ(again.open(), MtpResult::Success);
    EXPECT_EQ(operationsSent(), (std::vector<uint16_t>{0x1002, 0x1002, 0x1003, 0x1002}));
    // OpenSession always carries transaction id 0.
    EXPECT_EQ(function.transactionIds(), (std::vector<uint32_t>{0, 0, 1, 0}));
}

// A phone busy with another host, or still starting its MTP function, answers OpenSession with
// Device Busy: it is asked again, five times in all here (the status polls).
TEST_F(MtpPhoneSessionTest, AnOpenAnsweredBusyIsAskedAgainUpToTheStatusPolls) {
    function.busyOnOpenSession(4);
    ASSERT_EQ(session->open(), MtpResult::Success);
    EXPECT_EQ(function.transactionIds(), std::vector<uint32_t>(5, 0));
    function.busyOnOpenSession(5);
    EXPECT_EQ(session->open(), MtpResult::UsbSetupError);
    EXPECT_EQ(session->problem(), "OpenSession: the phone answered 0x2019");
    EXPECT_EQ(function.transactionIds().size(), 10u);
}

// However the phone cuts its containers into transfers (a data header alone, no zero-length
// packet after whole packets, so that the response comes in the transfer that ends the data),
// every byte is read.
TEST_F(MtpPhoneSessionTest, DataIsReadWholeHoweverThePhoneCutsItsTransfers) {
    const std::vector<std::vector<uint8_t>> values{patterned(500, 1), patterned(1012, 2),
                                                   patterned(777, 3), patterned(70000, 4)};
    for (const bool split : {false, true}) {
        for (const bool zeroLengthPackets : {false, true}) {
            SCOPED_TRACE(std::to_string(split) + std::to_string(zeroLengthPackets));
            auto cutting = std::make_shared<SimulatedPhone>();
            UsbMtpFunction cutter(cutting, UsbMtpFunction::Identity());
            if (split) {
                cutter.splitDataHeaders();
            }
            if (!zeroLengthPackets) {
                cutter.omitZeroLengthPackets();
            }
            kvusb::MtpPhoneSession cut(std::make_unique<LoopbackTransport>(cutter), {});
            ASSERT_EQ(cut.open(), MtpResult::Success);
            for (const auto& value : values) {
                cutting->setRawProperty(0xD0F0, value);
                kv::MtpProvider::MtpRequest request;
                request.operationCode = 0x9187;
                request.numberOfParameters = 1;
                request.parameters[0] = 0xD0F0;
                kv::MtpProvider::MtpResponse response;
                response.data.reset(new uint8_t[250000]);
                ASSERT_EQ(cut.execute(250000, request, response), MtpResult::Success)
                    << cut.problem();
                EXPECT_EQ(response.responseCode, 0x2001);
                EXPECT_EQ(std::vector<uint8_t>(response.data.get(),
                                               response.data.get() + response.dataLength),
                          value);
            }
            uint32_t handle = 0;
            ASSERT_EQ(cut.sendFile(packageFile(1012), destination, handle), MtpResult::Success)
                << cut.problem();
            EXPECT_EQ(cutting->storedObject(handle).value().content, patterned(1012));
        }
    }
}

TEST_F(MtpPhoneSessionTest, SendFileStreamsIntoTheExistingFolderAndReportsTheHandle) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    const std::size_t size = 300 * 1024 + 17;
    uint32_t handle = 0;
    ASSERT_EQ(session->sendFile(packageFile(size), destination, handle), MtpResult::Success)
        << session->problem();
    const auto stored = phone->storedObject(handle);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->destinationPath, destination);
    EXPECT_EQ(stored->content, patterned(size));
    double fraction = 0.5;
    EXPECT_TRUE(session->progress(fraction));

    // Sent again: the earlier package is replaced, not kept beside the new one.
    uint32_t second = 0;
    ASSERT_EQ(session->sendFile(packageFile(1000, 9), destination, second), MtpResult::Success);
    EXPECT_NE(second, handle);
    EXPECT_FALSE(phone->storedObject(handle));
    EXPECT_EQ(phone->storedObject(second).value().content, patterned(1000, 9));
    const auto codes = operationsSent();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x100B), 1);
}

TEST_F(MtpPhoneSessionTest, SendFileCreatesNothingThePhoneDoesNotHave) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    phone->removeRootObject("recovery");
    uint32_t handle = 0;
    // A file of the folder's name is no folder.
    ASSERT_EQ(session->sendFile(packageFile(10), "/recovery", handle), MtpResult::Success);
    EXPECT_EQ(session->sendFile(packageFile(1000), destination, handle),
              MtpResult::InvalidArgument);
    EXPECT_NE(session->problem().find("no such folder"), std::string::npos) << session->problem();
    const auto codes = operationsSent();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), sendObjectInfo), 1);

    for (const char* bad : {"recovery/update_package", "/", "/recovery/", "//update_package",
                            "/recovery//update_package"}) {
        EXPECT_EQ(session->sendFile(packageFile(10), bad, handle), MtpResult::InvalidArgument)
            << bad;
    }
    EXPECT_EQ(session->sendFile(directory.file("missing"), destination, handle),
              MtpResult::InvalidArgument);
    EXPECT_EQ(operationsSent().size(), codes.size());

    // A storage list that is not one.
    phone->answerOkWithoutData(0x1004);
    EXPECT_EQ(session->sendFile(packageFile(10), destination, handle), MtpResult::UsbReadDataError);
}

TEST_F(MtpPhoneSessionTest, PhoneFailuresEndTheCallAndLeaveTheSessionUsable) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    kv::MtpProvider::MtpResponse response;
    function.stallInOn(0x9187);
    EXPECT_EQ(execute(0x9187, {0xD039}, response), MtpResult::UsbResponseError);
    function.silentOn(0x9171);
    EXPECT_EQ(execute(0x9171, {}, response), MtpResult::UsbCommunicationError);
    EXPECT_EQ(function.cancelledTransactions(), std::vector<uint32_t>{2});
    EXPECT_TRUE(session->usable());
    ASSERT_EQ(execute(getDeviceInfo, {}, response), MtpResult::Success);
    EXPECT_EQ(response.responseCode, 0x2001);
}

// Transfers that another thread ends.
class MtpPhoneSessionConcurrencyTest : public MtpPhoneSessionTest {};

TEST_F(MtpPhoneSessionConcurrencyTest, UnpluggedMidTransferEndsDisconnected) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    function.holdDataAt(128 * 1024);
    std::thread unplugger([&] {
        function.waitUntilHeld();
        function.unplug();
        loopback->retry();
    });
    uint32_t handle = 0;
    EXPECT_EQ(session->sendFile(packageFile(512 * 1024), destination, handle),
              MtpResult::DeviceDisconnected);
    unplugger.join();
    EXPECT_FALSE(session->usable());
}

TEST_F(MtpPhoneSessionConcurrencyTest, CancelMidTransferEndsCancelledAndTheNextTransferWorks) {
    ASSERT_EQ(session->open(), MtpResult::Success);
    function.holdDataAt(100 * 1024);
    function.busyAfterCancel(2);
    std::thread canceller([&] {
        function.waitUntilHeld();
        double fraction = 0;
        EXPECT_FALSE(session->progress(fraction));
        EXPECT_GT(fraction, 0.2);
        EXPECT_LT(fraction, 0.5);
        session->cancel();
    });
    uint32_t handle = 0;
    EXPECT_EQ(session->sendFile(packageFile(512 * 1024), destination, handle),
              MtpResult::Cancelled);
    canceller.join();
    // The Cancel named the SendObject transaction, the last one the phone received.
    EXPECT_EQ(function.cancelledTransactions(),
              std::vector<uint32_t>{lastOf(function.transactionIds())});
    EXPECT_EQ(lastOf(operationsSent()), sendObjectInfo);
    session->beginCall();
    ASSERT_EQ(session->sendFile(packageFile(2000), destination, handle), MtpResult::Success);
    EXPECT_EQ(phone->storedObject(handle).value().content, patterned(2000));
}

}  // namespace
}  // namespace kvtest
