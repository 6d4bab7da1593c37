#include "control/CurrentProgress.h"

#include <utility>

namespace kvinternal {

void CurrentProgress::beginOperation() {
    std::lock_guard<std::mutex> guard(mutex_);
    operationCancelled_ = false;
}

void CurrentProgress::cancelOperation() {
    std::shared_ptr<ProgressHandler> handler;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        operationCancelled_ = true;
        handler = handler_.lock();
    }
    if (handler) {
        handler->cancel();
    }
}

std::shared_ptr<ProgressHandler> CurrentProgress::start(uint64_t total, Log log) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!handler_.expired()) {
        log.error("Another progress is already ongoing, overriding with a new one");
    }
    auto handler = std::make_shared<ProgressHandler>(total, std::move(log));
    if (operationCancelled_) {
        handler->cancel();
    }
    handler_ = handler;
    return handler;
}

std::weak_ptr<ProgressHandler> CurrentProgress::current() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return handler_;
}

bool CurrentProgress::isCancelled() const {
    std::shared_ptr<ProgressHandler> handler;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (operationCancelled_) {
            return true;
        }
        handler = handler_.lock();
    }
    return handler && handler->isCancelled();
}

}  // namespace kvinternal
