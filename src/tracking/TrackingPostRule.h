#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvinternal {

// How long a tracking event may hold the update it reports. While the tracking endpoint works,
// a post that fails is sent once more after 3 s; once a post has failed, every event is posted
// once, without waiting, and stored when it fails, until a post gets through again. So a dead
// endpoint adds seconds, not minutes, to an update, and one failure does not cost the retry
// for the rest of the session. One per session, shared by its tracking services.
// Stored documents are sent again at most `resendsPerOperation` times in one operation of the
// host, the oldest first, so that thousands of them never hold up an update; the rest wait for
// the next operation.
class TrackingPostRule {
public:
    static constexpr std::size_t resendsPerOperation = 50;

    // The waits before sending a failed post again.
    std::vector<uint64_t> retryDelays() const;
    void recordFailure();
    void recordSuccess();

    // On the operation thread only.
    void startOperation();
    std::size_t resendsLeft() const;
    void countResends(std::size_t tried);

private:
    std::atomic<bool> endpointFailed_{false};
    std::size_t resendsLeft_ = resendsPerOperation;
};

}  // namespace kvinternal
