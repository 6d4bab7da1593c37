#include "common/Base64.h"

#include <gtest/gtest.h>

#include <random>

namespace kvinternal {
namespace {

std::string asText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(Base64Test, EncodesRfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(plain), encoded) << plain;
        EXPECT_EQ(asText(base64Decode(encoded)), plain) << encoded;
    }
}

TEST(Base64Test, DecodeStopsAtPaddingOrForeignCharacter) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"Zm9v=Zm9v", "foo"},  // stops at the first '='
        {"Zm9v Zm9v", "foo"},  // a blank is outside the alphabet
        {"Zm9v\nZm9v", "foo"},
        {"Zm9vY", "foo"},      // one leftover character yields nothing
        {"Zm9vYg", "foob"},    // two leftover characters yield one byte
        {"Zm9vYmE", "fooba"},  // three yield two
        {"Z", ""},
        {"*Zm9v", ""},
        {"Zm-9v", "f"},  // '-' of the URL alphabet is foreign here
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(asText(base64Decode(testCase.text)), testCase.expected) << testCase.text;
    }
}

TEST(Base64Test, RoundTripsRandomData) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 100; ++length) {
        std::string bytes(length, '\0');
        for (auto& byte : bytes) {
            byte = static_cast<char>(random());
        }
        EXPECT_EQ(asText(base64Decode(base64Encode(bytes))), bytes);
    }
}

}  // namespace
}  // namespace kvinternal
