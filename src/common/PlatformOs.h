#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The pieces of the platform layer's shared functions that differ between operating systems; one
// source file per system (PlatformPosix.cpp, PlatformWindows.cpp) defines these together with the
// functions of Platform.h that are wholly the system's.
namespace kvinternal::platform::os {

// An open file: a descriptor on POSIX, a HANDLE on Windows; `noFile` when none.
using FileHandle = intptr_t;
inline constexpr FileHandle noFile = -1;

enum class OpenMode {
    Read,       // an existing file
    Append,     // created when missing; every write goes to the end
    CreateNew,  // fails when anything, a link included, has the name
};

// Opens a regular file without following a symbolic link (or a reparse point) in the last
// component of its path; `noFile` when it cannot be opened or is no regular file.
FileHandle openFile(const std::filesystem::path& path, OpenMode mode);
// Writes all `count` bytes; false when any could not be written.
bool writeFile(FileHandle file, const uint8_t* data, uint64_t count);
// Up to `count` bytes; 0 at the end of the file, nothing on failure.
std::optional<uint64_t> readFile(FileHandle file, uint8_t* data, uint64_t count);
std::optional<uint64_t> fileSize(FileHandle file);
// Flushes the file's data to the storage device.
bool syncFile(FileHandle file);
bool closeFile(FileHandle file);

// Deletes a file of any kind but a directory (a link goes, not what it names).
bool deleteRegularFile(const std::filesystem::path& path);

// A regular file found in a directory: its name, and when it was last written, in the system's
// own units (for ordering only).
struct ListedFile {
    std::string name;
    int64_t written = 0;
};
// Adds the regular files of a directory that are not links to `files`: all of them, or at least
// those whose names end in `suffix` (the caller checks the suffix). False when the listing ended
// early; a missing directory lists as empty.
bool listRegularFiles(const std::filesystem::path& directory, const std::string& suffix,
                      std::vector<ListedFile>& files);

// Opens a lock file for locking, creating it when missing (never through a link).
FileHandle openLockFile(const std::filesystem::path& path);
// Takes the exclusive lock of an open lock file: waiting for it, or only if it is free.
enum class LockWait { Wait, DoNotWait };
bool lockFile(FileHandle file, LockWait wait);

// Renames `from` over `to`, replacing it.
bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes a directory's entries (a rename inside it) to the storage device; best effort.
void syncDirectory(const std::filesystem::path& directory);

// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC.
uint64_t systemTimeMilliseconds();

// Blocks the calling thread.
void sleepFor(uint64_t milliseconds);

}  // namespace kvinternal::platform::os
