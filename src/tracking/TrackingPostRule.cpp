#include "tracking/TrackingPostRule.h"

#include <algorithm>

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

void TrackingPostRule::startOperation() {
    resendsLeft_ = resendsPerOperation;
}

std::size_t TrackingPostRule::resendsLeft() const {
    return resendsLeft_;
}

void TrackingPostRule::countResends(std::size_t tried) {
    resendsLeft_ -= std::min(tried, resendsLeft_);
}

}  // namespace kvinternal
