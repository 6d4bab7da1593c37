#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "MockMtpProvider.h"
#include "MtpFlowFixture.h"
#include "control/ProgressHandler.h"

namespace kvinternal {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::SetArgReferee;

const std::string started = "transfer|initiated||";
const std::string succeeded = "transfer|ok||";

using MtpServiceTransferTest = MtpFlowFixture;

TEST_F(MtpServiceTransferTest, SendsThePackageAndKeepsTheLatestHandle) {
    // The progress the dispatcher falls back to once the provider reports its call finished.
    std::vector<double> fractions;
    trackingLogger->onLine = [this, &fractions](const std::string& line) {
        if (line.rfind("Handle event triggered", 0) == 0) {
            const auto handler = currentProgress->current().lock();
            fractions.push_back(handler ? handler->fraction() : -1.0);
        }
    };
    const auto record = update(2);
    transferred(*record);
    const uint32_t first = service.objectHandles().at("YAV:1");
    transfer(service, *record);
    const uint32_t second = service.objectHandles().at("YAV:1");

    EXPECT_NE(first, second);
    const auto stored = phone->storedObject(second).value();
    EXPECT_EQ(stored.destinationPath, destination);
    EXPECT_EQ(std::string(stored.content.begin(), stored.content.end()),
              kvtest::PatternedBody::bytes(0, packageBytes));
    EXPECT_EQ(events({"transfer"}),
              (std::vector<std::string>{started, succeeded, started, succeeded}));
    EXPECT_EQ(fractions, (std::vector<double>{-1.0, 1.0, -1.0, 1.0}));  // none before the send
    EXPECT_TRUE(logger->contains(
        "Transferring file for update id: YAV:1 to device path: /recovery/update_package"));
}

TEST_F(MtpServiceTransferTest, WithoutTrackingTheTransferIsTheSameAndReportsNothing) {
    MtpService untracked(Log(logger), phone, SimulatedPhone::defaultDeviceId, currentProgress);
    const auto record = update(1);
    writePackage(*record);
    transfer(untracked, *record);
    EXPECT_EQ(untracked.objectHandles().size(), 1u);
    phone->failSendFileWith(MtpResult::UsbCommunicationError);
    EXPECT_THROW(transfer(untracked, *record), DeviceException);
    EXPECT_TRUE(server->trackingDocuments().empty());
}

// Provider behaviour the phone never shows: a handle written with a failure, a cancellation seen
// only by the progress handler, an exception of the provider's own.
TEST_F(MtpServiceTransferTest, OnlyASuccessfulTransferReplacesTheKeptHandle) {
    const auto mock = std::make_shared<kvtest::MockMtpProvider>();
    MtpService mocked(Log(logger), mock, "mocked", currentProgress);
    mocked.setTrackingService(tracking);
    const auto cancel = [this](auto&&...) { currentProgress->current().lock()->cancel(); };
    EXPECT_CALL(*mock, sendFile("mocked", _, destination, _))
        .WillOnce(DoAll(SetArgReferee<3>(5u), Return(MtpResult::Success)))
        .WillOnce(DoAll(SetArgReferee<3>(77u), Return(MtpResult::UsbDataError)))
        .WillOnce(DoAll(SetArgReferee<3>(78u), Invoke(cancel), Return(MtpResult::Success)))
        .WillOnce(Invoke([](auto&&...) -> MtpResult { throw std::runtime_error("stack"); }));
    const auto record = update(1);
    transfer(mocked, *record);

    EXPECT_EQ(thrownBy([&] { transfer(mocked, *record); }), device("USB data error", 12));
    EXPECT_EQ(thrownBy([&] { transfer(mocked, *record); }),
              (Thrown{"cancelled",
                      "Client has cancelled the transfer of the delta package to the device"}));
    EXPECT_EQ(thrownBy([&] { transfer(mocked, *record); }), (Thrown{"std", "stack"}));
    EXPECT_EQ(mocked.objectHandles().at("YAV:1"), 5u);
    const std::string dataError =
        "Sending file to device failed due to device exception: USB data error";
    const std::string cancelled =
        "Progress handler reported cancellation of delta package transfer to device";
    EXPECT_EQ(events({"transfer"}),
              (std::vector<std::string>{started, succeeded, started,
                                        "transfer|error|KV300012|" + dataError, started,
                                        "transfer|cancelled|401|" + cancelled, started}));
    // Texts with a code of their own are not announced.
    EXPECT_FALSE(announced(dataError));
    EXPECT_TRUE(announced(cancelled));
}

using MtpServiceTransferFailureTest = MtpFlowFailureTest;

TEST_P(MtpServiceTransferFailureTest, IsReportedAndRethrown) {
    const std::string device =
        "transfer|error|KV300008|Sending file to device failed due to "
        "device exception: USB communication error";
    const std::string general = "Sending file to device failed due to general exception : ";
    const std::string rows[] = {
        "transfer|cancelled|401|",
        device,
        "transfer|error|409|" + general + "General error when executing MTP provider function",
        "transfer|error|KV100001|Sending file to device failed due to device exception: cable "
        "pulled",
        "transfer|error|409|" + general + "sink full",
        "transfer|error|409|Sending file to device failed due to general (...) error",
    };
    const auto record = update(1);
    writePackage(*record);
    inject(faults[GetParam()], std::nullopt);
    expectReportedAndRethrown([&] { transfer(service, *record); }, {"transfer"},
                              {started, rows[GetParam()]},
                              "Sending cancellation event for transfer file to device");
    EXPECT_TRUE(service.objectHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, MtpServiceTransferFailureTest,
                         ::testing::Range<size_t>(0, faults.size()));

}  // namespace
}  // namespace kvinternal
