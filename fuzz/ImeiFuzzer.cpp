// The IMEI derived from an identifier value (Base64 of an encrypted block, or plain digits): it
// is empty or 15 digits whose last one is their check digit.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>

#include "FuzzHarness.h"
#include "mtp/Imei.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string imei = kvinternal::imeiFromIdentifier(kvfuzz::text(data, size));
    if (imei.empty()) {
        return 0;
    }
    const bool digitsOnly = std::all_of(imei.begin(), imei.end(), [](unsigned char character) {
        return std::isdigit(character) != 0;
    });
    kvfuzz::require(imei.size() == 15 && digitsOnly, "an IMEI that is not 15 digits");
    kvfuzz::require(kvinternal::completeImei(imei) == imei, "an IMEI with a wrong check digit");
    return 0;
}
