#include "common/LockFiles.h"

#include "common/StateFileNames.h"

namespace kvinternal::lockfiles {

std::optional<platform::FileLock> open(const std::string& workingDirectory, const std::string& name,
                                       const Log& log) {
    const std::string directory = workingDirectory + "/" + statefiles::locksDirectory;
    platform::createDirectory(directory);
    // A link would put the lock files, created on demand, outside the working directory.
    if (platform::fileKind(directory) != platform::FileKind::Directory) {
        log.error(
            "Locks folder is a link or no folder, sessions that share the working "
            "directory are not kept apart: " +
            directory);
        return std::nullopt;
    }
    auto lock = platform::FileLock::open(directory + "/" + name);
    if (!lock) {
        log.error("Could not open lock file: " + directory + "/" + name);
    }
    return lock;
}

}  // namespace kvinternal::lockfiles
