#include "PublicKeyPins.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstdint>

namespace kvhost {

namespace {

std::optional<std::vector<uint8_t>> bytesOfHex(const std::string& hex) {
    if (hex.empty() || hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string base64Sha256(const std::vector<uint8_t>& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(bytes.data(), bytes.size(), digest);
    // 4 characters per 3 bytes, and the final NUL.
    unsigned char text[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(text, digest, SHA256_DIGEST_LENGTH);
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::string> PublicKeyPins::curlPins(const std::vector<std::string>& hexKeys) {
    std::string pins;
    for (const std::string& hexKey : hexKeys) {
        const auto key = bytesOfHex(hexKey);
        if (!key) {
            return std::nullopt;
        }
        pins += (pins.empty() ? "sha256//" : ";sha256//") + base64Sha256(*key);
    }
    if (pins.empty()) {
        return std::nullopt;
    }
    return pins;
}

}  // namespace kvhost
