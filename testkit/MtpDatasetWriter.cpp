#include "MtpDatasetWriter.h"

#include <stdexcept>

namespace kvtest {

MtpDatasetWriter& MtpDatasetWriter::uint8(uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

MtpDatasetWriter& MtpDatasetWriter::uint16(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
    return *this;
}

MtpDatasetWriter& MtpDatasetWriter::uint32(uint32_t value) {
    uint16(static_cast<uint16_t>(value));
    return uint16(static_cast<uint16_t>(value >> 16));
}

MtpDatasetWriter& MtpDatasetWriter::uint64(uint64_t value) {
    uint32(static_cast<uint32_t>(value));
    return uint32(static_cast<uint32_t>(value >> 32));
}

MtpDatasetWriter& MtpDatasetWriter::mtpString(const std::u16string& text) {
    if (text.empty()) {
        return uint8(0);
    }
    if (text.size() > 254) {
        throw std::invalid_argument("An MTP string holds at most 254 code units");
    }
    uint8(static_cast<uint8_t>(text.size() + 1));
    for (const char16_t unit : text) {
        uint16(unit);
    }
    return uint16(0);
}

MtpDatasetWriter& MtpDatasetWriter::longString(const std::u16string& text) {
    uint32(static_cast<uint32_t>(text.size() + 1));
    for (const char16_t unit : text) {
        uint16(unit);
    }
    return uint16(0);
}

MtpDatasetWriter& MtpDatasetWriter::array(const std::vector<uint16_t>& elements) {
    uint32(static_cast<uint32_t>(elements.size()));
    for (const uint16_t element : elements) {
        uint16(element);
    }
    return *this;
}

}  // namespace kvtest
