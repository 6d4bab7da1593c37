#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kvinternal {

// When a request that failed is sent again, and after which wait. One rule per request (or per
// package download), so that every request sent is counted in one place: a request is asked at
// most once more than there are delays since the last whole piece of data arrived.
class RetryRule {
public:
    // `delays` in milliseconds; `piece` bytes of data arriving count as progress.
    explicit RetryRule(std::vector<uint64_t> delays, uint64_t piece = 0);

    // A request is about to be sent.
    void countRequest();
    // The answer's verdict: whether asking again may mend what failed.
    void setRetryable(bool retryable);
    // Progress: body bytes beyond any this download had before. Once a whole piece of progress
    // has been made since the count last started, the count starts afresh from the request it
    // came in; less progress, however often, never does, nor do bytes that arrive again.
    void creditData(uint64_t bytes);

    // The wait before the next request, or nothing when the failure is final.
    std::optional<uint64_t> nextDelay() const;

private:
    std::vector<uint64_t> delays_;
    uint64_t piece_;
    std::size_t requests_ = 0;
    uint64_t bytesSinceCount_ = 0;
    bool retryable_ = false;
};

}  // namespace kvinternal
