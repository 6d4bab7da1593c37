#include "ImeiEncryption.h"

#include <algorithm>
#include <stdexcept>

#include "common/Base64.h"
#include "common/BuildConfig.h"

namespace kvtest {

namespace {

AesBlock buildImeiKey() {
    const std::string hex = kvinternal::buildconfig::imeiKeyHex;
    AesBlock key{};
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return key;
}

}  // namespace

std::string encryptImei(const std::string& digits) {
    AesBlock plain{};
    if (digits.size() > plain.size()) {
        throw std::invalid_argument("An IMEI block holds at most 16 characters");
    }
    std::copy(digits.begin(), digits.end(), plain.begin());
    const AesBlock cipher = referenceAes128Encrypt(buildImeiKey(), plain);
    return kvinternal::base64Encode(std::string(cipher.begin(), cipher.end()));
}

}  // namespace kvtest
