#include "MtpDatasetReader.h"

#include <stdexcept>
#include <utility>

namespace kvtest {

MtpDatasetReader::MtpDatasetReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

void MtpDatasetReader::require(std::size_t count) const {
    if (bytes_.size() - position_ < count) {
        throw std::invalid_argument("The dataset ends " + std::to_string(count) +
                                    " bytes too early at offset " + std::to_string(position_));
    }
}

uint8_t MtpDatasetReader::uint8() {
    require(1);
    return bytes_[position_++];
}

uint16_t MtpDatasetReader::uint16() {
    require(2);
    const auto value = static_cast<uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
    position_ += 2;
    return value;
}

uint32_t MtpDatasetReader::uint32() {
    const uint32_t low = uint16();
    return low | (static_cast<uint32_t>(uint16()) << 16);
}

std::u16string MtpDatasetReader::sizedLongString() {
    const uint32_t length = uint32();
    if (length < 4 || length % 2 != 0) {
        throw std::invalid_argument("A long string cannot be " + std::to_string(length) +
                                    " bytes long");
    }
    require(length - 4);
    std::u16string text;
    for (uint32_t unit = 0; unit < (length - 4) / 2; ++unit) {
        text.push_back(static_cast<char16_t>(uint16()));
    }
    return text;
}

std::u16string MtpDatasetReader::mtpString() {
    const uint8_t count = uint8();
    require(2u * count);
    std::u16string text;
    for (uint8_t unit = 0; unit < count; ++unit) {
        text.push_back(static_cast<char16_t>(uint16()));
    }
    if (text.empty()) {
        return text;
    }
    // A phone takes the last unit for the terminator, whatever it is.
    if (text.back() != u'\0') {
        throw std::invalid_argument("An MTP string of " + std::to_string(count) +
                                    " code units does not end in its terminating 0");
    }
    text.pop_back();
    return text;
}

}  // namespace kvtest
