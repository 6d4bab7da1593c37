#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need:
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <stdexcept>

#include "ReferenceCrypto.h"

namespace kvtest {

namespace {

void check(NTSTATUS status, const char* what) {
    if (!BCRYPT_SUCCESS(status)) {
        throw std::runtime_error(std::string("CNG could not ") + what);
    }
}

class Algorithm {
public:
    explicit Algorithm(const wchar_t* name) {
        check(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0), "open an algorithm");
    }
    ~Algorithm() { BCryptCloseAlgorithmProvider(handle_, 0); }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;

    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
public:
    Key(const Algorithm& algorithm, const AesBlock& secret) {
        check(BCryptGenerateSymmetricKey(algorithm.get(), &handle_, nullptr, 0,
                                         const_cast<PUCHAR>(secret.data()),
                                         static_cast<ULONG>(secret.size()), 0),
              "make an AES key");
    }
    ~Key() { BCryptDestroyKey(handle_); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    BCRYPT_KEY_HANDLE get() const { return handle_; }

private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

}  // namespace

struct ReferenceSha256::Context {
    Algorithm algorithm{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_HASH_HANDLE hash = nullptr;

    Context() {
        check(BCryptCreateHash(algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0),
              "start a SHA-256");
    }
    ~Context() { BCryptDestroyHash(hash); }
};

ReferenceSha256::ReferenceSha256() : context_(std::make_unique<Context>()) {}

ReferenceSha256::~ReferenceSha256() = default;

void ReferenceSha256::add(const void* data, size_t length) {
    constexpr size_t largestPiece = 1u << 30;
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    for (size_t offset = 0; offset < length; offset += largestPiece) {
        const auto piece = static_cast<ULONG>(std::min(largestPiece, length - offset));
        check(BCryptHashData(context_->hash, bytes + offset, piece, 0), "hash a chunk");
    }
}

std::array<uint8_t, 32> ReferenceSha256::finish() {
    std::array<uint8_t, 32> digest{};
    check(BCryptFinishHash(context_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0),
          "finish a SHA-256");
    return digest;
}

AesBlock referenceAes128Encrypt(const AesBlock& key, const AesBlock& plainText) {
    const Algorithm aes(BCRYPT_AES_ALGORITHM);
    check(BCryptSetProperty(aes.get(), BCRYPT_CHAINING_MODE,
                            reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                            sizeof(BCRYPT_CHAIN_MODE_ECB), 0),
          "choose ECB");
    const Key secret(aes, key);
    AesBlock input = plainText;
    AesBlock cipherText{};
    ULONG written = 0;
    check(BCryptEncrypt(secret.get(), input.data(), static_cast<ULONG>(input.size()), nullptr,
                        nullptr, 0, cipherText.data(), static_cast<ULONG>(cipherText.size()),
                        &written, 0),
          "encrypt an AES-128 block");
    if (written != cipherText.size()) {
        throw std::runtime_error("CNG encrypted an AES-128 block to another size");
    }
    return cipherText;
}

std::string referenceBase64(const std::string& bytes) {
    if (bytes.empty()) {
        return "";
    }
    constexpr DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    const auto length = static_cast<DWORD>(bytes.size());
    DWORD size = 0;
    if (!CryptBinaryToStringA(data, length, flags, nullptr, &size)) {
        throw std::runtime_error("CryptoAPI could not size a Base64 text");
    }
    std::string encoded(size, '\0');
    if (!CryptBinaryToStringA(data, length, flags, encoded.data(), &size)) {
        throw std::runtime_error("CryptoAPI could not encode Base64");
    }
    encoded.resize(size);  // without the terminating NUL
    return encoded;
}

}  // namespace kvtest
