#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/Log.h"
#include "control/ProgressHandler.h"

namespace kvinternal {

// Names the progress handler of the operation that runs now in one session, so that `Cancel`
// and `GetProgress` on the host's other thread find it while it lives, and remembers whether the
// host cancelled that operation: a cancel belongs to the whole operation, whichever call it
// lands in, also one that has no handler. One per session: two `kv::Kavrin` objects never reach
// each other's operations.
class CurrentProgress {
public:
    // An operation starts: a cancel that came before it is not its own.
    void beginOperation();
    // The host cancels the operation that runs now, and its current handler.
    void cancelOperation();

    // Creates a handler and makes it current, already cancelled when its operation is; logs an
    // error when it overrides a live one. The caller holds the only strong reference, so the
    // handler ends with its operation.
    std::shared_ptr<ProgressHandler> start(uint64_t total, Log log);
    // The current handler, possibly expired.
    std::weak_ptr<ProgressHandler> current() const;
    // Whether the host cancelled the operation that runs now.
    bool isCancelled() const;

private:
    mutable std::mutex mutex_;
    std::weak_ptr<ProgressHandler> handler_;
    bool operationCancelled_ = false;
};

}  // namespace kvinternal
