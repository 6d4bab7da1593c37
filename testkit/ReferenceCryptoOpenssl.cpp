#include <openssl/evp.h>

#include <stdexcept>

#include "ReferenceCrypto.h"

namespace kvtest {

struct ReferenceSha256::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest{EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free};
};

ReferenceSha256::ReferenceSha256() : context_(std::make_unique<Context>()) {
    if (!context_->digest ||
        EVP_DigestInit_ex(context_->digest.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("OpenSSL could not start a SHA-256");
    }
}

ReferenceSha256::~ReferenceSha256() = default;

void ReferenceSha256::add(const void* data, size_t length) {
    if (EVP_DigestUpdate(context_->digest.get(), data, length) != 1) {
        throw std::runtime_error("OpenSSL could not hash a chunk");
    }
}

std::array<uint8_t, 32> ReferenceSha256::finish() {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->digest.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        throw std::runtime_error("OpenSSL could not finish a SHA-256");
    }
    return digest;
}

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

std::string referenceBase64(const std::string& bytes) {
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(encoded.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
    return encoded;
}

}  // namespace kvtest
