#pragma once

#include <memory>

#include "common/Log.h"

namespace kvinternal {

class TrackingService;

// The weak back reference that a service keeps to the session's tracking service, so that the
// two never own each other. Set and read on the operation thread.
class TrackingReference {
public:
    void set(std::weak_ptr<TrackingService> tracking);
    // The tracking service if it still exists; logs which case it met.
    std::shared_ptr<TrackingService> get(const Log& log) const;

private:
    std::weak_ptr<TrackingService> tracking_;
};

}  // namespace kvinternal
