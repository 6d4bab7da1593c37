#pragma once

#include <cstdint>

namespace kvinternal {

// Outcome of an update phase as tracking reports it. Values outside the five names may arrive
// and are reported as "warning".
enum class TrackingStatus : int32_t {
    Ok = 0,
    Initiated = 1,
    Cancelled = 2,
    Warning = 3,
    Error = 4
};

}  // namespace kvinternal
