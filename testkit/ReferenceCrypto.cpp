#include "ReferenceCrypto.h"

namespace kvtest {

std::string ReferenceSha256::finishHex() {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : finish()) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string referenceSha256Hex(const std::string& bytes) {
    ReferenceSha256 sha256;
    sha256.add(bytes.data(), bytes.size());
    return sha256.finishHex();
}

}  // namespace kvtest
