// A stored tracking document as an earlier run (or a broken disk) left it in "tracking", found by
// the resend pass of a new tracking service, which sends it to a server that accepts everything.
#include <cstddef>
#include <cstdint>

#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kvfuzz::FuzzDirectory directory;
    directory.holding("tracking/0b7a3c52-54c1-4c39-9a57-2f1f3d0e8a61.failed", data, size);
    const auto log = kvfuzz::discardingLog();
    kvfuzz::trackingService(directory.path(), log,
                            kvfuzz::httpServiceAnswering(log, kvtest::HttpAnswer()));
    return 0;
}
