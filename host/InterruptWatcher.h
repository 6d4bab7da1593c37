#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "Console.h"

namespace kvhost {

// Turns Ctrl-C (SIGINT) and SIGTERM into a call of `cancel` on a thread of its own, where the
// library may be called (a signal handler could not). A second one ends the process at once with
// exit code 130. POSIX only for now.
class InterruptWatcher {
public:
    // Run first in main, before any thread starts: every thread then leaves these signals to
    // the watcher. Also ignores SIGPIPE and SIGXFSZ, so that a connection closed by its peer or
    // a file grown to the size limit (`ulimit -f`) fails a write instead of ending the process.
    static void prepareProcess();

    InterruptWatcher(std::shared_ptr<Console> console, std::function<void()> cancel);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

private:
    void run();

    const std::shared_ptr<Console> console_;
    const std::function<void()> cancel_;
    std::thread thread_;
};

}  // namespace kvhost
