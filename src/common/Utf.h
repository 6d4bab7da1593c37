#pragma once

#include <string>

namespace kvinternal {

// UTF-8 <-> UTF-16 for MTP text. Malformed input never fails: each byte or code unit that does
// not form a valid character becomes U+FFFD.
std::u16string utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::u16string& text);

// Whether `text` is well-formed UTF-8 (no stray, overlong or truncated sequence, no surrogate).
bool isValidUtf8(const std::string& text);

}  // namespace kvinternal
