#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs:
#include <rpc.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "common/Platform.h"
#include "common/PlatformOs.h"
#include "common/Utf.h"

namespace kvinternal::platform {

namespace {

// Windows refuses plain paths of MAX_PATH (260) characters or more, and directories of 248 or
// more. Longer ones need the "\\?\" prefix, which takes a path as it is: absolute, with
// backslashes only and without "." or "..", so those are resolved first.
constexpr size_t longestPlainPath = 247;

std::wstring toWide(const std::string& utf8) {
    const std::u16string utf16 = utf8ToUtf16(utf8);
    return std::wstring(utf16.begin(), utf16.end());
}

std::string fromWide(const wchar_t* wide) {
    const std::wstring text(wide);
    return utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::wstring fullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return {};
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return {};
    }
    full.resize(length);
    return full;
}

std::wstring withLengthLimitLifted(const std::wstring& path) {
    if (startsWith(path, L"\\\\?\\") || startsWith(path, L"\\\\.\\")) {
        return path;
    }
    const std::wstring full = fullPath(path);
    if (full.empty() || (path.size() <= longestPlainPath && full.size() <= longestPlainPath)) {
        return path;
    }
    if (startsWith(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

bool isDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Neither a directory nor a reparse point (a symbolic link or a junction): the only kind of
// file the library reads or writes.
bool isPlainFile(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool startsWithText(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool isDriveName(const std::string& name) {
    return name.size() == 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

}  // namespace

bool isFileSystemRoot(const std::string& utf8Path) {
    std::string path = utf8Path;
    std::replace(path.begin(), path.end(), '\\', '/');
    path.erase(path.find_last_not_of('/') + 1);
    for (const char* prefix : {"//?/UNC/", "//?/", "//./"}) {
        if (startsWithText(path, prefix)) {
            // What follows "\\?\UNC\" is a share, what follows "\\?\" a drive.
            path = (prefix[4] == 'U' ? "//" : "") + path.substr(std::strlen(prefix));
            break;
        }
    }
    if (path.empty() || isDriveName(path)) {
        return true;
    }
    // "//server" and "//server/share" are no folder of their own.
    return startsWithText(path, "//") && std::count(path.begin() + 2, path.end(), '/') <= 1;
}

std::filesystem::path toPath(const std::string& utf8Path) {
    return std::filesystem::path(withLengthLimitLifted(toWide(utf8Path)));
}

void createDirectory(const std::string& utf8Path) {
    CreateDirectoryW(toPath(utf8Path).c_str(), nullptr);
}

FileKind fileKind(const std::string& utf8Path) {
    const DWORD attributes = GetFileAttributesW(toPath(utf8Path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FileKind::Missing;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return FileKind::Other;
    }
    return isDirectory(attributes) ? FileKind::Directory : FileKind::Regular;
}

std::optional<uint64_t> fileSize(const std::string& utf8Path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(toPath(utf8Path).c_str(), GetFileExInfoStandard, &data) ||
        !isPlainFile(data.dwFileAttributes)) {
        return std::nullopt;
    }
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

std::string newUuid() {
    UUID uuid;
    const RPC_STATUS created = UuidCreate(&uuid);
    RPC_CSTR text = nullptr;
    if ((created != RPC_S_OK && created != RPC_S_UUID_LOCAL_ONLY) ||
        UuidToStringA(&uuid, &text) != RPC_S_OK) {
        throw std::runtime_error("Could not create a UUID");
    }
    std::string result(reinterpret_cast<const char*>(text));
    RpcStringFreeA(&text);
    return result;
}

std::chrono::steady_clock::time_point steadyNow() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    // Whole seconds and the rest apart, so that the conversion cannot overflow.
    const auto seconds = std::chrono::seconds(counter.QuadPart / frequency.QuadPart);
    const auto rest = std::chrono::nanoseconds(counter.QuadPart % frequency.QuadPart * 1000000000 /
                                               frequency.QuadPart);
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds + rest));
}

}  // namespace kvinternal::platform

namespace kvinternal::platform::os {

namespace {

class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (isValid()) {
            FindClose(handle_);
        }
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

    bool isValid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// One ReadFile or WriteFile at most this large: they count in 32 bits.
constexpr uint64_t largestTransfer = 1u << 30;

HANDLE handleOf(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

struct OpenRequest {
    DWORD access;
    DWORD disposition;
};

OpenRequest requestFor(OpenMode mode) {
    switch (mode) {
        case OpenMode::Read:
            return {GENERIC_READ, OPEN_EXISTING};
        case OpenMode::Append:
            // Append-only access puts every write at the end, as O_APPEND does.
            return {FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_ALWAYS};
        case OpenMode::CreateNew:
            return {GENERIC_WRITE | FILE_READ_ATTRIBUTES, CREATE_NEW};
    }
    return {GENERIC_READ, OPEN_EXISTING};
}

}  // namespace

FileHandle openFile(const std::filesystem::path& path, OpenMode mode) {
    // Attributes are those of a link itself, not of what it names: one that is there is refused
    // before it could be opened (not every implementation of the flag below keeps to it).
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !isPlainFile(attributes)) {
        return noFile;
    }
    const OpenRequest request = requestFor(mode);
    // The reparse point itself is opened, never what it names; it is then refused below.
    const HANDLE file = CreateFileW(path.c_str(), request.access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    request.disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return noFile;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information) ||
        !isPlainFile(information.dwFileAttributes)) {
        CloseHandle(file);
        return noFile;
    }
    return reinterpret_cast<FileHandle>(file);
}

FileHandle openLockFile(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !isPlainFile(attributes)) {
        return noFile;
    }
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file == INVALID_HANDLE_VALUE ? noFile : reinterpret_cast<FileHandle>(file);
}

bool lockFile(FileHandle file, LockWait wait) {
    // One byte of the empty lock file; locks belong to the handle, so two objects of one process
    // exclude each other as two processes do.
    const DWORD flags =
        LOCKFILE_EXCLUSIVE_LOCK | (wait == LockWait::DoNotWait ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    OVERLAPPED start{};
    return LockFileEx(handleOf(file), flags, 0, 1, 0, &start) != 0;
}

bool writeFile(FileHandle file, const uint8_t* data, uint64_t count) {
    while (count > 0) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min(count, largestTransfer));
        if (!WriteFile(handleOf(file), data, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        count -= written;
    }
    return true;
}

std::optional<uint64_t> readFile(FileHandle file, uint8_t* data, uint64_t count) {
    DWORD got = 0;
    const auto chunk = static_cast<DWORD>(std::min(count, largestTransfer));
    if (!ReadFile(handleOf(file), data, chunk, &got, nullptr)) {
        return std::nullopt;
    }
    return got;
}

std::optional<uint64_t> fileSize(FileHandle file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handleOf(file), &size)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(size.QuadPart);
}

bool syncFile(FileHandle file) {
    return FlushFileBuffers(handleOf(file)) != 0;
}

bool closeFile(FileHandle file) {
    return CloseHandle(handleOf(file)) != 0;
}

bool deleteRegularFile(const std::filesystem::path& path) {
    // DeleteFileW removes a file or a link to one, never a directory.
    return DeleteFileW(path.c_str()) != 0;
}

bool listRegularFiles(const std::filesystem::path& directory, const std::string& suffix,
                      std::vector<ListedFile>& files) {
    const std::wstring pattern =
        withLengthLimitLifted(directory.native() + L"\\*" + toWide(suffix));
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search.isValid()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    do {
        if (isPlainFile(found.dwFileAttributes)) {
            const uint64_t written = (uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) |
                                     found.ftLastWriteTime.dwLowDateTime;
            files.push_back({fromWide(found.cFileName), static_cast<int64_t>(written)});
        }
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    // A file that another handle has open (another session loading it, a virus scanner) cannot
    // be replaced until that handle closes, which readers do at once: try again for a second of
    // real time, whatever a test's sleep does, before the save is given up and its entries lost.
    const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    constexpr uint64_t pauseMilliseconds = 10;
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            std::chrono::steady_clock::now() >= giveUpAt) {
            return false;
        }
        sleepMilliseconds(pauseMilliseconds);
    }
}

void syncDirectory(const std::filesystem::path& /*directory*/) {
    // MOVEFILE_WRITE_THROUGH has already flushed the rename.
}

uint64_t systemTimeMilliseconds() {
    constexpr uint64_t unixEpochInFileTime = 116444736000000000;  // 100 ns units since 1601
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t sinceFileTimeEpoch = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return (sinceFileTimeEpoch - unixEpochInFileTime) / 10000;
}

void sleepFor(uint64_t milliseconds) {
    // Sleep takes a 32-bit count, and its largest value means forever.
    constexpr uint64_t longestSleep = INFINITE - 1;
    do {
        const uint64_t now = std::min(milliseconds, longestSleep);
        Sleep(static_cast<DWORD>(now));
        milliseconds -= now;
    } while (milliseconds > 0);
}

}  // namespace kvinternal::platform::os
