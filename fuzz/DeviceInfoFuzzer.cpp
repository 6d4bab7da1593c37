// The DeviceInfo dataset, as the phone answers GetDeviceInfo.
#include <cstddef>
#include <cstdint>

#include "control/Exceptions.h"
#include "mtp/MtpCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        kvinternal::parseDeviceInfo(data, size);
    } catch (const kvinternal::IllegalArgumentException&) {
        // A malformed dataset is refused: the expected outcome.
    }
    return 0;
}
