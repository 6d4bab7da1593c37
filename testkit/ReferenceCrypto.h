#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Independent implementations the tests, the simulated phone and the simulated server check the
// library against: OpenSSL's libcrypto, or on Windows the system's CNG and CryptoAPI.
namespace kvtest {

using AesBlock = std::array<uint8_t, 16>;

// SHA-256 of bytes that arrive in pieces.
class ReferenceSha256 {
public:
    ReferenceSha256();
    ~ReferenceSha256();
    ReferenceSha256(const ReferenceSha256&) = delete;
    ReferenceSha256& operator=(const ReferenceSha256&) = delete;

    void add(const void* data, size_t length);
    // The digest of everything added, in lowercase hexadecimal; the last call.
    std::string finishHex();

private:
    std::array<uint8_t, 32> finish();

    struct Context;
    std::unique_ptr<Context> context_;
};

std::string referenceSha256Hex(const std::string& bytes);

// One AES-128 block encrypted.
AesBlock referenceAes128Encrypt(const AesBlock& key, const AesBlock& plainText);

// Standard Base64 with padding, on one line.
std::string referenceBase64(const std::string& bytes);

}  // namespace kvtest
