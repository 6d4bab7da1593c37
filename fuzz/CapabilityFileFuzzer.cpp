// The default capability file a host hands over for a phone that cannot be identified.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzHarness.h"
#include "control/Exceptions.h"
#include "control/IdentifierCatalogue.h"
#include "server/ZuntService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto log = kvfuzz::discardingLog();
    const kvinternal::ZuntService service(log,
                                          kvfuzz::httpServiceAnswering(log, kvtest::HttpAnswer()),
                                          kvfuzz::imageQueryUrl, "fuzz", "1.0");
    kvinternal::IdentifierCollection identifiers;
    try {
        service.readDefaultCapabilityFile(data, size, identifiers);
    } catch (const kvinternal::IllegalStateException&) {
        // Not XML at all.
    }
    return 0;
}
