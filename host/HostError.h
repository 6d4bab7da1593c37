#pragma once

#include <stdexcept>

namespace kvhost {

// The host cannot run the command for a reason of its own (working directory, input file,
// simulated server); its text is the one-line reason.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kvhost
