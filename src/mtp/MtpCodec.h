#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Readers and the one writer for the little-endian MTP datasets the phone and the library
// exchange. Every reader takes a cursor, which it advances past what it consumed, and the number
// of bytes it may consume from there; the caller guarantees that this many bytes are readable.
// A dataset that does not fit its bound throws kvinternal::IllegalArgumentException.
namespace kvinternal {

// The standard DeviceInfo dataset (answer of GetDeviceInfo), in dataset order.
struct DeviceInfo {
    uint16_t standardVersion = 0;
    uint32_t vendorExtensionId = 0;
    uint16_t mtpVersion = 0;
    std::u16string mtpExtensions;
    uint16_t functionalMode = 0;
    std::vector<uint16_t> operationsSupported;
    std::vector<uint16_t> eventsSupported;
    std::vector<uint16_t> devicePropertiesSupported;
    std::vector<uint16_t> captureFormats;
    std::vector<uint16_t> playbackFormats;
    std::u16string manufacturer;
    std::u16string model;
    std::u16string deviceVersion;
    std::u16string serialNumber;
};

// An MTP string (8-bit count including the terminator) or, when `isLong`, a long string (32-bit
// count). A bound of exactly 1 yields an empty string and consumes nothing.
std::u16string readMtpString(const uint8_t*& cursor, uint64_t maxDataLength, bool isLong);

// A 32-bit element count followed by that many 16-bit elements.
std::vector<uint16_t> readArrayOfUint16(const uint8_t*& cursor, uint64_t maxDataLength);

// Reads 4 bytes unchecked: callers check the bound first.
uint32_t fetchUint32(const uint8_t*& cursor);

// The 32-bit prefix of a long string of `codeUnits` units as the library writes it (its total
// length in bytes); throws when that does not fit 32 bits.
uint32_t longStringByteLength(uint64_t codeUnits);

// A long string with its total byte length in front and no terminator.
std::vector<uint8_t> writeLongString(const std::u16string& text);

// Parses `length` bytes at `data`.
std::unique_ptr<DeviceInfo> parseDeviceInfo(const uint8_t* data, uint64_t length);

}  // namespace kvinternal
