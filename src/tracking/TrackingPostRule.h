#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace kvinternal {

// How long a tracking event may hold the update it reports. While the tracking endpoint works,
// a post that fails is sent once more after 3 s; once a post has failed, every event is posted
// once, without waiting, and stored when it fails, until a post gets through again. So a dead
// endpoint adds seconds, not minutes, to an update, and one failure does not cost the retry
// for the rest of the session. One per session, shared by its tracking services.
class TrackingPostRule {
public:
    // The waits before sending a failed post again.
    std::vector<uint64_t> retryDelays() const;
    void recordFailure();
    void recordSuccess();

private:
    std::atomic<bool> endpointFailed_{false};
};

}  // namespace kvinternal
