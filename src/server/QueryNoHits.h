#pragma once

#include "common/Log.h"
#include "control/Exceptions.h"

namespace kvinternal {

// A query server that finds the request bad (400) knows nothing about the phone: the search has
// no hits rather than failing. True, after logging so, for such an exception.
inline bool isNoHits(const NetworkException& error, const Log& log) {
    if (error.code() != 400) {
        return false;
    }
    log.info(
        "Server reported bad request. This is regarded as no hits, so we won't fail the search for "
        "updates.");
    return true;
}

}  // namespace kvinternal
