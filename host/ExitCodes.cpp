#include "ExitCodes.h"

#include <cstdint>
#include <iterator>

namespace kvhost {

namespace {

// Indexed by the value of kv::Kavrin::Result.
constexpr const char* resultNames[] = {"ok",
                                       "general error",
                                       "illegal state",
                                       "network error",
                                       "device error",
                                       "boot loader unlocked",
                                       "illegal argument",
                                       "cancelled",
                                       "user not authorized"};

}  // namespace

std::string ExitCodes::describe(kv::Kavrin::Result result) {
    const auto value = static_cast<int32_t>(result);
    if (value < 0 || value >= static_cast<int32_t>(std::size(resultNames))) {
        return "result " + std::to_string(value);
    }
    return resultNames[value];
}

std::string ExitCodes::table() {
    std::string text;
    for (std::size_t value = 0; value < std::size(resultNames); ++value) {
        text += "  " + std::to_string(value) + "    " + resultNames[value] + "\n";
    }
    text += "  " + std::to_string(usage) + "   the command line cannot be run\n";
    text += "  " + std::to_string(hostFailure) +
            "   the host could not run the command (working directory, input file, "
            "simulated server, a USB phone it cannot open)\n";
    text += "  " + std::to_string(installationFailed) +
            "   the phone reported that its installation failed (its final result)\n";
    text += "  update --all exits with the code of the first phone in its table that failed\n";
    text += "  " + std::to_string(interrupted) + "  a second Ctrl-C ended kavrin at once\n";
    return text;
}

}  // namespace kvhost
