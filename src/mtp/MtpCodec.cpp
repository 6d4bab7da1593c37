#include "mtp/MtpCodec.h"

#include <limits>

#include "control/Exceptions.h"

namespace kvinternal {

namespace {

const char deviceInfoTooShort[] = "Data length is not enough for creating a valid device info";

std::string decimal(uint64_t value) {
    return std::to_string(value);
}

uint16_t fetchUint16(const uint8_t*& cursor) {
    const auto value = static_cast<uint16_t>(cursor[0] | (cursor[1] << 8));
    cursor += 2;
    return value;
}

// Reads `count` code units; the caller has checked that 2 * count bytes are there.
std::u16string readCodeUnits(const uint8_t*& cursor, uint64_t count) {
    std::u16string text;
    text.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        text.push_back(static_cast<char16_t>(fetchUint16(cursor)));
    }
    if (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return text;
}

void appendUint32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// Walks a dataset and hands each reader exactly the bytes that are left.
class DatasetCursor {
public:
    DatasetCursor(const uint8_t* data, uint64_t length) : cursor_(data), end_(data + length) {}

    uint64_t remaining() const { return static_cast<uint64_t>(end_ - cursor_); }
    const uint8_t*& position() { return cursor_; }

    std::u16string string() { return readMtpString(cursor_, remaining(), false); }
    std::vector<uint16_t> array() { return readArrayOfUint16(cursor_, remaining()); }
    uint16_t functionalMode() {
        if (remaining() < 2) {
            throw IllegalArgumentException(
                "Data length is not enough for reading the functional mode: " +
                decimal(remaining()) + " bytes left (2 needed)");
        }
        return fetchUint16(cursor_);
    }

private:
    const uint8_t* cursor_;
    const uint8_t* end_;
};

}  // namespace

uint32_t fetchUint32(const uint8_t*& cursor) {
    const uint32_t value =
        static_cast<uint32_t>(cursor[0]) | (static_cast<uint32_t>(cursor[1]) << 8) |
        (static_cast<uint32_t>(cursor[2]) << 16) | (static_cast<uint32_t>(cursor[3]) << 24);
    cursor += 4;
    return value;
}

std::u16string readMtpString(const uint8_t*& cursor, uint64_t maxDataLength, bool isLong) {
    if (maxDataLength == 0) {
        throw IllegalArgumentException("Max data length is set to 0!");
    }
    if (maxDataLength == 1) {
        return {};
    }
    uint64_t count = 0;
    if (isLong) {
        if (maxDataLength < 4) {
            throw IllegalArgumentException("Not enough data for reading MTP longstring length: " +
                                           decimal(maxDataLength));
        }
        count = fetchUint32(cursor);
        const uint64_t needed = 2 * count + 4;
        if (needed > maxDataLength) {
            throw IllegalArgumentException(
                "Max data length is not sufficient for MTP longstring: " + decimal(maxDataLength) +
                " (" + decimal(needed) + " needed)");
        }
    } else {
        count = *cursor++;
        const uint64_t needed = 2 * count + 1;
        if (needed > maxDataLength) {
            throw IllegalArgumentException(
                "Max data length is not sufficient for MTP string: " + decimal(maxDataLength) +
                " (" + decimal(needed) + " needed)");
        }
    }
    return readCodeUnits(cursor, count);
}

std::vector<uint16_t> readArrayOfUint16(const uint8_t*& cursor, uint64_t maxDataLength) {
    if (maxDataLength < 4) {
        throw IllegalArgumentException("Max data length is not sufficient for reading array");
    }
    const uint64_t count = fetchUint32(cursor);
    if (4 + 2 * count > maxDataLength) {
        throw IllegalArgumentException("Max data length is not sufficient for reading array: " +
                                       decimal(maxDataLength));
    }
    std::vector<uint16_t> elements;
    elements.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        elements.push_back(fetchUint16(cursor));
    }
    return elements;
}

uint32_t longStringByteLength(uint64_t codeUnits) {
    const uint64_t length = 2 * codeUnits + 4;
    if (codeUnits > std::numeric_limits<uint32_t>::max() ||
        length > std::numeric_limits<uint32_t>::max()) {
        throw IllegalArgumentException(
            "Text is too long for an MTP longstring: " + decimal(codeUnits) + " code units");
    }
    return static_cast<uint32_t>(length);
}

std::vector<uint8_t> writeLongString(const std::u16string& text) {
    const uint32_t length = longStringByteLength(text.size());
    std::vector<uint8_t> bytes;
    bytes.reserve(length);
    appendUint32(bytes, length);
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

std::unique_ptr<DeviceInfo> parseDeviceInfo(const uint8_t* data, uint64_t length) {
    // The fixed header is 8 bytes, and at least one byte of mtpExtensions must follow it.
    if (length <= 8) {
        throw IllegalArgumentException(deviceInfoTooShort);
    }
    auto info = std::make_unique<DeviceInfo>();
    DatasetCursor dataset(data, length);
    info->standardVersion = fetchUint16(dataset.position());
    info->vendorExtensionId = fetchUint32(dataset.position());
    info->mtpVersion = fetchUint16(dataset.position());
    info->mtpExtensions = dataset.string();
    info->functionalMode = dataset.functionalMode();
    info->operationsSupported = dataset.array();
    info->eventsSupported = dataset.array();
    info->devicePropertiesSupported = dataset.array();
    info->captureFormats = dataset.array();
    info->playbackFormats = dataset.array();
    info->manufacturer = dataset.string();
    info->model = dataset.string();
    info->deviceVersion = dataset.string();
    info->serialNumber = dataset.string();
    return info;
}

}  // namespace kvinternal
