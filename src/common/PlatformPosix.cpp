#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/PlatformOs.h"

namespace kvinternal::platform::os {

namespace {

// One read or write at most this large: POSIX leaves larger counts to the implementation.
constexpr uint64_t largestTransfer = 1u << 30;

int flagsFor(OpenMode mode) {
    constexpr int common = O_NOFOLLOW | O_CLOEXEC;
    switch (mode) {
        case OpenMode::Read:
            return O_RDONLY | common;
        case OpenMode::Append:
            return O_WRONLY | O_CREAT | O_APPEND | common;
        case OpenMode::CreateNew:
            return O_WRONLY | O_CREAT | O_EXCL | common;
    }
    return O_RDONLY | common;
}

int descriptor(FileHandle file) {
    return static_cast<int>(file);
}

bool isRegularFile(int descriptor) {
    struct stat status {};
    return ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

FileHandle openFile(const std::filesystem::path& path, OpenMode mode) {
    int opened = -1;
    do {
        opened = ::open(path.c_str(), flagsFor(mode), 0644);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) {
        return noFile;
    }
    // A FIFO or a device would block or never end; only regular files hold packages and caches.
    if (!isRegularFile(opened)) {
        ::close(opened);
        return noFile;
    }
    return opened;
}

bool writeFile(FileHandle file, const uint8_t* data, uint64_t count) {
    while (count > 0) {
        const ssize_t written = ::write(descriptor(file), data, std::min(count, largestTransfer));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        count -= static_cast<uint64_t>(written);
    }
    return true;
}

std::optional<uint64_t> readFile(FileHandle file, uint8_t* data, uint64_t count) {
    for (;;) {
        const ssize_t got = ::read(descriptor(file), data, std::min(count, largestTransfer));
        if (got >= 0) {
            return static_cast<uint64_t>(got);
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

std::optional<uint64_t> fileSize(FileHandle file) {
    struct stat status {};
    if (::fstat(descriptor(file), &status) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(status.st_size);
}

bool syncFile(FileHandle file) {
    return ::fsync(descriptor(file)) == 0;
}

bool closeFile(FileHandle file) {
    return ::close(descriptor(file)) == 0;
}

void syncDirectory(const std::filesystem::path& directory) {
    const int opened = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened >= 0) {
        ::fsync(opened);
        ::close(opened);
    }
}

}  // namespace kvinternal::platform::os
