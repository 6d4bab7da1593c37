#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/Log.h"

namespace kvinternal {

// How far the running operation has come, in work units against a total fixed at creation, and
// the host's request to cancel it. Operations start one through their session's
// `CurrentProgress`, which names it for `Cancel` and `GetProgress` on the host's other thread.
class ProgressHandler {
public:
    ProgressHandler(uint64_t total, Log log);

    void addWork(uint64_t units);
    // 0.0 to 1.0, rounded to two decimals; 1.0 once cancelled.
    double fraction() const;
    bool isCancelled() const;
    void cancel();

private:
    mutable std::mutex lock_;
    Log log_;
    bool cancelled_ = false;
    uint64_t worked_ = 0;
    uint64_t total_;
};

}  // namespace kvinternal
