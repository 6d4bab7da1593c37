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
    // construction unwinds the stack.
    void logDestruction() const;

private:
    Log log_;
    std::string name_;
    int uncaughtAtConstruction_;
};

}  // namespace kvinternal
