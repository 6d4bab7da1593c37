#include "control/CurrentProgress.h"

#include <utility>

namespace kvinternal {

std::shared_ptr<ProgressHandler> CurrentProgress::start(uint64_t total, Log log) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!handler_.expired()) {
        log.error("Another progress is already ongoing, overriding with a new one");
    }
    auto handler = std::make_shared<ProgressHandler>(total, std::move(log));
    handler_ = handler;
    return handler;
}

std::weak_ptr<ProgressHandler> CurrentProgress::current() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return handler_;
}

bool CurrentProgress::isCancelled() const {
    const auto handler = current().lock();
    return handler && handler->isCancelled();
}

}  // namespace kvinternal
