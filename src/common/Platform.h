#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The operating-system services the flows need, behind one small layer: UTF-8 paths, files,
// UUID texts, clocks and sleep. Tests replace sleep, the wall clock and the rename step through
// `Hooks`, so that no test waits for a retry delay and a crash during a save can be simulated.
namespace kvinternal::platform {

// A UTF-8 path as the file system wants it: on Windows in UTF-16, and absolute with the "\\?\"
// prefix when it is too long for the plain form.
std::filesystem::path toPath(const std::string& utf8Path);

// Whether a directory path names the root of a file system, where the library would put its
// files beside the system's own: separators only, and on Windows also a drive (C: or C:\), a
// share (\\server\share) and their \\?\ forms.
bool isFileSystemRoot(const std::string& utf8Path);

// Creates one directory level; failure (an existing directory, a missing parent) is ignored,
// as callers find out when files fail to open.
void createDirectory(const std::string& utf8Path);

// What a path names itself, never following a symbolic link, junction or other reparse point:
// a link, like a pipe or a device, is `Other`. Only a `Directory` holds what lies inside it, and
// only a `Regular` file is read or written.
enum class FileKind { Missing, Regular, Directory, Other };
FileKind fileKind(const std::string& utf8Path);

// Deletes a file of any kind but a directory (a link goes, not what it names); false when
// nothing was deleted.
bool deleteFile(const std::string& utf8Path);

// Names (not paths) of the regular files in a directory whose names end in `suffix`, the one
// written longest ago first (links are left out).
struct FileListing {
    std::vector<std::string> names;
    // False when the system ended the listing early: files may be missing from `names`. A
    // directory that is missing is listed completely, as empty.
    bool complete = true;
};
FileListing listFilesWithSuffix(const std::string& utf8Directory, const std::string& suffix);

// A regular file opened without following a symbolic link in the last component of its path,
// so that nothing a link in the working directory points to is read or written through it.
// Closed when destroyed.
class File {
public:
    enum class Mode {
        Read,       // an existing file
        Append,     // created when missing; every write goes to the end
        CreateNew,  // fails when anything, a link included, has the name
    };

    // Nothing when the file cannot be opened, or is a link or no regular file.
    static std::optional<File> open(const std::string& utf8Path, Mode mode);

    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // False once closed or moved from.
    bool isOpen() const;
    // All `count` bytes, or false (some of them may be on disk).
    bool write(const uint8_t* data, uint64_t count);
    // Up to `count` bytes; 0 at the end of the file, nothing on failure.
    std::optional<uint64_t> read(uint8_t* data, uint64_t count);
    std::optional<uint64_t> size() const;
    // Flushes the file's data to the storage device.
    bool sync();
    bool close();

private:
    friend std::optional<std::string> readFile(const std::string& utf8Path, uint64_t maximumSize);

    explicit File(intptr_t handle) : handle_(handle) {}

    intptr_t handle_;
    // Whether `Hooks::fileRead` hears of the reads.
    bool observed_ = true;
};

// An exclusive lock on a lock file, between processes and between the objects of one process
// alike; the system releases it when its holder ends, however it ends, so a lock file left
// behind never blocks anyone. Released when destroyed.
class FileLock {
public:
    // Opens (creating it when missing) the lock file without locking it; nothing when it cannot
    // be opened or is no regular file.
    static std::optional<FileLock> open(const std::string& utf8Path);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Takes the lock if no one holds it; false when someone does.
    bool tryLock();
    // Waits until the lock is free and takes it; false on failure.
    bool lock();

private:
    explicit FileLock(intptr_t handle) : handle_(handle) {}

    intptr_t handle_;
};

// Size of a regular file in bytes, or nothing when there is none (a link counts as none).
std::optional<uint64_t> fileSize(const std::string& utf8Path);

// The largest state file the library reads (cache files, stored tracking documents): far more
// than it ever writes, and little enough to parse without exhausting memory.
inline constexpr uint64_t maximumStateFileSize = 16 * 1024 * 1024;

// The whole content of a file, or nothing when it cannot be opened or read, is a link, or holds
// more than `maximumSize` bytes (then nothing is read).
std::optional<std::string> readFile(const std::string& utf8Path,
                                    uint64_t maximumSize = maximumStateFileSize);

// Replaces a file so that a crash or power loss at any moment leaves either the old content or
// the new one: a temporary file beside the target is created afresh (whatever had its name,
// a link included, is removed first), written and flushed to disk, renamed over the target, and
// the directory is flushed. False (and the old file untouched) on failure.
bool writeFileAtomically(const std::string& utf8Path, const std::string& content);

// Renames a file, replacing whatever file had the new name, in one step. False on failure.
bool moveFile(const std::string& fromUtf8Path, const std::string& toUtf8Path);

// A new random (version 4) UUID: 36 lowercase hexadecimal characters with hyphens.
std::string newUuid();

// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC.
uint64_t currentTimeMilliseconds();

// A monotonic clock for measuring durations.
std::chrono::steady_clock::time_point steadyNow();

// Blocks the calling thread.
void sleepMilliseconds(uint64_t milliseconds);

// Test seams. An empty function keeps the real service. Built by naming the seams a test needs:
// `Hooks().withSleep(...).withWallClock(...)`.
struct Hooks {
    using Sleep = std::function<void(uint64_t milliseconds)>;
    using WallClock = std::function<uint64_t()>;
    // Returns false to make the rename of an atomic save fail.
    using Rename =
        std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to)>;
    // Returns false to make deleting a file fail, as in a directory the user may not write.
    using Remove = std::function<bool(const std::filesystem::path& path)>;
    // Observers: bytes read through `File` (not those of whole state files read by `readFile`),
    // and each flush of a file to the storage device.
    using FileRead = std::function<void(uint64_t bytes)>;
    using FileSynced = std::function<void()>;

    Sleep sleep;
    WallClock wallClock;
    Rename rename;
    Remove remove;
    FileRead fileRead;
    FileSynced fileSynced;

    Hooks& withSleep(Sleep hook) { return set(sleep, std::move(hook)); }
    Hooks& withWallClock(WallClock hook) { return set(wallClock, std::move(hook)); }
    Hooks& withRename(Rename hook) { return set(rename, std::move(hook)); }
    Hooks& withRemove(Remove hook) { return set(remove, std::move(hook)); }
    Hooks& withFileRead(FileRead hook) { return set(fileRead, std::move(hook)); }
    Hooks& withFileSynced(FileSynced hook) { return set(fileSynced, std::move(hook)); }

private:
    template <typename Hook>
    Hooks& set(Hook& slot, Hook hook) {
        slot = std::move(hook);
        return *this;
    }
};

void setHooks(Hooks hooks);
// The hooks installed now, for a test that adds one to them.
Hooks installedHooks();

// Installs hooks for the life of a test and restores the ones installed before afterwards.
class ScopedHooks {
public:
    explicit ScopedHooks(Hooks hooks) : previous_(installedHooks()) { setHooks(std::move(hooks)); }
    ~ScopedHooks() { setHooks(std::move(previous_)); }
    ScopedHooks(const ScopedHooks&) = delete;
    ScopedHooks& operator=(const ScopedHooks&) = delete;

private:
    Hooks previous_;
};

}  // namespace kvinternal::platform
