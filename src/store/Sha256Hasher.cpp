#include "store/Sha256Hasher.h"

#include <algorithm>
#include <vector>

#include "control/Exceptions.h"

namespace kvinternal {

namespace {

constexpr Sha256Hasher::State initialState{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::array<uint32_t, 64> roundConstants{
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr size_t streamBufferSize = 1048576;

inline uint32_t rotateRight(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t loadBigEndian(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

inline void storeBigEndian(uint64_t value, uint8_t* bytes, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

}  // namespace

Sha256Hasher::Sha256Hasher() : state_(initialState) {}

void Sha256Hasher::compressBlocks(State& state, const uint8_t* blocks, size_t blockCount) {
    std::array<uint32_t, 64> schedule;
    for (; blockCount > 0; --blockCount, blocks += blockSize) {
        for (size_t i = 0; i < 16; ++i) {
            schedule[i] = loadBigEndian(blocks + 4 * i);
        }
        for (size_t i = 16; i < 64; ++i) {
            const uint32_t w15 = schedule[i - 15];
            const uint32_t w2 = schedule[i - 2];
            const uint32_t sigma0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
            const uint32_t sigma1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
            schedule[i] = schedule[i - 16] + sigma0 + schedule[i - 7] + sigma1;
        }
        auto [a, b, c, d, e, f, g, h] = state;
        for (size_t i = 0; i < 64; ++i) {
            const uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            const uint32_t choice = (e & f) ^ (~e & g);
            const uint32_t t1 = h + sum1 + choice + roundConstants[i] + schedule[i];
            const uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + sum0 + majority;
        }
        const State added{a, b, c, d, e, f, g, h};
        for (size_t i = 0; i < state.size(); ++i) {
            state[i] += added[i];
        }
    }
}

void Sha256Hasher::update(const uint8_t* data, size_t count) {
    length_ += count;
    if (pendingCount_ > 0) {
        const size_t taken = std::min(count, blockSize - pendingCount_);
        std::copy(data, data + taken, pending_.begin() + pendingCount_);
        pendingCount_ += taken;
        data += taken;
        count -= taken;
        if (pendingCount_ < blockSize) {
            return;
        }
        compressBlocks(state_, pending_.data(), 1);
        pendingCount_ = 0;
    }
    const size_t wholeBlocks = count / blockSize;
    compressBlocks(state_, data, wholeBlocks);
    pendingCount_ = count % blockSize;
    std::copy(data + wholeBlocks * blockSize, data + count, pending_.begin());
}

Sha256Digest Sha256Hasher::finish() {
    // 0x80, zeros up to 56 bytes into a block, then the length in bits, big-endian.
    std::array<uint8_t, 2 * blockSize> padding{};
    padding[0] = 0x80;
    const size_t zeros = (blockSize + 55 - pendingCount_) % blockSize;
    const uint64_t lengthInBits = length_ * 8;
    storeBigEndian(lengthInBits, padding.data() + 1 + zeros, 8);
    update(padding.data(), 1 + zeros + 8);

    Sha256Digest digest;
    for (size_t i = 0; i < state_.size(); ++i) {
        storeBigEndian(state_[i], digest.data() + 4 * i, 4);
    }
    return digest;
}

Sha256Digest hashStream(std::istream& input) {
    Sha256Hasher hasher;
    std::vector<char> buffer(streamBufferSize);
    while (input) {
        input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hasher.update(reinterpret_cast<const uint8_t*>(buffer.data()),
                      static_cast<size_t>(input.gcount()));
    }
    // A clean end sets eofbit; anything else (a stream that failed before or while reading)
    // would leave the digest of a prefix.
    if (input.bad() || !input.eof()) {
        throw IllegalStateException("Could not read the data to hash");
    }
    return hasher.finish();
}

std::string toHex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace kvinternal
