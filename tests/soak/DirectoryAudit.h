#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace kvsoak {

// What the working directory holds after an update, and the first thing wrong with it: a state
// file that does not parse or holds more entries than its cap, a stored tracking document that
// does not parse, a package file longer than its package, a file that is neither a state file
// nor the package of a release offered in the last 30 days, or more bytes in all than those
// packages, the state files' caps and the stored events.
struct DirectoryAudit {
    std::optional<std::string> breach;
    // The events of the resend store, stored or written ahead of their post (see eventKey).
    std::set<std::string> storedEvents;
    uint64_t bytes = 0;
    uint64_t packages = 0;
    uint64_t packageBytes = 0;
};

// `packages`: the package files the directory may hold, by name, with their sizes.
DirectoryAudit auditWorkingDirectory(const std::string& directory,
                                     const std::map<std::string, uint64_t>& packages);

// The first file found in `directory` (where the worker runs, with its home and temporary
// folders), which must stay empty.
std::optional<std::string> firstFileIn(const std::string& directory);

}  // namespace kvsoak
