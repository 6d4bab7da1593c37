#include <filesystem>

#include "EndToEndFixture.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;

constexpr uint16_t userTypeProperty = 0xD043;
constexpr uint16_t hwConfigProperty = 0xD045;

class IdentificationTest : public EndToEndTest {
protected:
    bool identifierCacheExists() const {
        return std::filesystem::exists(workingDirectory.file("identifiers.cache"));
    }
};

TEST_F(IdentificationTest, OnlyTheExactUserTypeUserIsRefused) {
    for (const char* userType : {"User", "owner", ""}) {
        phone->setProperty(userTypeProperty, userType);
        openSession();
        EXPECT_FALSE(identify().empty()) << userType;
        ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    }
    std::filesystem::remove(workingDirectory.file("identifiers.cache"));

    phone->setProperty(userTypeProperty, "user");
    openSession();
    std::shared_ptr<std::string> id;
    EXPECT_EQ(kavrin->IdentifyDevice(id), Result::UserNotAuthorized);
    ASSERT_TRUE(id);
    EXPECT_TRUE(id->empty());
    EXPECT_TRUE(logger->contains(
        Channel::Error,
        "User not authorized exception: The current user set on the device is not authorized to "
        "update the device, identification stopped."));
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_FALSE(identifierCacheExists());
}

// What the update server hears of the phone's certificate and security state: the certificate
// the host chose, and nothing for a HW config revision the phone calls "unknown".
TEST_F(IdentificationTest, SearchCarriesTheChosenCertificateAndNoUnknownSecurityState) {
    using Choice = kv::Kavrin::CertificateChoice;
    const struct {
        Choice choice;
        const char* hwConfig;
        const char* certificate;
        const char* securityState;
    } cases[] = {
        {Choice::FromDevice, "unknown", "cert-42", ""},
        {Choice::Live, "HWC 11", "live", "HWC 11"},
        {Choice::Test, "HWC 11", "5c2e8a0f7b13d6949e0a2f6c71b58d34", "HWC 11"},
    };
    for (const auto& c : cases) {
        restart();
        phone->setProperty(hwConfigProperty, c.hwConfig);
        auto chosen = parameters();
        chosen.certificateChoice = c.choice;
        ASSERT_EQ(kavrin->CreateSession(chosen), Result::Ok);
        search(identify());
        auto query = lastOf(server->requests(Endpoint::Updates)).query;
        EXPECT_EQ(query["clientcertid"], c.certificate) << c.hwConfig;
        EXPECT_EQ(query["securityState"], c.securityState) << c.hwConfig;
    }
}

TEST_F(IdentificationTest, IdentificationIdSurvivesTheSession) {
    openSession();
    const std::string id = identify();
    ASSERT_EQ(id.size(), 36u);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_TRUE(identifierCacheExists());

    kavrin = CreateKavrin();
    openSession();
    std::shared_ptr<std::string> imei;
    EXPECT_EQ(kavrin->GetImei(id, imei), Result::Ok);
    EXPECT_EQ(*imei, SimulatedPhone::defaultImei);
    EXPECT_EQ(search(id)->size(), 0u);  // the catalogue is empty, the id is known
}

TEST_F(IdentificationTest, UnknownIdentificationIdIsAnIllegalArgument) {
    openSession();
    std::shared_ptr<std::string> imei;
    EXPECT_EQ(kavrin->GetImei("no-such-id", imei), Result::IllegalArgument);
    search("no-such-id", Result::IllegalArgument);
    EXPECT_EQ(logger->count("Illegal argument exception: The identification id is not coupled to "
                            "a identifier collection: no-such-id"),
              2u);
}

TEST_F(IdentificationTest, PhoneWhoseApiCannotBeDeterminedIsRefused) {
    usePhone(SimulatedPhone::Kind::SeveralApis);
    openSession();
    std::shared_ptr<std::string> id;
    EXPECT_EQ(kavrin->IdentifyDevice(id), Result::DeviceError);
    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Unsupported device API exception: Cannot determine device API "
                                 "type (GOTA, FOTA etc...)"));
}

}  // namespace
}  // namespace kvtest
