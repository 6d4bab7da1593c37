#pragma once

#include <array>
#include <cstdint>
#include <string>

// The phone's side of the IMEI protection, built on OpenSSL as an independent reference.
namespace kvtest {

using AesBlock = std::array<uint8_t, 16>;

// One AES-128 block encrypted by OpenSSL.
AesBlock referenceAes128Encrypt(const AesBlock& key, const AesBlock& plainText);

// The "Encrypted imei" a phone reports for these digits: the digits zero-filled to one block,
// encrypted with the build's IMEI key, in Base64.
std::string encryptImei(const std::string& digits);

}  // namespace kvtest
