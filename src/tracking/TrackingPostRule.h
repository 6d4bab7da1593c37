#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace kvinternal {

// How long a tracking event may hold the update it reports. Until the tracking endpoint has
// failed in a session, a post that fails is sent once more after 3 s; after that every event
// is posted once, without waiting, and stored when it fails. So a dead endpoint adds seconds,
// not minutes, to an update. One per session, shared by its tracking services.
class TrackingPostRule {
public:
    // The waits before sending a failed post again.
    std::vector<uint64_t> retryDelays() const;
    void recordFailure();

private:
    std::atomic<bool> endpointFailed_{false};
};

}  // namespace kvinternal
