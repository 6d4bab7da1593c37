// The update agent's final status, as a legacy phone answers ReadFotaStatus. Only a refusing
// response code may fail the operation; a malformed report becomes the report's text.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzHarness.h"
#include "control/Exceptions.h"
#include "mtp/MtpService.h"
#include "server/InternalUpdateMetadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto log = kvfuzz::discardingLog();
    kvinternal::MtpService service(log, std::make_shared<kvfuzz::InputMtpProvider>(data, size),
                                   "fuzzed-phone", nullptr);
    const kvinternal::InternalUpdateMetadataV1 metadata({}, kvinternal::DeltaFile::none(log));
    std::shared_ptr<kv::Kavrin::FinalResult> result;
    try {
        service.getFinalResult(metadata, {}, result);
        kvfuzz::require(result != nullptr, "an accepted answer gave no final result");
    } catch (const kvinternal::IllegalStateException&) {
        // The phone refused to tell: the expected outcome of any other response code.
    }
    return 0;
}
