#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

// Builds MTP datasets the way a phone sends them (little-endian), independently of the
// library's codec, so tests can compare the two and craft malformed data.
class MtpDatasetWriter {
public:
    MtpDatasetWriter& uint8(uint8_t value);
    MtpDatasetWriter& uint16(uint16_t value);
    MtpDatasetWriter& uint32(uint32_t value);
    MtpDatasetWriter& uint64(uint64_t value);
    // 8-bit count of code units including the terminating 0 (0 for an empty text), then the units.
    MtpDatasetWriter& mtpString(const std::u16string& text);
    // 32-bit count of code units including the terminating 0, then the units (the update agent's
    // report).
    MtpDatasetWriter& longString(const std::u16string& text);
    // 32-bit element count, then the elements.
    MtpDatasetWriter& array(const std::vector<uint16_t>& elements);

    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace kvtest
