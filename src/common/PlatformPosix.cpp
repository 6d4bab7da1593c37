#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "common/Platform.h"
#include "common/PlatformOs.h"

namespace kvinternal::platform {

std::filesystem::path toPath(const std::string& utf8Path) {
    return std::filesystem::u8path(utf8Path);
}

bool isFileSystemRoot(const std::string& utf8Path) {
    return utf8Path.find_first_not_of('/') == std::string::npos;
}

void createDirectory(const std::string& utf8Path) {
    std::error_code ignored;
    std::filesystem::create_directory(toPath(utf8Path), ignored);
}

FileKind fileKind(const std::string& utf8Path) {
    std::error_code error;
    switch (std::filesystem::symlink_status(toPath(utf8Path), error).type()) {
        case std::filesystem::file_type::not_found:
        case std::filesystem::file_type::none:
            return FileKind::Missing;
        case std::filesystem::file_type::regular:
            return FileKind::Regular;
        case std::filesystem::file_type::directory:
            return FileKind::Directory;
        default:
            return FileKind::Other;
    }
}

std::optional<uint64_t> fileSize(const std::string& utf8Path) {
    const auto path = toPath(utf8Path);
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error))) {
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(path, error);
    if (error) {
        return std::nullopt;
    }
    return size;
}

std::string newUuid() {
    static std::mutex generatorMutex;
    static std::random_device source;
    std::array<uint8_t, 16> bytes{};
    {
        std::lock_guard<std::mutex> lock(generatorMutex);
        for (size_t i = 0; i < bytes.size(); i += 4) {
            const uint32_t word = source();
            for (size_t j = 0; j < 4; ++j) {
                bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
            }
        }
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

std::chrono::steady_clock::time_point steadyNow() {
    return std::chrono::steady_clock::now();
}

}  // namespace kvinternal::platform

namespace kvinternal::platform::os {

namespace {

// One read or write at most this large: POSIX leaves larger counts to the implementation.
constexpr uint64_t largestTransfer = 1u << 30;

int flagsFor(OpenMode mode) {
    // Without O_NONBLOCK, opening a FIFO waits for the other end, for ever if none comes.
    constexpr int common = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
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
    if (!isRegularFile(opened) || ::fcntl(opened, F_SETFL, flagsFor(mode) & ~O_NONBLOCK) != 0) {
        ::close(opened);
        return noFile;
    }
    return opened;
}

FileHandle openLockFile(const std::filesystem::path& path) {
    int opened = -1;
    do {
        opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (opened < 0 && errno == EINTR);
    if (opened >= 0 && !isRegularFile(opened)) {
        ::close(opened);
        return noFile;
    }
    return opened;
}

bool lockFile(FileHandle file, LockWait wait) {
    // flock, not fcntl: its locks belong to the open file, so two objects of one process that
    // open the same lock file exclude each other as two processes do.
    const int operation = wait == LockWait::Wait ? LOCK_EX : LOCK_EX | LOCK_NB;
    int result = -1;
    do {
        result = ::flock(descriptor(file), operation);
    } while (result != 0 && errno == EINTR);
    return result == 0;
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

bool deleteRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (error || std::filesystem::is_directory(status)) {
        return false;
    }
    return std::filesystem::remove(path, error);
}

bool listRegularFiles(const std::filesystem::path& directory, const std::string& /*suffix*/,
                      std::vector<ListedFile>& files) {
    std::error_code error;
    std::filesystem::directory_iterator it(directory, error);
    if (error) {
        return error == std::errc::no_such_file_or_directory;
    }
    for (const std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->symlink_status(ignored).type() == std::filesystem::file_type::regular) {
            const auto written = it->last_write_time(ignored);
            files.push_back({it->path().filename().u8string(),
                             static_cast<int64_t>(written.time_since_epoch().count())});
        }
    }
    return !error;
}

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

void syncDirectory(const std::filesystem::path& directory) {
    const int opened = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened >= 0) {
        ::fsync(opened);
        ::close(opened);
    }
}

uint64_t systemTimeMilliseconds() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

void sleepFor(uint64_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kvinternal::platform::os
