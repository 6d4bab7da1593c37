#pragma once

#include <string>

#include "common/Log.h"

// The phone's IMEI, from its encrypted form (Base64 of an AES-128 block) or its plain digits,
// checked or completed with the Luhn check digit. Bad input never throws: it gives empty text.
namespace kvinternal {

// Removes space, tab, line feed, vertical tab, form feed and carriage return at both ends.
void trimSpaces(std::string& text);

// The decimal digits among the first 15 bytes of the decrypted block; empty when the Base64
// text decodes to more than one block.
std::string decryptImei(const std::string& text);

// 14 digits gain their check digit; 15 digits are returned when the last one is the right check
// digit. Anything else gives empty text.
std::string completeImei(const std::string& text);

// The IMEI an identifier value holds, decrypted or plain; empty when it holds none.
std::string imeiFromIdentifier(std::string text);

// The IMEI from the phone's two IMEI identifiers, the encrypted one first.
std::string retrieveImei(const std::string& encryptedImei, const std::string& unencryptedImei,
                         const Log& log);

}  // namespace kvinternal
