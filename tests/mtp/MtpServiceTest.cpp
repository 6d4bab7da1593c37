#include "mtp/MtpService.h"

#include <gtest/gtest.h>

#include "MockMtpProvider.h"
#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "control/Exceptions.h"
#include "control/ProgressHandler.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using MtpResult = kv::MtpProvider::MtpResult;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgReferee;

class MtpServiceTest : public ::testing::Test {
protected:
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<kvtest::SimulatedPhone> phone = std::make_shared<kvtest::SimulatedPhone>();
    std::shared_ptr<kvtest::MockMtpProvider> mock = std::make_shared<kvtest::MockMtpProvider>();
    MtpService service{Log(logger), phone, kvtest::SimulatedPhone::defaultDeviceId};
    MtpService mocked{Log(logger), mock, "mocked"};
};

TEST_F(MtpServiceTest, LogsItsLifetime) {
    logger->clear();
    { MtpService other(Log(logger), phone, "x"); }
    EXPECT_EQ(logger->lines(), (std::vector<kvtest::RecordingLogger::Line>{
                                   {Channel::Verbose, "Constructor MTP service"},
                                   {Channel::Verbose, "Destructor MTP service"}}));
}

enum class Kind { Success, IllegalState, Cancelled, Device };

struct Outcome {
    Kind kind;
    std::string message;
    int32_t code = DeviceException::noCode;
    bool operator==(const Outcome& o) const {
        return kind == o.kind && message == o.message && code == o.code;
    }
};

Outcome outcomeOf(const MtpService& service, MtpResult result) {
    try {
        service.checkMtpResult(result);
        return {Kind::Success, ""};
    } catch (const IllegalStateException& e) {
        return {Kind::IllegalState, e.what()};
    } catch (const CancelledException& e) {
        return {Kind::Cancelled, e.what()};
    } catch (const DeviceException& e) {
        EXPECT_FALSE(e.bootLoaderUnlocked());
        return {Kind::Device, e.what(), e.code()};
    }
}

TEST_F(MtpServiceTest, TurnsEveryProviderResultIntoSuccessOrItsException) {
    const Outcome rows[] = {
        {Kind::Success, ""},
        {Kind::IllegalState, "General error when executing MTP provider function"},
        {Kind::Cancelled, "Client cancelled"},
        {Kind::IllegalState, "Invalid argument when executing MTP provider function"},
        {Kind::Device, "Device is disconnected", 4},
        {Kind::Device, "Not enough memory for response data", 5},
        {Kind::Device, "USB setup error", 6},
        {Kind::Device, "USB access error", 7},
        {Kind::Device, "USB communication error", 8},
        {Kind::Device, "USB parameter error", 9},
        {Kind::Device, "USB command error", 10},
        {Kind::Device, "USB read data error", 11},
        {Kind::Device, "USB data error", 12},
        {Kind::Device, "USB response error", 13},
    };
    for (int value = 0; value <= 255; ++value) {
        const Outcome expected =
            value < 14 ? rows[value] : Outcome{Kind::IllegalState, "Unknown new MTP result code"};
        EXPECT_TRUE(outcomeOf(service, static_cast<MtpResult>(value)) == expected) << value;
    }
    EXPECT_EQ(logger->count("Mtp command successfully executed"), 1u);
}

TEST_F(MtpServiceTest, BuildsRequestsAndResponses) {
    const auto bare = MtpService::createRequest(0x1001);
    EXPECT_EQ(bare->operationCode, 0x1001);
    EXPECT_EQ(bare->numberOfParameters, 0);
    EXPECT_EQ(bare->data, nullptr);

    const auto one = MtpService::createRequest(0x9187, 0xD035);
    EXPECT_EQ(one->numberOfParameters, 1);
    EXPECT_EQ(one->parameters[0], 0xD035u);
    EXPECT_EQ(one->parameters[1], 0u);

    std::shared_ptr<uint8_t[]> data(new uint8_t[3]{1, 2, 3});
    const auto three = MtpService::createRequest(0x9178, {7, 5, 1}, data, 3);
    EXPECT_EQ(three->numberOfParameters, 3);
    EXPECT_EQ((std::vector<uint32_t>(three->parameters, three->parameters + 5)),
              (std::vector<uint32_t>{7, 5, 1, 0, 0}));
    EXPECT_EQ(three->data, data);
    EXPECT_EQ(three->dataLength, 3u);

    EXPECT_EQ(MtpService::createResponse(false)->data, nullptr);
    const auto withBuffer = MtpService::createResponse(true);
    ASSERT_NE(withBuffer->data, nullptr);
    EXPECT_EQ(withBuffer->dataLength, 0u);
    withBuffer->data[MtpService::responseBufferSize - 1] = 1;  // the whole buffer is there (ASan)
}

TEST_F(MtpServiceTest, PassesDeviceIdAndBufferSizeToTheProvider) {
    EXPECT_CALL(*mock, execute("mocked", 250000, _, _)).WillOnce(Return(MtpResult::Success));
    EXPECT_CALL(*mock, execute("mocked", 0, _, _)).WillOnce(Return(MtpResult::UsbDataError));
    EXPECT_EQ(mocked.execute(MtpService::createRequest(1), true).result, MtpResult::Success);
    EXPECT_THROW(mocked.executeChecked(MtpService::createRequest(1), false), DeviceException);
}

TEST_F(MtpServiceTest, ReadsADroppedResponseRecordAsAnEmptyResponse) {
    EXPECT_CALL(*mock, execute(_, _, _, _))
        .WillOnce(DoAll(SetArgReferee<3>(nullptr), Return(MtpResult::Success)));
    EXPECT_EQ(mocked.getIdentifier(IdentifierId::Model), "");
    EXPECT_TRUE(logger->contains(Channel::Error, "Response code not recognized: 0"));
}

TEST_F(MtpServiceTest, WithoutOngoingCallNeitherCancelNorProgressReachesTheProvider) {
    service.cancelOngoingCall();
    EXPECT_EQ(service.ongoingCallProgress(), 1.0);
    EXPECT_TRUE(logger->contains(Channel::Info, "No ongoing MTP function call to cancel."));

    // A handler that has ended counts as no call.
    service.setOngoingCall(std::make_shared<ProgressHandler>(0, Log(logger)));
    logger->clear();
    service.cancelOngoingCall();
    EXPECT_EQ(service.ongoingCallProgress(), 1.0);
    EXPECT_TRUE(logger->contains(Channel::Info, "No ongoing MTP function call to cancel."));
    EXPECT_EQ(phone->cancelCalls(), 0);
    EXPECT_EQ(phone->progressCalls(), 0);
}

TEST_F(MtpServiceTest, OngoingCallReachesTheProvider) {
    const auto handler = std::make_shared<ProgressHandler>(0, Log(logger));
    mocked.setOngoingCall(handler);
    EXPECT_CALL(*mock, progress("mocked", _))
        .WillOnce(DoAll(SetArgReferee<1>(0.3), Return(false)))
        .WillOnce(DoAll(SetArgReferee<1>(0.3), Return(true)));
    EXPECT_CALL(*mock, cancel("mocked")).WillOnce(Return(MtpResult::GeneralError));
    EXPECT_EQ(mocked.ongoingCallProgress(), 0.3);
    EXPECT_EQ(mocked.ongoingCallProgress(), 1.0);  // finished, whatever was written
    mocked.cancelOngoingCall();
    EXPECT_TRUE(logger->contains(Channel::Info, "Cancelling MTP function call."));
}

TEST_F(MtpServiceTest, TrackingReferenceIsEmptyUntilASessionSetsIt) {
    EXPECT_EQ(service.trackingServiceReference(), nullptr);
    EXPECT_TRUE(logger->contains(Channel::Error, "There's no active tracking service."));
}

}  // namespace
}  // namespace kvinternal
