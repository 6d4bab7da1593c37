#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace kvsoak {

// What the working directory holds after an update, and the first thing wrong with it: a state
// file that does not parse or holds more entries than its cap, a stored tracking document that
// does not parse, packages beyond the largest one offered, or more bytes in all than the largest
// package and the state files' caps.
struct DirectoryAudit {
    std::optional<std::string> breach;
    // The events of the resend store (see eventKey).
    std::set<std::string> storedEvents;
    uint64_t bytes = 0;
};

DirectoryAudit auditWorkingDirectory(const std::string& directory, uint64_t largestPackage);

// The first file found in `directory` (where the worker runs, with its home and temporary
// folders), which must stay empty.
std::optional<std::string> firstFileIn(const std::string& directory);

}  // namespace kvsoak
