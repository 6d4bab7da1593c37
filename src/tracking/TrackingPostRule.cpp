#include "tracking/TrackingPostRule.h"

namespace kvinternal {

namespace {

constexpr uint64_t firstRetryDelay = 3000;

}  // namespace

std::vector<uint64_t> TrackingPostRule::retryDelays() const {
    if (endpointFailed_) {
        return {};
    }
    return {firstRetryDelay};
}

void TrackingPostRule::recordFailure() {
    endpointFailed_ = true;
}

void TrackingPostRule::recordSuccess() {
    endpointFailed_ = false;
}

}  // namespace kvinternal
