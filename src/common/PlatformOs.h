#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The few services that differ between operating systems; one source file per system.
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

// Flushes a directory's entries (a rename inside it) to the storage device; best effort.
void syncDirectory(const std::filesystem::path& directory);

}  // namespace kvinternal::platform::os
