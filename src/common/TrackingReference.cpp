#include "common/TrackingReference.h"

#include <utility>

namespace kvinternal {

void TrackingReference::set(std::weak_ptr<TrackingService> tracking) {
    tracking_ = std::move(tracking);
}

std::shared_ptr<TrackingService> TrackingReference::get(const Log& log) const {
    if (tracking_.expired()) {
        log.error("There's no active tracking service.");
        return nullptr;
    }
    auto tracking = tracking_.lock();
    if (tracking) {
        log.info("Getting a reference to the tracking service");
    } else {
        // Another thread let go of the last owner after the check above.
        log.info("Tracking service destructed prior to sending tracking data");
    }
    return tracking;
}

}  // namespace kvinternal
