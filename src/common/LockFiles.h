#pragma once

#include <optional>
#include <string>

#include "common/Log.h"
#include "common/Platform.h"

namespace kvinternal::lockfiles {

// The lock files of the sessions that share a working directory, in its folder "locks": one for
// the saves of the state files, one for the resending of stored tracking documents, and one
// named after each package file for its download.
inline constexpr char stateFiles[] = "state";
inline constexpr char trackingResends[] = "tracking";

// The lock file `name` of the working directory, opened (not yet locked). Nothing, and one
// error line, when the folder "locks" is a link or no folder or the file cannot be opened: the
// caller then goes on without it, as a session alone in its working directory may.
std::optional<platform::FileLock> open(const std::string& workingDirectory, const std::string& name,
                                       const Log& log);

}  // namespace kvinternal::lockfiles
