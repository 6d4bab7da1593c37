#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "common/Platform.h"
#include "common/PlatformOs.h"

namespace kvinternal::platform {

namespace {

bool isRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

}  // namespace

std::filesystem::path toPath(const std::string& utf8Path) {
    return std::filesystem::u8path(utf8Path);
}

void createDirectory(const std::string& utf8Path) {
    std::error_code ignored;
    std::filesystem::create_directory(toPath(utf8Path), ignored);
}

bool deleteFile(const std::string& utf8Path) {
    const auto path = toPath(utf8Path);
    if (!isRegularFile(path)) {
        return false;
    }
    std::error_code error;
    return std::filesystem::remove(path, error);
}

std::optional<uint64_t> fileSize(const std::string& utf8Path) {
    const auto path = toPath(utf8Path);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || !isRegularFile(path)) {
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

std::vector<std::string> regularFileNames(const std::filesystem::path& directory,
                                          const std::string& /*suffix*/) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error)) {
            names.push_back(it->path().filename().u8string());
        }
    }
    return names;
}

bool writeAndSync(const std::filesystem::path& path, const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return false;
    }
    const bool written = writeAll(descriptor, content) && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    return written && closed;
}

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

void syncDirectory(const std::filesystem::path& directory) {
    const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
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
