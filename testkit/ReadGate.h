#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace kvtest {

// Holds the body reads of a slow answer until the test opens it, so that a cancellation or a
// progress check happens at a known point without sleeping. A front end waits in `pass`; its
// cancellation stops the wait through `stopped` and `wake`.
class ReadGate {
public:
    // Blocks until a read waits at the gate.
    void waitUntilBlocked();
    // Opens the gate for good: waiting and later reads go through.
    void release();

    // Blocks until the gate is open (true) or `stopped` holds (false). `stopped` is checked
    // at entry and after each `wake`.
    bool pass(const std::function<bool()>& stopped);
    // Makes a waiting `pass` check `stopped` again; call it after making it true.
    void wake();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    std::size_t waiting_ = 0;
};

}  // namespace kvtest
