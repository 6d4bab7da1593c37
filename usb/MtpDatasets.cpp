#include "MtpDatasets.h"

#include <stdexcept>

#include "MtpContainer.h"

namespace kvusb {
namespace MtpDatasets {

namespace {

// Byte offsets of the ObjectInfo fields used here.
constexpr std::size_t formatAt = 4;
constexpr std::size_t compressedSizeAt = 8;
constexpr std::size_t parentAt = 38;
constexpr std::size_t filenameAt = 52;

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    uint32_t uint32At(std::size_t offset) const {
        require(offset, 4);
        return getUint32(bytes_.data() + offset);
    }

    uint16_t uint16At(std::size_t offset) const {
        require(offset, 2);
        return getUint16(bytes_.data() + offset);
    }

    // An MTP string: an 8-bit count of code units with the terminating 0, then the units.
    std::u16string stringAt(std::size_t offset) const {
        require(offset, 1);
        const std::size_t count = bytes_[offset];
        require(offset + 1, 2 * count);
        std::u16string text;
        for (std::size_t i = 0; i < count; ++i) {
            text.push_back(static_cast<char16_t>(uint16At(offset + 1 + 2 * i)));
        }
        if (!text.empty() && text.back() == u'\0') {
            text.pop_back();
        }
        return text;
    }

private:
    void require(std::size_t offset, std::size_t length) const {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            throw std::invalid_argument("an MTP dataset ends early");
        }
    }

    const std::vector<uint8_t>& bytes_;
};

void appendUint16(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void appendUint32(std::vector<uint8_t>& bytes, uint32_t value) {
    appendUint16(bytes, static_cast<uint16_t>(value));
    appendUint16(bytes, static_cast<uint16_t>(value >> 16));
}

void appendString(std::vector<uint8_t>& bytes, const std::u16string& text) {
    if (text.size() > 254) {
        throw std::invalid_argument("an MTP string holds at most 254 code units");
    }
    bytes.push_back(static_cast<uint8_t>(text.empty() ? 0 : text.size() + 1));
    for (const char16_t unit : text) {
        appendUint16(bytes, unit);
    }
    if (!text.empty()) {
        appendUint16(bytes, 0);
    }
}

}  // namespace

std::vector<uint8_t> encodeObjectInfo(const ObjectInfo& info) {
    std::vector<uint8_t> bytes;
    appendUint32(bytes, info.storageId);
    appendUint16(bytes, info.format);
    appendUint16(bytes, 0);  // protection status
    appendUint32(bytes, info.compressedSize);
    appendUint16(bytes, 0);  // thumb format
    for (int field = 0; field < 6; ++field) {
        appendUint32(bytes, 0);  // thumb size, thumb and image dimensions, bit depth
    }
    appendUint32(bytes, info.parent);
    appendUint16(bytes, 0);  // association type
    appendUint32(bytes, 0);  // association description
    appendUint32(bytes, 0);  // sequence number
    appendString(bytes, info.filename);
    for (int text = 0; text < 3; ++text) {
        appendString(bytes, u"");  // date created, date modified, keywords
    }
    return bytes;
}

ObjectInfo decodeObjectInfo(const std::vector<uint8_t>& bytes) {
    const Reader reader(bytes);
    return {reader.uint32At(0), reader.uint16At(formatAt), reader.uint32At(compressedSizeAt),
            reader.uint32At(parentAt), reader.stringAt(filenameAt)};
}

std::vector<uint32_t> decodeUint32Array(const std::vector<uint8_t>& bytes) {
    const Reader reader(bytes);
    const uint32_t count = reader.uint32At(0);
    if (count > (bytes.size() - 4) / 4) {
        throw std::invalid_argument("an MTP array announces more elements than it holds");
    }
    std::vector<uint32_t> values(count);
    for (uint32_t i = 0; i < count; ++i) {
        values[i] = reader.uint32At(4 + 4 * static_cast<std::size_t>(i));
    }
    return values;
}

std::u16string utf16(const std::string& utf8) {
    std::u16string text;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80       ? 1
                                   : lead >> 5 == 6  ? 2
                                   : lead >> 4 == 14 ? 3
                                   : lead >> 3 == 30 ? 4
                                                     : 0;
        if (length == 0 || length > utf8.size() - i) {
            throw std::invalid_argument("a path that is not UTF-8");
        }
        uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if (next >> 6 != 2) {
                throw std::invalid_argument("a path that is not UTF-8");
            }
            point = (point << 6) | (next & 0x3F);
        }
        static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
            throw std::invalid_argument("a path that is not UTF-8");
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(point));
        }
        i += length;
    }
    return text;
}

std::string utf8(const std::u16string& utf16) {
    std::string text;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        uint32_t point = utf16[i];
        const bool lead = point >= 0xD800 && point < 0xDC00;
        if (lead && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000) {
            point = 0x10000 + ((point - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        } else if (point >= 0xD800 && point < 0xE000) {
            point = 0xFFFD;
        }
        if (point < 0x80) {
            text.push_back(static_cast<char>(point));
            continue;
        }
        const int continuations = point < 0x800 ? 1 : point < 0x10000 ? 2 : 3;
        static constexpr unsigned char leads[] = {0, 0xC0, 0xE0, 0xF0};
        text.push_back(static_cast<char>(leads[continuations] | (point >> (6 * continuations))));
        for (int k = continuations - 1; k >= 0; --k) {
            text.push_back(static_cast<char>(0x80 | ((point >> (6 * k)) & 0x3F)));
        }
    }
    return text;
}

std::string decodeString(const std::vector<uint8_t>& bytes) {
    return utf8(Reader(bytes).stringAt(0));
}

}  // namespace MtpDatasets
}  // namespace kvusb
