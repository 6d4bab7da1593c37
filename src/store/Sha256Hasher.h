#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

namespace kvinternal {

using Sha256Digest = std::array<uint8_t, 32>;

// SHA-256 (FIPS 180-4) over data handed over in pieces of any size. Only whole 64-byte blocks
// are compressed; fewer than 64 bytes wait in `pending_` for the next piece or for `finish`.
class Sha256Hasher {
public:
    static constexpr size_t blockSize = 64;
    using State = std::array<uint32_t, 8>;

    // The routines that can compress blocks. Every one gives the same digest; they differ only
    // in speed and in what the CPU must support. The ARMv8 crypto extensions would be one more:
    // their own source file built with +crypto (as Sha256X86ShaExtensions.cpp is for x86), a
    // case in `isAvailable` reading the SHA2 bit of getauxval(AT_HWCAP), and one in
    // `compressBlocks`.
    enum class Engine { Portable, X86ShaExtensions };

    // Whether this build and this CPU can run `engine`.
    static bool isAvailable(Engine engine);
    // The engine every hasher uses: the fastest available one, chosen once per process. Tests
    // select the portable one to compare the two. Returns false, changing nothing, when
    // `engine` is not available.
    static bool selectEngine(Engine engine);
    static Engine selectedEngine();

    Sha256Hasher();

    void update(const uint8_t* data, size_t count);
    // Pads, compresses the last block(s) and returns the digest; the hasher is spent afterwards.
    Sha256Digest finish();

private:
    // Compresses `blockCount` whole blocks into `state` with the selected engine. Everything
    // else (buffering, padding, length) is shared by all engines.
    static void compressBlocks(State& state, const uint8_t* blocks, size_t blockCount);

    State state_;
    std::array<uint8_t, blockSize> pending_{};
    size_t pendingCount_ = 0;
    uint64_t length_ = 0;  // input bytes so far
};

// The digest of everything `input` (opened in binary mode) delivers until its end, read through
// a 1 MiB buffer so that a package is never held in memory whole. Throws
// IllegalStateException when the stream is failed or fails while reading, rather than returning
// the digest of a prefix.
Sha256Digest hashStream(std::istream& input);

// Two lowercase hexadecimal digits per byte, in order.
std::string toHex(const uint8_t* bytes, size_t count);
inline std::string toHex(const Sha256Digest& digest) {
    return toHex(digest.data(), digest.size());
}

}  // namespace kvinternal
