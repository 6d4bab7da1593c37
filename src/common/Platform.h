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

// Creates one directory level; failure (an existing directory, a missing parent) is ignored,
// as callers find out when files fail to open.
void createDirectory(const std::string& utf8Path);

// Deletes a file; false when nothing was deleted.
bool deleteFile(const std::string& utf8Path);

// Names (not paths) of the regular files in a directory whose names end in `suffix`, in the
// order the file system lists them. Empty when the directory cannot be read.
std::vector<std::string> listFilesWithSuffix(const std::string& utf8Directory,
                                             const std::string& suffix);

// Size of a file in bytes, or nothing when it cannot be opened.
std::optional<uint64_t> fileSize(const std::string& utf8Path);

// The whole content of a file, or nothing when it cannot be opened or read.
std::optional<std::string> readFile(const std::string& utf8Path);

// Replaces a file so that a crash or power loss at any moment leaves either the old content or
// the new one: a temporary file beside the target is written and flushed to disk, renamed over
// the target, and the directory is flushed. False (and the old file untouched) on failure.
bool writeFileAtomically(const std::string& utf8Path, const std::string& content);

// A new random (version 4) UUID: 36 lowercase hexadecimal characters with hyphens.
std::string newUuid();

// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC.
uint64_t currentTimeMilliseconds();

// A monotonic clock for measuring durations.
std::chrono::steady_clock::time_point steadyNow();

// Blocks the calling thread.
void sleepMilliseconds(uint64_t milliseconds);

// Test seams. An empty function keeps the real service.
struct Hooks {
    std::function<void(uint64_t milliseconds)> sleep;
    std::function<uint64_t()> wallClock;
    // Returns false to make the rename of an atomic save fail.
    std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to)> rename;
};

void setHooks(Hooks hooks);

// Installs hooks for the life of a test and restores the real services afterwards.
class ScopedHooks {
public:
    explicit ScopedHooks(Hooks hooks) { setHooks(std::move(hooks)); }
    ~ScopedHooks() { setHooks({}); }
    ScopedHooks(const ScopedHooks&) = delete;
    ScopedHooks& operator=(const ScopedHooks&) = delete;
};

}  // namespace kvinternal::platform
