#include "mtp/Imei.h"

#include <gtest/gtest.h>

#include <random>

#include "ImeiEncryption.h"
#include "RecordingLogger.h"
#include "common/Base64.h"
#include "mtp/Aes128.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using Block = Aes128::Block;

Block blockFromHex(const std::string& hex) {
    Block block{};
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return block;
}

TEST(Aes128Test, DecryptsTheFips197Examples) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Vector vectors[] = {
        // Appendix B and Appendix C.1.
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(Aes128(blockFromHex(v.key)).decryptBlock(blockFromHex(v.cipher)),
                  blockFromHex(v.plain));
    }
}

TEST(Aes128Test, AgreesWithOpenSsl) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    const auto randomBlock = [&] {
        Block block{};
        for (auto& b : block) {
            b = static_cast<uint8_t>(byte(random));
        }
        return block;
    };
    for (int i = 0; i < 200; ++i) {
        const Block key = randomBlock();
        const Block plain = randomBlock();
        EXPECT_EQ(Aes128(key).decryptBlock(kvtest::referenceAes128Encrypt(key, plain)), plain);
    }
}

TEST(ImeiTest, TrimsTheSixWhiteSpaceCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {" \t\n\v\f\r123 45\r\f\v\n\t ", "123 45"}, {"   ", ""}, {"", ""}, {"a", "a"}};
    for (auto [text, expected] : cases) {
        trimSpaces(text);
        EXPECT_EQ(text, expected);
    }
}

TEST(ImeiTest, CompletesOrChecksTheLuhnDigit) {
    const std::pair<const char*, const char*> cases[] = {
        {"49015420323751", "490154203237518"},
        {"490154203237518", "490154203237518"},
        {"490154203237517", ""},
        {"35209900176148", "352099001761481"},
        {"00000000000000", "000000000000000"},
        {"99999999999999", "999999999999994"},
        {"4901542032375", ""},
        {"4901542032375180", ""},
        {"4901542032375a", ""},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(completeImei(text), expected) << text;
    }
}

TEST(ImeiTest, DerivesTheImeiFromAnIdentifierValue) {
    const std::string sixteenBytes = base64Encode(std::string(16, 'x'));
    const std::string seventeenBytes = base64Encode(std::string(17, '\0'));
    const std::pair<std::string, std::string> cases[] = {
        {kvtest::encryptImei("490154203237518"), "490154203237518"},
        {"  " + kvtest::encryptImei("49015420323751") + "\n", "490154203237518"},
        {kvtest::encryptImei("490154203237517"), ""},  // decrypted, wrong check digit
        {kvtest::encryptImei("4901542032375"), ""},    // 13 digits
        {kvtest::encryptImei("a49015420323751"), "490154203237518"},  // letters dropped
        {"490154203237518", "490154203237518"},                       // plain digits
        {" 49015420323751 ", "490154203237518"},
        {"4901542032375", ""},
        {"4901542032375180", ""},
        {sixteenBytes, ""},
        {seventeenBytes, ""},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(imeiFromIdentifier(text), expected) << text;
    }
}

TEST(ImeiTest, ShortCipherTextIsZeroFilled) {
    // Some 12-byte value whose zero-filled block decrypts to at least one digit, so that another
    // fill would show.
    std::string cipher(12, '\0');
    std::string filled;
    for (char seed = 0; filled.empty(); ++seed) {
        cipher[0] = seed;
        filled = decryptImei(base64Encode(cipher + std::string(4, '\0')));
    }
    EXPECT_EQ(decryptImei(base64Encode(cipher)), filled);
}

TEST(ImeiTest, RetrievesTheImeiEncryptedFirst) {
    struct Case {
        std::string encrypted;
        std::string unencrypted;
        std::string expected;
        std::vector<kvtest::RecordingLogger::Line> lines;
    };
    const std::string overLong = base64Encode(std::string(17, '1'));
    const Case cases[] = {
        {kvtest::encryptImei("490154203237518"),
         "35209900176148",
         "490154203237518",
         {{Channel::Info, "Successfully retrieved IMEI: 490154203237518"}}},
        {"",
         " 35209900176148 ",
         "352099001761481",
         {{Channel::Info, "Successfully retrieved IMEI: 35209900176148"}}},
        {overLong,
         "352099001761481",
         "352099001761481",
         {{Channel::Info, "Successfully retrieved IMEI: 352099001761481"}}},
        // A wrong check digit: no success is claimed for what is no IMEI.
        {"", "352099001761482", "", {{Channel::Error, "No IMEI found!"}}},
        {"", "3520990017614", "", {{Channel::Error, "No IMEI found!"}}},
        {"", "3520990017614811", "", {{Channel::Error, "No IMEI found!"}}},
        {"", "", "", {{Channel::Error, "No IMEI found!"}}},
    };
    for (const auto& c : cases) {
        auto logger = std::make_shared<kvtest::RecordingLogger>();
        EXPECT_EQ(retrieveImei(c.encrypted, c.unencrypted, Log(logger)), c.expected);
        EXPECT_EQ(logger->lines(), c.lines);
    }
}

}  // namespace
}  // namespace kvinternal
