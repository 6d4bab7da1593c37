#include "mtp/Imei.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "common/Base64.h"
#include "common/BuildConfig.h"
#include "mtp/Aes128.h"

namespace kvinternal {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "^\d{14,15}$": 14 or 15 ASCII digits and nothing else.
bool matchesImeiPattern(const std::string& text) {
    return (text.size() == 14 || text.size() == 15) &&
           std::all_of(text.begin(), text.end(), isDigit);
}

constexpr bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

constexpr uint8_t hexDigit(char c) {
    return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

constexpr bool isKeyText(const char (&hex)[33]) {
    for (int i = 0; i < 32; ++i) {
        if (!isLowerHex(hex[i])) {
            return false;
        }
    }
    return hex[32] == '\0';
}

constexpr Aes128::Key parseKey(const char (&hex)[33]) {
    Aes128::Key key{};
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(hexDigit(hex[2 * i]) << 4 | hexDigit(hex[2 * i + 1]));
    }
    return key;
}

static_assert(isKeyText(buildconfig::imeiKeyHex), "the IMEI key must be 32 lowercase hex digits");

const Aes128& imeiCipher() {
    static const Aes128 cipher(parseKey(buildconfig::imeiKeyHex));
    return cipher;
}

char luhnCheckDigit(const std::string& digits) {
    int sum = 0;
    for (size_t i = 0; i < 14; ++i) {
        int value = digits[13 - i] - '0';
        if (i % 2 == 0) {
            value *= 2;
            if (value >= 10) {
                value -= 9;
            }
        }
        sum += value;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

}  // namespace

void trimSpaces(std::string& text) {
    const char* const spaces = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(spaces);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(spaces) + 1);
    text.erase(0, first);
}

std::string decryptImei(const std::string& text) {
    const std::vector<uint8_t> bytes = base64Decode(text);
    Aes128::Block block{};
    if (bytes.size() > block.size()) {
        return {};
    }
    // A short value leaves the rest of the block zero.
    std::copy(bytes.begin(), bytes.end(), block.begin());
    const Aes128::Block plain = imeiCipher().decryptBlock(block);
    std::string digits;
    std::copy_if(plain.begin(), plain.begin() + 15, std::back_inserter(digits),
                 [](uint8_t byte) { return isDigit(static_cast<char>(byte)); });
    return digits;
}

std::string completeImei(const std::string& text) {
    // Only digits can carry a check digit; longer or shorter texts are no IMEI.
    if (!matchesImeiPattern(text)) {
        return {};
    }
    const char checkDigit = luhnCheckDigit(text);
    if (text.size() == 15) {
        return text[14] == checkDigit ? text : std::string();
    }
    return text + checkDigit;
}

std::string imeiFromIdentifier(std::string text) {
    trimSpaces(text);
    const std::string decrypted = decryptImei(text);
    if (matchesImeiPattern(decrypted)) {
        return completeImei(decrypted);
    }
    if (matchesImeiPattern(text)) {
        return completeImei(text);
    }
    return {};
}

std::string retrieveImei(const std::string& encryptedImei, const std::string& unencryptedImei,
                         const Log& log) {
    std::string candidate = imeiFromIdentifier(encryptedImei);
    if (candidate.empty()) {
        candidate = unencryptedImei;
        trimSpaces(candidate);
        if (!matchesImeiPattern(candidate)) {
            log.error("No IMEI found!");
            return {};
        }
    }
    std::string imei = completeImei(candidate);
    if (imei.empty()) {
        // A wrong check digit makes the candidate no IMEI at all.
        log.error("No IMEI found!");
        return {};
    }
    log.info("Successfully retrieved IMEI: " + candidate);
    return imei;
}

}  // namespace kvinternal
