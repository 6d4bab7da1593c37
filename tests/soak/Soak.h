#pragma once

#include <cstdint>
#include <string>

namespace kvsoak {

struct SoakOptions {
    uint64_t updates = 1000;
    uint64_t seed = 0;
    // The working directory every update shares; empty for a fresh one.
    std::string workingDirectory;
    // This program, started again as each update's worker.
    std::string program;
};

// Runs the updates one after another, each in a worker process, checks after each that nothing
// was lost, leaked or written outside, and prints the figures. Returns 0 when every check
// passed, 1 at the first breach (printed with the seed and the update's number).
int runSoak(const SoakOptions& options);

}  // namespace kvsoak
