#pragma once

#include <string>

#include "common/Log.h"

namespace kvinternal {

// The construction and destruction lines every service writes ("Constructor X", "Destructor X",
// "Destructor X (stack unwinding)"). A service keeps one as a member and calls
// `logDestruction` first thing in its destructor, so the line precedes whatever the destructor
// does next (saving a cache, say).
class Lifetime {
public:
    enum class Announce { Yes, No };

    Lifetime(Log log, std::string name, Announce announce = Announce::Yes);

    // Verbose information normally; an error while an exception that was not in flight at
    // construction unwinds the stack. Never throws, whatever the host's sink does.
    void logDestruction() const noexcept;

private:
    Log log_;
    std::string name_;
    int uncaughtAtConstruction_;
};

// Runs the rest of a destructor's work (saving a cache, closing a file), which logs: a host
// sink that throws then loses that work instead of ending the process.
template <typename Work>
void inDestructor(const Work& work) noexcept {
    try {
        work();
    } catch (...) {
        // Only the host's sink throws here; the line and what followed it are lost.
    }
}

}  // namespace kvinternal
