#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace kvsoak {

// What the working directory holds after an update, and the first thing wrong with it: a state
// file that does not parse or holds more entries than its cap, a stored tracking document that
// does not parse, a package file longer than its package, or more bytes in all than the package
// offered now, the state files' caps and the packages of earlier releases.
//
// Those packages are counted apart: the library never removes the package of a release that is
// no longer offered, downloaded in part or installed without deleting it, so they add up over
// the releases (an open fault, see the README's soak section).
struct DirectoryAudit {
    std::optional<std::string> breach;
    // The events of the resend store (see eventKey).
    std::set<std::string> storedEvents;
    uint64_t bytes = 0;
    uint64_t earlierPackages = 0;
    uint64_t earlierPackageBytes = 0;
};

// `packageName` and `packageSize`: the file of the package offered now.
DirectoryAudit auditWorkingDirectory(const std::string& directory, const std::string& packageName,
                                     uint64_t packageSize);

// The first file found in `directory` (where the worker runs, with its home and temporary
// folders), which must stay empty.
std::optional<std::string> firstFileIn(const std::string& directory);

}  // namespace kvsoak
