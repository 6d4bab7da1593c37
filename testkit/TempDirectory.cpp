#include "TempDirectory.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/Platform.h"

namespace kvtest {

namespace {

#ifdef _WIN32
// MinGW's std::filesystem cannot walk below MAX_PATH characters, and tests make deeper trees: they
// are walked here with extended-length paths. Links are removed, never followed.
void removeTree(const std::wstring& directory) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            const std::wstring path = directory + L"\\" + name;
            const DWORD attributes = found.dwFileAttributes;
            if (name == L"." || name == L"..") {
                continue;
            }
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW(path.c_str());
            } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                removeTree(path);
            } else {
                RemoveDirectoryW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
}
#endif

}  // namespace

TempDirectory::TempDirectory() {
    const auto path =
        std::filesystem::temp_directory_path() / ("kavrin-test-" + kvinternal::platform::newUuid());
    std::filesystem::create_directories(path);
    path_ = path.u8string();
}

TempDirectory::~TempDirectory() {
#ifdef _WIN32
    std::wstring path = kvinternal::platform::toPath(path_).wstring();  // absolute, and short
    std::replace(path.begin(), path.end(), L'/', L'\\');
    removeTree(L"\\\\?\\" + path);
#else
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
#endif
}

std::string TempDirectory::file(const std::string& name) const {
    return path_ + "/" + name;
}

bool createLink(const std::string& target, const std::string& link, LinkTarget kind) {
    const auto to = kvinternal::platform::toPath(target);
    const auto from = kvinternal::platform::toPath(link);
#ifdef _WIN32
    // MinGW's std::filesystem has no symbolic links; Windows makes them for unprivileged users
    // in developer mode only. What is made must be a reparse point that names the target (Wine
    // makes one that names nothing): anything else is no link to test with.
    const DWORD directory = kind == LinkTarget::Directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!CreateSymbolicLinkW(from.c_str(), to.c_str(),
                             SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | directory)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(from.c_str());
    WIN32_FILE_ATTRIBUTE_DATA named{};
    const bool works = attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                       GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &named) != 0;
    if (!works && kind == LinkTarget::Directory) {
        RemoveDirectoryW(from.c_str());
    } else if (!works) {
        DeleteFileW(from.c_str());
    }
    return works;
#else
    (void)kind;  // POSIX links do not say what they name
    std::error_code error;
    std::filesystem::create_symlink(to, from, error);
    return !error;
#endif
}

}  // namespace kvtest
