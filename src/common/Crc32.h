#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvinternal {

// CRC-32 of ISO 3309 / ITU-T V.42 (reflected polynomial 0xEDB88320, initial value and final
// complement all ones), the value zlib's crc32 computes.
uint32_t crc32(const void* data, size_t length);

inline uint32_t crc32(const std::string& text) {
    return crc32(text.data(), text.size());
}

}  // namespace kvinternal
