#include "mtp/MtpService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "MockMtpProvider.h"
#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "control/ProgressHandler.h"
#include "support/LastOf.h"
#include "support/ServerServicesFixture.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using Kind = kvtest::SimulatedPhone::Kind;
using MtpResult = kv::MtpProvider::MtpResult;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgReferee;

constexpr uint16_t getVendorProperty = 0x9187;
constexpr uint16_t getDeviceInfo = 0x1001;

// The MTP service over the simulated phone, and over a mock for what the phone never does.
class MtpServiceTest : public ::testing::Test {
protected:
    void usePhone(Kind kind) {
        phone = std::make_shared<kvtest::SimulatedPhone>(kind);
        service = std::make_unique<MtpService>(Log(logger), phone,
                                               kvtest::SimulatedPhone::defaultDeviceId, progress);
    }

    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<CurrentProgress> progress = std::make_shared<CurrentProgress>();
    std::shared_ptr<kvtest::SimulatedPhone> phone = std::make_shared<kvtest::SimulatedPhone>();
    std::unique_ptr<MtpService> service = std::make_unique<MtpService>(
        Log(logger), phone, kvtest::SimulatedPhone::defaultDeviceId, progress);
    std::shared_ptr<kvtest::MockMtpProvider> mock = std::make_shared<kvtest::MockMtpProvider>();
    MtpService mocked{Log(logger), mock, "mocked", progress};
};

TEST_F(MtpServiceTest, TurnsEveryProviderResultIntoSuccessOrItsException) {
    const Thrown rows[] = {
        {},
        illegalState("General error when executing MTP provider function"),
        {"cancelled", "Client cancelled"},
        illegalState("Invalid argument when executing MTP provider function"),
        device("Device is disconnected", 4),
        device("Not enough memory for response data", 5),
        device("USB setup error", 6),
        device("USB access error", 7),
        device("USB communication error", 8),
        device("USB parameter error", 9),
        device("USB command error", 10),
        device("USB read data error", 11),
        device("USB data error", 12),
        device("USB response error", 13),
    };
    for (int value = 0; value <= 255; ++value) {
        EXPECT_EQ(thrownBy([&] { service->checkMtpResult(static_cast<MtpResult>(value)); }),
                  value < 14 ? rows[value] : illegalState("Unknown new MTP result code"))
            << value;
    }
    EXPECT_EQ(logger->count("Mtp command successfully executed"), 1u);
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
    service->cancelOngoingCall();
    EXPECT_EQ(service->ongoingCallProgress(), 1.0);
    EXPECT_TRUE(logger->contains(Channel::Info, "No ongoing MTP function call to cancel."));

    // A handler that has ended counts as no call.
    service->setOngoingCall(std::make_shared<ProgressHandler>(0, Log(logger)));
    logger->clear();
    service->cancelOngoingCall();
    EXPECT_EQ(service->ongoingCallProgress(), 1.0);
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

// The host promises 0 to 1 from its provider; whatever else it reports never reaches its own
// GetProgress: out of range is clamped, and NaN gives way to the library's own count.
TEST_F(MtpServiceTest, ProgressOutsideZeroToOneIsNeverHandedOn) {
    const auto handler = std::make_shared<ProgressHandler>(100, Log(logger));
    handler->addWork(25);
    mocked.setOngoingCall(handler);
    const struct {
        double reported;
        double expected;
    } cases[] = {
        {std::nan(""), 0.25}, {-0.5, 0.0},
        {1e300, 1.0},         {std::numeric_limits<double>::infinity(), 1.0},
        {0.5, 0.5},
    };
    for (const auto& c : cases) {
        EXPECT_CALL(*mock, progress("mocked", _))
            .WillOnce(DoAll(SetArgReferee<1>(c.reported), Return(false)));
        EXPECT_EQ(mocked.ongoingCallProgress(), c.expected) << c.reported;
    }
}

// The library's count keeps the furthest point the provider reported, rounded up: progress read
// from it once the provider's call has finished never goes back.
TEST_F(MtpServiceTest, TheCountKeepsTheProvidersFurthestProgressRoundedUp) {
    const auto handler = std::make_shared<ProgressHandler>(100, Log(logger));
    mocked.setOngoingCall(handler);
    EXPECT_CALL(*mock, progress("mocked", _))
        .WillOnce(DoAll(SetArgReferee<1>(0.995), Return(false)));
    EXPECT_EQ(mocked.ongoingCallProgress(), 0.995);
    EXPECT_EQ(handler->fraction(), 1.0);
}

TEST_F(MtpServiceTest, ReadsEachIdentifierThroughItsVendorProperty) {
    // 0 means that the phone cannot report the identifier.
    const uint16_t propertyCodes[33] = {
        0xD047, 0xD038, 0xD039, 0x5001, 0xD03E, 0xD03F, 0xD04A, 0xD04D, 0xD03C, 0xD03D, 0,
        0xD036, 0xD042, 0xD040, 0,      0,      0,      0xD045, 0xD034, 0,      0,      0xD044,
        0xD037, 0,      0xD035, 0xD04B, 0xD048, 0xD04E, 0xD04F, 0xD04C, 0xD041, 0,      0xD043};
    for (int n = 0; n < 33; ++n) {
        const auto id = static_cast<IdentifierId>(n);
        const std::string value = "value " + std::to_string(n) + " \u00e4\u20ac";
        if (propertyCodes[n] != 0) {
            phone->setProperty(propertyCodes[n], value);
        }
        const size_t sentBefore = phone->requests().size();
        logger->clear();

        const std::string read = service->getIdentifier(id);

        const auto requests = phone->requests();
        if (propertyCodes[n] == 0) {
            EXPECT_EQ(read, "") << n;
            EXPECT_EQ(requests.size(), sentBefore) << n;
            EXPECT_TRUE(logger->contains(Channel::Error,
                                         "Identifier not supported: " + identifierDisplayName(id)));
            continue;
        }
        EXPECT_EQ(read, value) << n;
        ASSERT_EQ(requests.size(), sentBefore + 1);
        EXPECT_EQ(requests.back().operationCode, getVendorProperty);
        EXPECT_EQ(requests.back().parameters, std::vector<uint32_t>{propertyCodes[n]});
        EXPECT_TRUE(logger->contains(Channel::Info, "Successfully retrieved identifier: " +
                                                        identifierDisplayName(id) + ": " + value));
    }
}

TEST_F(MtpServiceTest, FailedResponsesYieldEmptyText) {
    struct Case {
        uint16_t responseCode;
        Channel channel;
        const char* line;
    };
    const Case cases[] = {
        {0x2002, Channel::Info, "General error: Model"},
        {0x2005, Channel::Info, "Operation not supported for identifier: Model"},
        {0x2006, Channel::Info, "Parameter not supported: Model"},
        {0x2015, Channel::Info, "Not a valid object info: Model"},
        {0x2009, Channel::Error, "Response code not recognized: 8201"},
        {0x2019, Channel::Error, "Response code not recognized: 8217"},
        {0x0000, Channel::Error, "Response code not recognized: 0"},
    };
    for (const auto& c : cases) {
        phone->answerWithResponseCode(getVendorProperty, c.responseCode);
        logger->clear();
        EXPECT_EQ(service->getIdentifier(IdentifierId::Model), "");
        EXPECT_EQ(logger->lines(), (std::vector<kvtest::RecordingLogger::Line>{
                                       {Channel::Info, "Mtp command successfully executed"},
                                       {c.channel, c.line},
                                       {Channel::Info, "Could not get identifier: Model"}}));
    }
}

TEST_F(MtpServiceTest, MalformedValuesYieldEmptyText) {
    struct Case {
        std::vector<uint8_t> data;
        const char* line;
    };
    const Case cases[] = {
        {{}, "Invalid argument: Max data length is set to 0!"},
        {{4, 'a', 0},
         "Invalid argument: Max data length is not sufficient for MTP string: 3 (9 needed)"},
        {{0xFF}, ""},  // a single byte reads as empty text
    };
    for (const auto& c : cases) {
        phone->setRawProperty(0xD035, c.data);
        logger->clear();
        EXPECT_EQ(service->getIdentifier(IdentifierId::Model), "");
        if (*c.line != '\0') {
            EXPECT_TRUE(logger->contains(Channel::Error, c.line));
        } else {
            EXPECT_TRUE(
                logger->contains(Channel::Info, "Successfully retrieved identifier: Model: "));
        }
    }
    phone->setProperty(0xD035, "K-5");
    phone->answerOkWithoutData(getVendorProperty);
    EXPECT_EQ(service->getIdentifier(IdentifierId::Model), "");
    EXPECT_TRUE(logger->contains(Channel::Error, "Invalid argument: Max data length is set to 0!"));
}

TEST_F(MtpServiceTest, ProviderFailuresPropagate) {
    phone->failWithResult(getVendorProperty, MtpResult::UsbReadDataError);
    EXPECT_THROW(service->getIdentifier(IdentifierId::Model), DeviceException);
    EXPECT_THROW(service->isDeviceRooted(), DeviceException);
    phone->failWithResult(getDeviceInfo, MtpResult::Cancelled);
    EXPECT_THROW(service->getDeviceApiType(), CancelledException);
}

TEST_F(MtpServiceTest, ImpossibleDataLengthIsRejected) {
    EXPECT_CALL(*mock, execute).WillRepeatedly([](auto&&, auto&&, auto&&, auto& response) {
        response->responseCode = 0x2001;
        response->dataLength = MtpService::responseBufferSize + 1;
        return MtpResult::Success;
    });
    EXPECT_EQ(mocked.getIdentifier(IdentifierId::Model), "");
    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Invalid argument: Received data length 250001 exceeds the "
                                 "response buffer of 250000 bytes"));
    EXPECT_THROW(mocked.getDeviceApiType(), IllegalArgumentException);
}

TEST_F(MtpServiceTest, JudgesTheRootingStatusByte) {
    struct Case {
        std::vector<uint8_t> data;
        bool rooted;
        Channel channel;
        const char* line;
    };
    const Case cases[] = {
        {{0}, false, Channel::Info, "Device is not rooted"},
        {{1, 7}, true, Channel::Error, "Device is rooted"},
        {{255}, false, Channel::Error, "Device root status is unknown."},
        {{2}, false, Channel::Error, "Unknown root status code: 2"},
        {{254}, false, Channel::Error, "Unknown root status code: 254"},
        {{}, false, Channel::Info, "Checking if device is rooted"},
    };
    for (const auto& c : cases) {
        phone->setRawProperty(0xD04C, c.data);
        logger->clear();
        EXPECT_EQ(service->isDeviceRooted(), c.rooted) << c.line;
        EXPECT_TRUE(logger->contains(c.channel, c.line));
        EXPECT_EQ(kvtest::lastOf(phone->requests()).parameters, std::vector<uint32_t>{0xD04C});
    }
    phone->answerWithResponseCode(getVendorProperty, 0x2005);
    EXPECT_FALSE(service->isDeviceRooted());
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not get identifier: Rooting status"));
}

TEST_F(MtpServiceTest, ClassifiesEveryCombinationOfUpdateOperations) {
    // Bits: 0x9170, 0x9171, 0x9175, 0x9178.
    const uint16_t operations[] = {0x9170, 0x9171, 0x9175, 0x9178};
    const auto expectedFor = [](int bits) {
        const bool legacy = (bits & 3) == 3, v3 = (bits & 4) != 0, v4 = (bits & 8) != 0;
        const int types = int(legacy) + int(v3) + int(v4);
        if (types == 0) {
            return DeviceApiType::NoDeltaSupport;
        }
        if (types > 1) {
            return DeviceApiType::UnknownApi;
        }
        return v4 ? DeviceApiType::GotaV4 : v3 ? DeviceApiType::GotaV3 : DeviceApiType::LegacyFota;
    };
    for (int bits = 0; bits < 16; ++bits) {
        std::vector<uint16_t> listed{0x1001, 0x9187};
        for (int i = 0; i < 4; ++i) {
            if ((bits & (1 << i)) != 0) {
                listed.insert(listed.begin() + 1, operations[i]);
            }
        }
        phone->setOperationsSupported(listed);
        EXPECT_EQ(service->getDeviceApiType(), expectedFor(bits)) << bits;
    }
}

TEST_F(MtpServiceTest, ClassifiesEachKindOfPhoneWithItsLogLines) {
    struct Case {
        Kind kind;
        DeviceApiType expected;
        std::vector<kvtest::RecordingLogger::Line> lines;
    };
    const std::string several =
        "This device claims to have support for more than one device API version according to MTP "
        "operation GetDeviceInfo.";
    const Case cases[] = {
        {Kind::GotaV4,
         DeviceApiType::GotaV4,
         {{Channel::Info, "Device have GOTA_V4 support (ZOLP)"}}},
        {Kind::GotaV3, DeviceApiType::GotaV3, {{Channel::Info, "Device have GOTA_V3 support"}}},
        {Kind::LegacyFota,
         DeviceApiType::LegacyFota,
         {{Channel::Info, "Device have old VXMC FOTA support"}}},
        {Kind::NoDeltaSupport,
         DeviceApiType::NoDeltaSupport,
         {{Channel::Info,
           "Not possible to determine Device API version and GOTA version. No supported device API "
           "types in device."},
          {Channel::Info, "This is probably a device without support for delta over cable."}}},
        {Kind::SeveralApis,
         DeviceApiType::UnknownApi,
         {{Channel::Error, several},
          {Channel::Error,
           "This is probably an error in the device. Check supported op codes from the device "
           "GetDeviceInfo MTP operation."}}},
    };
    for (const auto& c : cases) {
        usePhone(c.kind);
        logger->clear();
        EXPECT_EQ(service->getDeviceApiType(), c.expected);
        auto lines = logger->lines();
        ASSERT_EQ(lines.size(), c.lines.size() + 1);
        lines.erase(lines.begin());  // the provider result line
        EXPECT_EQ(lines, c.lines);
    }
}

TEST_F(MtpServiceTest, UnreadableDeviceInfoGivesUnknownApi) {
    struct Case {
        uint16_t responseCode;
        const char* line;
    };
    const Case cases[] = {
        {0x2005, "Could not get device info, this will blow, response code: 8197"},
        {0x2002, "Could not get device info, this will blow, response code: 8194"},
        {0x2006, "Getting device info is not supported, this will blow."},
    };
    for (const auto& c : cases) {
        phone->answerWithResponseCode(getDeviceInfo, c.responseCode);
        std::unique_ptr<DeviceInfo> info;
        EXPECT_EQ(service->getDeviceInfo(info), c.responseCode);
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(service->getDeviceApiType(), DeviceApiType::UnknownApi);
        EXPECT_TRUE(logger->contains(Channel::Error, c.line));
    }
    // The phone's dataset is at fault, not anything the host passed.
    phone->answerOkWithoutData(getDeviceInfo);
    EXPECT_THROW(service->getDeviceApiType(), DeviceException);
}

TEST_F(MtpServiceTest, UnknownSingleTypeIsAnError) {
    EXPECT_EQ(service->decideDeviceApiType({DeviceApiType::NoDeltaSupport}),
              DeviceApiType::UnknownApi);
    EXPECT_TRUE(logger->contains(Channel::Error, "Unknown error. It will blow."));
}

}  // namespace
}  // namespace kvinternal
