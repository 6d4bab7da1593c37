#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

// Reads MTP datasets as a phone receives them (little-endian), independently of the library's
// codec. Reading past the end, or a length prefix that does not match the data, throws
// std::invalid_argument.
class MtpDatasetReader {
public:
    explicit MtpDatasetReader(std::vector<uint8_t> bytes);

    uint8_t uint8();
    uint16_t uint16();
    uint32_t uint32();
    // The long string the host sends with a JSON document: a 32-bit prefix holding the total
    // length in bytes (prefix included), then the code units, no terminator.
    std::u16string sizedLongString();
    // An 8-bit count of code units including the terminating 0, then the units; the text comes
    // back without its terminator. Throws when the last unit is not 0.
    std::u16string mtpString();
    bool atEnd() const { return position_ == bytes_.size(); }

private:
    void require(std::size_t count) const;

    std::vector<uint8_t> bytes_;
    std::size_t position_ = 0;
};

}  // namespace kvtest
