#include "ReadGate.h"

namespace kvtest {

void ReadGate::waitUntilBlocked() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_ > 0; });
}

void ReadGate::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

bool ReadGate::pass(const std::function<bool()>& stopped) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_ || stopped(); });
    --waiting_;
    return open_;
}

void ReadGate::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

}  // namespace kvtest
