// The MTP string, long string and 16-bit array readers on bytes from the phone. The first byte
// picks the reader; the rest is the dataset, and exactly that much may be read.
#include <cstddef>
#include <cstdint>

#include "FuzzHarness.h"
#include "control/Exceptions.h"
#include "mtp/MtpCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t* const dataset = data + 1;
    const uint64_t bound = size - 1;
    const uint8_t* cursor = dataset;
    try {
        switch (data[0] % 3) {
            case 0:
                kvinternal::readMtpString(cursor, bound, false);
                break;
            case 1:
                kvinternal::readMtpString(cursor, bound, true);
                break;
            default:
                kvinternal::readArrayOfUint16(cursor, bound);
                break;
        }
        kvfuzz::require(cursor <= dataset + bound, "a reader consumed more than its bound");
    } catch (const kvinternal::IllegalArgumentException&) {
        // A dataset that does not fit its bound is refused: the expected outcome.
    }
    return 0;
}
