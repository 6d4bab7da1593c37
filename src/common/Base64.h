#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvinternal {

// Standard alphabet, with '=' padding.
std::string base64Encode(const std::string& bytes);

// Lenient decoding: stops at the first '=' or at the first character outside the alphabet; a
// trailing group of 2 or 3 characters yields 1 or 2 bytes, a single leftover character nothing.
std::vector<uint8_t> base64Decode(const std::string& text);

}  // namespace kvinternal
