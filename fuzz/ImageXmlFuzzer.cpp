// The image-update endpoint's XML answer, through the ZUNT service into image update records.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzHarness.h"
#include "control/Exceptions.h"
#include "control/IdentifierCatalogue.h"
#include "server/ZuntService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto log = kvfuzz::discardingLog();
    const auto http = kvfuzz::httpServiceAnswering(
        log, kvtest::HttpAnswer::withBody(kvfuzz::text(data, size), "application/xml"));
    const kvinternal::ZuntService service(log, http, kvfuzz::imageQueryUrl, "fuzz", "1.0");
    kvinternal::UpdateRegistry records;
    try {
        service.queryImageUpdates({{kvinternal::IdentifierId::HwType, "PM-1001"}}, records);
    } catch (const kvinternal::IllegalStateException&) {
        // Not XML at all.
    }
    return 0;
}
