#include "ImeiEncryption.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
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

AesBlock referenceAes128Encrypt(const AesBlock& key, const AesBlock& plainText) {
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    AesBlock cipherText{};
    int written = 0;
    const bool ok =
        context &&
        EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
        EVP_EncryptUpdate(context.get(), cipherText.data(), &written, plainText.data(),
                          static_cast<int>(plainText.size())) == 1 &&
        written == static_cast<int>(cipherText.size());
    if (!ok) {
        throw std::runtime_error("OpenSSL could not encrypt an AES-128 block");
    }
    return cipherText;
}

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
