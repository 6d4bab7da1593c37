// "deltafiles.cache" as an earlier run (or a broken disk) left it, loaded by its cache. Whatever
// the file holds, the cache opens: a file it cannot use is deleted.
#include <cstddef>
#include <cstdint>

#include "FuzzHarness.h"
#include "store/DeltaFileCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kvfuzz::FuzzDirectory directory;
    directory.holding("deltafiles.cache", data, size);
    const kvinternal::DeltaFileCache cache(kvfuzz::discardingLog(), directory.path());
    return 0;
}
