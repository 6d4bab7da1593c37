#pragma once

#include <cstdint>

namespace kvinternal {

// A provider that keeps announcing more of a body without delivering any would hold its reader
// forever; this many empty reads in a row count as a broken connection. One per body.
class EmptyReads {
public:
    static constexpr unsigned limit = 1000;

    // The outcome of one read; throws NetworkException (DataError) at the limit.
    void count(uint64_t bytesRead, bool moreData);

private:
    unsigned inARow_ = 0;
};

}  // namespace kvinternal
