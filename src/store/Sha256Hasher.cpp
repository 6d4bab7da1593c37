#include "store/Sha256Hasher.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "control/Exceptions.h"
#include "store/Sha256Engines.h"

namespace kvinternal {

namespace {

constexpr Sha256Hasher::State initialState{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

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

void compressPortably(Sha256Hasher::State& state, const uint8_t* blocks, size_t blockCount) {
    std::array<uint32_t, 64> schedule;
    for (; blockCount > 0; --blockCount, blocks += Sha256Hasher::blockSize) {
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
            const uint32_t t1 = h + sum1 + choice + sha256::roundConstants[i] + schedule[i];
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
        const Sha256Hasher::State added{a, b, c, d, e, f, g, h};
        for (size_t i = 0; i < state.size(); ++i) {
            state[i] += added[i];
        }
    }
}

Sha256Hasher::Engine fastestAvailableEngine() {
    return Sha256Hasher::isAvailable(Sha256Hasher::Engine::X86ShaExtensions)
               ? Sha256Hasher::Engine::X86ShaExtensions
               : Sha256Hasher::Engine::Portable;
}

// Atomic because a test may switch engines while another thread hashes; every engine leaves the
// same state, so a switch between two blocks cannot change a digest.
std::atomic<Sha256Hasher::Engine>& engineInUse() {
    static std::atomic<Sha256Hasher::Engine> engine{fastestAvailableEngine()};
    return engine;
}

}  // namespace

bool Sha256Hasher::isAvailable(Engine engine) {
#ifdef KAVRIN_X86_SHA_EXTENSIONS
    static const bool hasX86ShaExtensions = sha256::cpuHasX86ShaExtensions();
#else
    constexpr bool hasX86ShaExtensions = false;
#endif
    switch (engine) {
        case Engine::Portable:
            return true;
        case Engine::X86ShaExtensions:
            return hasX86ShaExtensions;
    }
    return false;
}

bool Sha256Hasher::selectEngine(Engine engine) {
    if (!isAvailable(engine)) {
        return false;
    }
    engineInUse().store(engine, std::memory_order_relaxed);
    return true;
}

Sha256Hasher::Engine Sha256Hasher::selectedEngine() {
    return engineInUse().load(std::memory_order_relaxed);
}

void Sha256Hasher::compressBlocks(State& state, const uint8_t* blocks, size_t blockCount) {
#ifdef KAVRIN_X86_SHA_EXTENSIONS
    if (selectedEngine() == Engine::X86ShaExtensions) {
        sha256::compressWithX86ShaExtensions(state, blocks, blockCount);
        return;
    }
#endif
    compressPortably(state, blocks, blockCount);
}

Sha256Hasher::Sha256Hasher() : state_(initialState) {}

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
    // A read this large goes past a file stream's own small buffer straight to the OS, so each
    // byte is copied once, into `buffer`.
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
