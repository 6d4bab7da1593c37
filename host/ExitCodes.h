#pragma once

#include <string>

#include "kavrin/Kavrin.h"

namespace kvhost {

// kavrin's exit codes: the value of the library's Result for the step that ended the command
// (0 to 8), and four of the host's own. `update --all` exits with the code of the first phone of
// its table that failed.
class ExitCodes {
public:
    // The command line cannot be run.
    static constexpr int usage = 64;
    // The host could not run the command: working directory, input file, simulated server, a
    // USB phone it cannot open.
    static constexpr int hostFailure = 70;
    // The phone installed and reported that its installation failed (its final result).
    static constexpr int installationFailed = 71;
    // A second Ctrl-C ended the process at once.
    static constexpr int interrupted = 130;

    static int of(kv::Kavrin::Result result) { return static_cast<int>(result); }
    // "network error", or "result N" for a value the library does not define.
    static std::string describe(kv::Kavrin::Result result);
    // The list of every code, for the help text.
    static std::string table();
};

}  // namespace kvhost
