#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "kavrin/Kavrin.h"

namespace kvhost {

// Ctrl-C for updates on one or several threads. The library's Cancel reaches only an operation
// that runs, so the switch stays thrown: steps that have not started yet do not start, and a
// progress bar cancels again the operation it watches if the first Cancel came just before it.
class CancelSwitch {
public:
    // Both before any thread that may call `cancel` starts.
    void add(kv::Kavrin& kavrin);
    // Something else that `cancel` ends: a USB phone being opened before its session.
    void add(std::function<void()> cancel);
    // Cancels everything added.
    void cancel();
    bool cancelled() const { return cancelled_; }

private:
    std::atomic<bool> cancelled_{false};
    std::vector<std::function<void()>> cancels_;
};

}  // namespace kvhost
