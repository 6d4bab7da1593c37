#pragma once

#include <string>

// The names of the files the library keeps in its working directory besides the packages.
namespace kvinternal::statefiles {

inline constexpr char deltaFileCache[] = "deltafiles.cache";
inline constexpr char identifierCache[] = "identifiers.cache";
inline constexpr char updateSessionIdCache[] = "updatesessionids.cache";
inline constexpr char trackingDirectory[] = "tracking";
// The lock files of sessions that share the working directory.
inline constexpr char locksDirectory[] = "locks";
// Appended to a state file's name for the temporary file of its atomic save.
inline constexpr char temporarySuffix[] = ".tmp";

// Whether `name` is one of the names above or the temporary form of a cache, in any letter case
// (Windows file names ignore case).
bool isStateFileName(const std::string& name);

}  // namespace kvinternal::statefiles
