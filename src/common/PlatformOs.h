#pragma once

#include <filesystem>
#include <string>

// The few services that differ between operating systems; one source file per system.
namespace kvinternal::platform::os {

// Writes `content` to a new or truncated file and flushes it to the storage device.
bool writeAndSync(const std::filesystem::path& path, const std::string& content);

// Flushes a directory's entries (a rename inside it) to the storage device; best effort.
void syncDirectory(const std::filesystem::path& directory);

}  // namespace kvinternal::platform::os
