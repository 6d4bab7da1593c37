#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The pieces of the platform layer's shared functions that differ between operating systems; one
// source file per system (PlatformPosix.cpp, PlatformWindows.cpp) defines these together with the
// functions of Platform.h that are wholly the system's.
namespace kvinternal::platform::os {

// Names of the regular files in a directory: all of them, or at least those whose names end in
// `suffix` (the caller checks the suffix). Empty when the directory cannot be read.
std::vector<std::string> regularFileNames(const std::filesystem::path& directory,
                                          const std::string& suffix);

// Writes `content` to a new or truncated file and flushes it to the storage device.
bool writeAndSync(const std::filesystem::path& path, const std::string& content);

// Renames `from` over `to`, replacing it.
bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes a directory's entries (a rename inside it) to the storage device; best effort.
void syncDirectory(const std::filesystem::path& directory);

// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC.
uint64_t systemTimeMilliseconds();

// Blocks the calling thread.
void sleepFor(uint64_t milliseconds);

}  // namespace kvinternal::platform::os
