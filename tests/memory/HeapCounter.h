#pragma once

#include <cstddef>

namespace kvtest {

// Bytes allocated with operator new in this test program (which replaces it to count them).
struct HeapCounter {
    static std::size_t inUse();
    // Starts a new peak from the bytes in use now.
    static void resetPeak();
    static std::size_t peak();
};

}  // namespace kvtest
