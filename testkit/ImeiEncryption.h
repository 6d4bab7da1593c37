#pragma once

#include <string>

#include "ReferenceCrypto.h"

// The phone's side of the IMEI protection, built on the reference AES as an independent one.
namespace kvtest {

// The "Encrypted imei" a phone reports for these digits: the digits zero-filled to one block,
// encrypted with the build's IMEI key, in Base64.
std::string encryptImei(const std::string& digits);

}  // namespace kvtest
