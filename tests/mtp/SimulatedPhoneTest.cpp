#include "SimulatedPhone.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "MtpDatasetWriter.h"
#include "PatternedBody.h"
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
                      std::shared_ptr<kv::MtpProvider::MtpResponse>& response,
                      std::vector<uint32_t> parameters = {}, std::vector<uint8_t> data = {}) {
        auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
        request->operationCode = operationCode;
        request->numberOfParameters = static_cast<uint16_t>(parameters.size());
        std::copy(parameters.begin(), parameters.end(), request->parameters);
        request->dataLength = data.size();
        request->data.reset(new uint8_t[data.size()]);
        std::copy(data.begin(), data.end(), request->data.get());
        return phone.execute(SimulatedPhone::defaultDeviceId, maxDataLength, request, response);
    }

    // The response code the phone gives to a request without a data phase back.
    uint16_t answerTo(uint16_t operationCode, std::vector<uint32_t> parameters,
                      std::vector<uint8_t> data = {}) {
        auto response = std::make_shared<kv::MtpProvider::MtpResponse>();
        EXPECT_EQ(execute(operationCode, 0, response, std::move(parameters), std::move(data)),
                  MtpResult::Success);
        return response->responseCode;
    }

    uint32_t storedHandle() {
        const std::string path = directory.file("p.bin");
        EXPECT_TRUE(kvinternal::platform::writeFileAtomically(path, "pkg"));
        uint32_t handle = 0;
        EXPECT_EQ(send(path, handle), MtpResult::Success);
        return handle;
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

TEST_F(SimulatedPhoneTest, StreamsFilesKeepingTheirBytesOnlyWhenAsked) {
    const uint64_t size = 10 * 4096 + 17;
    const std::string path = directory.file("big.bin");
    ASSERT_TRUE(kvinternal::platform::writeFileAtomically(path, PatternedBody::bytes(0, size)));
    phone.setTransferChunkSize(4096);
    for (const auto mode :
         {SimulatedPhone::TransferMode::KeepContent, SimulatedPhone::TransferMode::DigestOnly}) {
        phone.setTransferMode(mode);
        uint32_t handle = 0;
        ASSERT_EQ(send(path, handle), MtpResult::Success);
        const auto stored = phone.storedObject(handle).value();
        EXPECT_EQ(stored.size, size);
        EXPECT_EQ(stored.sha256, PatternedBody::sha256Hex(size));
        const bool kept = mode == SimulatedPhone::TransferMode::KeepContent;
        EXPECT_EQ(std::string(stored.content.begin(), stored.content.end()),
                  kept ? PatternedBody::bytes(0, size) : "");
    }
}

// A document's long string as the host sends it, its total byte length (plus `error`) first.
std::vector<uint8_t> sizedLongString(const std::string& ascii, uint32_t error = 0) {
    MtpDatasetWriter writer;
    writer.uint32(static_cast<uint32_t>(4 + 2 * ascii.size()) + error);
    for (const char c : ascii) {
        writer.uint16(static_cast<uint16_t>(c));
    }
    return writer.bytes();
}

// Accepted requests and the reboot they cause are seen through the library in its tests.
TEST_F(SimulatedPhoneTest, RefusesVerifyAndUpdateRequestsAPhoneWouldRefuse) {
    const uint32_t handle = storedHandle();
    const auto document = sizedLongString("{}\n");
    const std::tuple<uint16_t, std::vector<uint32_t>, std::vector<uint8_t>, uint16_t> rows[] = {
        {0x9178, {handle + 1, 5, 1}, document, 0x2009},
        {0x9178, {handle, 5}, document, 0x2006},
        {0x9178, {handle, 5, 1}, sizedLongString("{}\n", 2), 0x2002},
        {0x9178, {handle, 5, 1}, sizedLongString("{} x"), 0x2002},
        {0x9175, {handle, 5, 1}, document, 0x2005},  // not listed
        {0x9171, {}, {}, 0x2005},
    };
    for (const auto& [operation, parameters, data, responseCode] : rows) {
        EXPECT_EQ(answerTo(operation, parameters, data), responseCode) << responseCode;
    }
    const auto calls = phone.verifyCalls();
    ASSERT_EQ(calls.size(), 4u);  // the unlisted operation is not looked at
    EXPECT_TRUE(calls[2].document.isNull());
}

}  // namespace
}  // namespace kvtest
