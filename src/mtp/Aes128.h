#pragma once

#include <array>
#include <cstdint>

namespace kvinternal {

// AES-128 as FIPS-197 defines it, one block at a time, decryption only: all the library needs
// to read the phone's encrypted IMEI.
class Aes128 {
public:
    using Key = std::array<uint8_t, 16>;
    using Block = std::array<uint8_t, 16>;

    explicit Aes128(const Key& key);

    Block decryptBlock(const Block& cipherText) const;

private:
    static constexpr int rounds = 10;
    // Round key r occupies bytes 16 * r to 16 * r + 15.
    std::array<uint8_t, 16 * (rounds + 1)> roundKeys_{};
};

}  // namespace kvinternal
