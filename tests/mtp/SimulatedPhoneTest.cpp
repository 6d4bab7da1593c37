#include "SimulatedPhone.h"

#include <gtest/gtest.h>

#include "TempDirectory.h"
#include "common/Platform.h"

namespace kvtest {
namespace {

using MtpResult = kv::MtpProvider::MtpResult;

class SimulatedPhoneTest : public ::testing::Test {
protected:
    MtpResult send(const std::string& localPath, uint32_t& handle) {
        return phone.sendFile(SimulatedPhone::defaultDeviceId, localPath,
                              "/recovery/update_package", handle);
    }

    MtpResult execute(uint16_t operationCode, uint64_t maxDataLength,
                      std::shared_ptr<kv::MtpProvider::MtpResponse>& response) {
        auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
        request->operationCode = operationCode;
        return phone.execute(SimulatedPhone::defaultDeviceId, maxDataLength, request, response);
    }

    TempDirectory directory;
    SimulatedPhone phone;
};

TEST_F(SimulatedPhoneTest, StoresEachSentFileUnderANewHandle) {
    const std::string path = directory.file("a.bin");
    ASSERT_TRUE(kvinternal::platform::writeFileAtomically(path, std::string("\0\1\2", 3)));
    uint32_t first = 0, second = 0;
    ASSERT_EQ(send(path, first), MtpResult::Success);
    ASSERT_EQ(send(path, second), MtpResult::Success);
    EXPECT_NE(first, second);
    EXPECT_EQ(phone.storedObject(second)->content, (std::vector<uint8_t>{0, 1, 2}));
    double fraction = 0.5;
    EXPECT_TRUE(phone.progress(SimulatedPhone::defaultDeviceId, fraction));  // nothing runs
}

TEST_F(SimulatedPhoneTest, SendFileFailures) {
    uint32_t handle = 0;
    EXPECT_EQ(send(directory.file("missing"), handle), MtpResult::InvalidArgument);
    EXPECT_EQ(phone.sendFile("other phone", directory.file("missing"), "/x", handle),
              MtpResult::DeviceDisconnected);
    phone.failSendFileWith(MtpResult::UsbCommunicationError);
    const std::string path = directory.file("a.bin");
    ASSERT_TRUE(kvinternal::platform::writeFileAtomically(path, "x"));
    EXPECT_EQ(send(path, handle), MtpResult::UsbCommunicationError);
}

TEST_F(SimulatedPhoneTest, AnswersOnlyWhatFitsAndWhatItKnows) {
    auto response = std::make_shared<kv::MtpProvider::MtpResponse>();
    EXPECT_EQ(execute(0x1001, 0, response), MtpResult::NotEnoughMemory);
    EXPECT_EQ(execute(0x9999, 0, response), MtpResult::Success);
    EXPECT_EQ(response->responseCode, 0x2005);
    phone.failWithResult(0x9999, MtpResult::UsbSetupError);
    EXPECT_EQ(execute(0x9999, 0, response), MtpResult::UsbSetupError);
    EXPECT_EQ(phone.requests().size(), 3u);
}

}  // namespace
}  // namespace kvtest
