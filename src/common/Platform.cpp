#include "common/Platform.h"

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "common/PlatformOs.h"

namespace kvinternal::platform {

namespace {

std::mutex hooksMutex;
Hooks installedHooks;

Hooks currentHooks() {
    std::lock_guard<std::mutex> lock(hooksMutex);
    return installedHooks;
}

bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (auto hook = currentHooks().rename) {
        return hook(from, to);
    }
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

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

std::vector<std::string> listFilesWithSuffix(const std::string& utf8Directory,
                                             const std::string& suffix) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(toPath(utf8Directory), error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().u8string();
        const bool matches = name.size() > suffix.size() &&
                             name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (matches && it->is_regular_file(error)) {
            names.push_back(name);
        }
    }
    return names;
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

std::optional<std::string> readFile(const std::string& utf8Path) {
    const auto path = toPath(utf8Path);
    if (!isRegularFile(path)) {
        return std::nullopt;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    std::string content{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (stream.bad()) {
        return std::nullopt;
    }
    return content;
}

bool writeFileAtomically(const std::string& utf8Path, const std::string& content) {
    const auto target = toPath(utf8Path);
    auto temporary = target;
    temporary += ".tmp";
    if (!os::writeAndSync(temporary, content) || !renameFile(temporary, target)) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    os::syncDirectory(target.has_parent_path() ? target.parent_path() : ".");
    return true;
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

uint64_t currentTimeMilliseconds() {
    if (auto hook = currentHooks().wallClock) {
        return hook();
    }
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

std::chrono::steady_clock::time_point steadyNow() {
    return std::chrono::steady_clock::now();
}

void sleepMilliseconds(uint64_t milliseconds) {
    if (auto hook = currentHooks().sleep) {
        hook(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void setHooks(Hooks hooks) {
    std::lock_guard<std::mutex> lock(hooksMutex);
    installedHooks = std::move(hooks);
}

}  // namespace kvinternal::platform
