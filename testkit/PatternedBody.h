#pragma once

#include <cstdint>
#include <string>

namespace kvtest {

// The content of every simulated package: each 8-byte little-endian word holds its own byte
// offset, so bytes taken from the wrong place (an off-by-N resume, a misread range) change the
// content and its hash. Bodies are produced piece by piece and never held whole.
class PatternedBody {
public:
    // Writes bytes [offset, offset + length) of a body into `out`.
    static void fill(uint64_t offset, uint8_t* out, uint64_t length);
    // The same bytes as a string, for assertions on small pieces.
    static std::string bytes(uint64_t offset, uint64_t length);
    // The SHA-256 (lowercase hex) of a body of `size` bytes, computed by streaming.
    static std::string sha256Hex(uint64_t size);
};

}  // namespace kvtest
