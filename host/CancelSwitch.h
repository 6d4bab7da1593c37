#pragma once

#include <atomic>
#include <vector>

#include "kavrin/Kavrin.h"

namespace kvhost {

// Ctrl-C for updates on one or several threads. The library's Cancel reaches only an operation
// that runs, so the switch stays thrown: steps that have not started yet do not start, and a
// progress bar cancels again the operation it watches if the first Cancel came just before it.
class CancelSwitch {
public:
    // Before any thread that may call `cancel` starts.
    void add(kv::Kavrin& kavrin);
    // Cancels every library object added.
    void cancel();
    bool cancelled() const { return cancelled_; }

private:
    std::atomic<bool> cancelled_{false};
    std::vector<kv::Kavrin*> objects_;
};

}  // namespace kvhost
