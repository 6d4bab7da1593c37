#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "MtpDatasetWriter.h"

namespace kvtest {

// Containers as a phone sends them, written with the test kit's own little-endian writer.
inline std::vector<uint8_t> containerBytes(uint16_t type, uint16_t code, uint32_t transactionId,
                                           const std::vector<uint8_t>& payload,
                                           std::optional<uint32_t> lengthField = std::nullopt) {
    MtpDatasetWriter header;
    header.uint32(lengthField.value_or(static_cast<uint32_t>(12 + payload.size())))
        .uint16(type)
        .uint16(code)
        .uint32(transactionId);
    std::vector<uint8_t> bytes = header.bytes();
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

inline std::vector<uint8_t> responseBytes(uint16_t code, uint32_t transactionId,
                                          const std::vector<uint32_t>& parameters = {}) {
    MtpDatasetWriter payload;
    for (const uint32_t parameter : parameters) {
        payload.uint32(parameter);
    }
    return containerBytes(3, code, transactionId, payload.bytes());
}

inline std::vector<uint8_t> dataBytes(uint16_t code, uint32_t transactionId,
                                      const std::vector<uint8_t>& payload,
                                      std::optional<uint32_t> lengthField = std::nullopt) {
    return containerBytes(2, code, transactionId, payload, lengthField);
}

// Bytes that differ from their neighbours, so a shifted or lost piece shows.
inline std::vector<uint8_t> patterned(std::size_t length, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    }
    return bytes;
}

}  // namespace kvtest
