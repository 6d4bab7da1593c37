#include "PatternedBody.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>

namespace kvtest {

namespace {

uint8_t byteAt(uint64_t offset) {
    const uint64_t word = offset & ~uint64_t{7};
    return static_cast<uint8_t>(word >> (8 * (offset & 7)));
}

void storeWord(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string toHex(const uint8_t* data, unsigned int length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 0x0f];
    }
    return hex;
}

}  // namespace

void PatternedBody::fill(uint64_t offset, uint8_t* out, uint64_t length) {
    const uint64_t end = offset + length;
    uint64_t position = offset;
    for (; position < end && position % 8 != 0; ++position) {
        *out++ = byteAt(position);
    }
    for (; end - position >= 8; position += 8, out += 8) {
        storeWord(out, position);
    }
    for (; position < end; ++position) {
        *out++ = byteAt(position);
    }
}

std::string PatternedBody::bytes(uint64_t offset, uint64_t length) {
    std::string text(length, '\0');
    fill(offset, reinterpret_cast<uint8_t*>(text.data()), length);
    return text;
}

std::string PatternedBody::sha256Hex(uint64_t size) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    std::array<uint8_t, 64 * 1024> piece{};
    for (uint64_t offset = 0; ok && offset < size; offset += piece.size()) {
        const uint64_t length = std::min<uint64_t>(piece.size(), size - offset);
        fill(offset, piece.data(), length);
        ok = EVP_DigestUpdate(context.get(), piece.data(), length) == 1;
    }
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest.data(), &digestLength) != 1) {
        throw std::runtime_error("OpenSSL could not compute a SHA-256");
    }
    return toHex(digest.data(), digestLength);
}

}  // namespace kvtest
