#include "common/Platform.h"

#include <array>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include "common/PlatformOs.h"
#include "common/StateFileNames.h"

namespace kvinternal::platform {

namespace {

std::mutex hooksMutex;
Hooks hooksInstalled;

Hooks currentHooks() {
    std::lock_guard<std::mutex> lock(hooksMutex);
    return hooksInstalled;
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

os::OpenMode osMode(File::Mode mode) {
    switch (mode) {
        case File::Mode::Read:
            return os::OpenMode::Read;
        case File::Mode::Append:
            return os::OpenMode::Append;
        case File::Mode::CreateNew:
            return os::OpenMode::CreateNew;
    }
    return os::OpenMode::Read;
}

// Writes `content` to a file created afresh at `path` and flushes it to the storage device.
bool writeNewFileAndSync(const std::string& utf8Path, const std::string& content) {
    std::error_code ignored;
    std::filesystem::remove(toPath(utf8Path), ignored);
    auto file = File::open(utf8Path, File::Mode::CreateNew);
    if (!file) {
        return false;
    }
    const bool written =
        file->write(reinterpret_cast<const uint8_t*>(content.data()), content.size()) &&
        file->sync();
    return file->close() && written;
}

}  // namespace

std::optional<File> File::open(const std::string& utf8Path, Mode mode) {
    const os::FileHandle handle = os::openFile(toPath(utf8Path), osMode(mode));
    if (handle == os::noFile) {
        return std::nullopt;
    }
    return File(handle);
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, os::noFile)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, os::noFile);
    }
    return *this;
}

File::~File() {
    close();
}

bool File::isOpen() const {
    return handle_ != os::noFile;
}

bool File::write(const uint8_t* data, uint64_t count) {
    return handle_ != os::noFile && os::writeFile(handle_, data, count);
}

std::optional<uint64_t> File::read(uint8_t* data, uint64_t count) {
    if (handle_ == os::noFile) {
        return std::nullopt;
    }
    const auto got = os::readFile(handle_, data, count);
    if (got && *got > 0) {
        if (auto observer = currentHooks().fileRead) {
            observer(*got);
        }
    }
    return got;
}

std::optional<uint64_t> File::size() const {
    return handle_ == os::noFile ? std::nullopt : os::fileSize(handle_);
}

bool File::sync() {
    if (auto observer = currentHooks().fileSynced) {
        observer();
    }
    return handle_ != os::noFile && os::syncFile(handle_);
}

bool File::close() {
    if (handle_ == os::noFile) {
        return true;
    }
    return os::closeFile(std::exchange(handle_, os::noFile));
}

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
    if (auto hook = currentHooks().remove; hook && !hook(path)) {
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
    std::error_code error;
    const auto status = std::filesystem::symlink_status(toPath(utf8Path), error);
    if (error || !std::filesystem::is_regular_file(status)) {
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(toPath(utf8Path), error);
    if (error) {
        return std::nullopt;
    }
    return size;
}

std::optional<std::string> readFile(const std::string& utf8Path, uint64_t maximumSize) {
    auto file = File::open(utf8Path, File::Mode::Read);
    const auto size = file ? file->size() : std::nullopt;
    if (!size || *size > maximumSize) {
        return std::nullopt;
    }
    std::string content(static_cast<size_t>(*size), '\0');
    uint64_t filled = 0;
    while (filled < content.size()) {
        const auto got =
            file->read(reinterpret_cast<uint8_t*>(&content[filled]), content.size() - filled);
        if (!got) {
            return std::nullopt;
        }
        if (*got == 0) {
            // The file shrank while it was read: what is there is all it holds.
            content.resize(filled);
            break;
        }
        filled += *got;
    }
    return content;
}

bool writeFileAtomically(const std::string& utf8Path, const std::string& content) {
    const auto target = toPath(utf8Path);
    const std::string temporaryPath = utf8Path + statefiles::temporarySuffix;
    const auto temporary = toPath(temporaryPath);
    if (!writeNewFileAndSync(temporaryPath, content) || !renameFile(temporary, target)) {
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

Hooks installedHooks() {
    return currentHooks();
}

void setHooks(Hooks hooks) {
    std::lock_guard<std::mutex> lock(hooksMutex);
    hooksInstalled = std::move(hooks);
}

}  // namespace kvinternal::platform
