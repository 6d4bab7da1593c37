#include "PatternedBody.h"

#include <algorithm>
#include <array>

#include "ReferenceCrypto.h"

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
    ReferenceSha256 sha256;
    std::array<uint8_t, 64 * 1024> piece{};
    for (uint64_t offset = 0; offset < size; offset += piece.size()) {
        const uint64_t length = std::min<uint64_t>(piece.size(), size - offset);
        fill(offset, piece.data(), length);
        sha256.add(piece.data(), length);
    }
    return sha256.finishHex();
}

}  // namespace kvtest
