#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kvhost {

// Server public keys in the form libcurl pins them (CURLOPT_PINNEDPUBLICKEY).
class PublicKeyPins {
public:
    // "sha256//" + the Base64 of the SHA-256 of each DER key, joined by ";". The keys are DER
    // SubjectPublicKeyInfo as hexadecimal digits; nothing when one is not (odd length, other
    // characters, empty).
    static std::optional<std::string> curlPins(const std::vector<std::string>& hexKeys);
};

}  // namespace kvhost
