#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvsoak {

enum class PhoneFault : uint8_t { None, Busy, Gone };

// What the worker of one update is told on its command line; the server's part of the update's
// faults stays with the driver, which answers every request.
struct WorkerPlan {
    std::string workingDirectory;
    // Which phone of the pool is attached (device id, IMEI).
    uint32_t phone = 0;
    PhoneFault phoneFault = PhoneFault::None;
    // A phone that goes away does so once this many bytes of the package reached it.
    uint64_t phoneGoneAfter = 0;
    // Files the worker writes stop growing here, as on a full disk; 0 for no limit.
    uint64_t fileSizeLimit = 0;
    // The worker's wall clock at its start, in milliseconds since 1970; retry waits move it on
    // instead of being slept.
    uint64_t clockStart = 0;

    // The arguments after "--worker".
    std::vector<std::string> arguments() const;
    // Throws std::invalid_argument for arguments `arguments` would not give.
    static WorkerPlan parse(const std::vector<std::string>& arguments);
};

}  // namespace kvsoak
