// An identifier value and the rooting status, as the phone answers GetVendorProperty. A phone
// that answers nonsense must give an empty value (or "not rooted"), never a failure.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzHarness.h"
#include "control/IdentifierCatalogue.h"
#include "mtp/MtpService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvinternal::MtpService service(kvfuzz::discardingLog(),
                                   std::make_shared<kvfuzz::InputMtpProvider>(data, size),
                                   "fuzzed-phone", nullptr);
    service.getIdentifier(kvinternal::IdentifierId::Model);
    service.isDeviceRooted();
    return 0;
}
