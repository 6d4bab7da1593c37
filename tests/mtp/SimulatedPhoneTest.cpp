// Only the phone's refusals are tested here: a library that sent a wrong handle, parameter count
// or document length would otherwise see its verify-and-update accepted. What the phone accepts,
// stores and reports is seen through the library in its own tests.
#include "SimulatedPhone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "MtpDatasetWriter.h"
#include "TempDirectory.h"
#include "common/Platform.h"

namespace kvtest {
namespace {

using MtpResult = kv::MtpProvider::MtpResult;

// A document's long string as the host sends it, its total byte length (plus `error`) first.
std::vector<uint8_t> sizedLongString(const std::string& ascii, uint32_t error = 0) {
    MtpDatasetWriter writer;
    writer.uint32(static_cast<uint32_t>(4 + 2 * ascii.size()) + error);
    for (const char c : ascii) {
        writer.uint16(static_cast<uint16_t>(c));
    }
    return writer.bytes();
}

TEST(SimulatedPhoneTest, RefusesVerifyAndUpdateRequestsAPhoneWouldRefuse) {
    TempDirectory directory;
    SimulatedPhone phone;
    const std::string path = directory.file("p.bin");
    ASSERT_TRUE(kvinternal::platform::writeFileAtomically(path, "pkg"));
    uint32_t handle = 0;
    ASSERT_EQ(
        phone.sendFile(SimulatedPhone::defaultDeviceId, path, "/recovery/update_package", handle),
        MtpResult::Success);
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
        auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
        request->operationCode = operation;
        request->numberOfParameters = static_cast<uint16_t>(parameters.size());
        std::copy(parameters.begin(), parameters.end(), request->parameters);
        request->dataLength = data.size();
        request->data.reset(new uint8_t[data.size()]);
        std::copy(data.begin(), data.end(), request->data.get());
        auto response = std::make_shared<kv::MtpProvider::MtpResponse>();
        EXPECT_EQ(phone.execute(SimulatedPhone::defaultDeviceId, 0, request, response),
                  MtpResult::Success);
        EXPECT_EQ(response->responseCode, responseCode) << responseCode;
    }
    const auto calls = phone.verifyCalls();
    ASSERT_EQ(calls.size(), 4u);  // the unlisted operation is not looked at
    EXPECT_TRUE(calls[2].document.isNull());
}

}  // namespace
}  // namespace kvtest
