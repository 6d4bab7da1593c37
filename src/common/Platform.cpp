#include "common/Platform.h"

#include <algorithm>
#include <mutex>
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
    return os::replaceFile(from, to);
}

bool endsWith(const std::string& name, const std::string& suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
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
    os::deleteRegularFile(toPath(utf8Path));
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

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, os::noFile)), observed_(other.observed_) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, os::noFile);
        observed_ = other.observed_;
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
    return isOpen() && os::writeFile(handle_, data, count);
}

std::optional<uint64_t> File::read(uint8_t* data, uint64_t count) {
    if (!isOpen()) {
        return std::nullopt;
    }
    const auto got = os::readFile(handle_, data, count);
    if (got && *got > 0 && observed_) {
        if (auto observer = currentHooks().fileRead) {
            observer(*got);
        }
    }
    return got;
}

std::optional<uint64_t> File::size() const {
    return isOpen() ? os::fileSize(handle_) : std::nullopt;
}

bool File::sync() {
    if (auto observer = currentHooks().fileSynced) {
        observer();
    }
    return isOpen() && os::syncFile(handle_);
}

bool File::close() {
    if (!isOpen()) {
        return true;
    }
    return os::closeFile(std::exchange(handle_, os::noFile));
}

std::optional<FileLock> FileLock::open(const std::string& utf8Path) {
    const os::FileHandle handle = os::openLockFile(toPath(utf8Path));
    if (handle == os::noFile) {
        return std::nullopt;
    }
    return FileLock(handle);
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, os::noFile)) {}

FileLock::~FileLock() {
    // Closing the file releases its lock.
    if (handle_ != os::noFile) {
        os::closeFile(handle_);
    }
}

bool FileLock::tryLock() {
    return os::lockFile(handle_, os::LockWait::DoNotWait);
}

bool FileLock::lock() {
    return os::lockFile(handle_, os::LockWait::Wait);
}

bool deleteFile(const std::string& utf8Path) {
    const auto path = toPath(utf8Path);
    if (auto hook = currentHooks().remove; hook && !hook(path)) {
        return false;
    }
    return os::deleteRegularFile(path);
}

FileListing listFilesWithSuffix(const std::string& utf8Directory, const std::string& suffix) {
    std::vector<os::ListedFile> files;
    FileListing listing;
    listing.complete = os::listRegularFiles(toPath(utf8Directory), suffix, files);
    std::stable_sort(files.begin(), files.end(),
                     [](const auto& a, const auto& b) { return a.written < b.written; });
    for (auto& file : files) {
        if (endsWith(file.name, suffix)) {
            listing.names.push_back(std::move(file.name));
        }
    }
    return listing;
}

std::optional<std::string> readFile(const std::string& utf8Path, uint64_t maximumSize) {
    auto file = File::open(utf8Path, File::Mode::Read);
    const auto size = file ? file->size() : std::nullopt;
    if (file) {
        file->observed_ = false;
    }
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
        os::deleteRegularFile(temporary);
        return false;
    }
    os::syncDirectory(target.has_parent_path() ? target.parent_path() : ".");
    return true;
}

bool moveFile(const std::string& fromUtf8Path, const std::string& toUtf8Path) {
    return renameFile(toPath(fromUtf8Path), toPath(toUtf8Path));
}

uint64_t currentTimeMilliseconds() {
    if (auto hook = currentHooks().wallClock) {
        return hook();
    }
    return os::systemTimeMilliseconds();
}

void sleepMilliseconds(uint64_t milliseconds) {
    if (auto hook = currentHooks().sleep) {
        hook(milliseconds);
        return;
    }
    os::sleepFor(milliseconds);
}

Hooks installedHooks() {
    return currentHooks();
}

void setHooks(Hooks hooks) {
    std::lock_guard<std::mutex> lock(hooksMutex);
    hooksInstalled = std::move(hooks);
}

}  // namespace kvinternal::platform
