#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvusb {

// The few fields of an ObjectInfo dataset that finding a folder needs.
struct ObjectInfo {
    uint32_t storageId = 0;
    uint16_t format = 0;
    uint32_t compressedSize = 0;
    uint32_t parent = 0;
    std::u16string filename;
};

// The standard MTP datasets the provider sends and reads itself (little-endian).
namespace MtpDatasets {

constexpr uint16_t formatUndefined = 0x3000;
constexpr uint16_t formatAssociation = 0x3001;

// An ObjectInfo dataset announcing a file, the other fields 0 and the dates empty.
std::vector<uint8_t> encodeObjectInfo(const ObjectInfo& info);
// Throws std::invalid_argument when the dataset ends early.
ObjectInfo decodeObjectInfo(const std::vector<uint8_t>& bytes);
// A 32-bit count and that many 32-bit values (storage ids, object handles).
std::vector<uint32_t> decodeUint32Array(const std::vector<uint8_t>& bytes);

// UTF-8 to UTF-16; throws std::invalid_argument for bytes that are not UTF-8.
std::u16string utf16(const std::string& utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8(const std::u16string& utf16);
// The MTP string that a dataset (a property value, say) starts with, as UTF-8; throws
// std::invalid_argument when it ends early.
std::string decodeString(const std::vector<uint8_t>& bytes);

}  // namespace MtpDatasets

}  // namespace kvusb
