#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/PlatformOs.h"

namespace kvinternal::platform::os {

namespace {

bool writeAll(int descriptor, const std::string& content) {
    const char* next = content.data();
    size_t left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool writeAndSync(const std::filesystem::path& path, const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return false;
    }
    const bool written = writeAll(descriptor, content) && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    return written && closed;
}

void syncDirectory(const std::filesystem::path& directory) {
    const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

}  // namespace kvinternal::platform::os
