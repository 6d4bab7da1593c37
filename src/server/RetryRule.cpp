#include "server/RetryRule.h"

#include <utility>

namespace kvinternal {

RetryRule::RetryRule(std::vector<uint64_t> delays, uint64_t piece)
    : delays_(std::move(delays)), piece_(piece) {}

void RetryRule::countRequest() {
    ++requests_;
}

void RetryRule::setRetryable(bool retryable) {
    retryable_ = retryable;
}

void RetryRule::creditData(uint64_t bytes) {
    bytesSinceCount_ += bytes;
    if (piece_ > 0 && bytesSinceCount_ >= piece_) {
        requests_ = 1;
        bytesSinceCount_ = 0;
    }
}

std::optional<uint64_t> RetryRule::nextDelay() const {
    if (!retryable_ || requests_ == 0 || requests_ > delays_.size()) {
        return std::nullopt;
    }
    return delays_[requests_ - 1];
}

}  // namespace kvinternal
