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

}  // namespace

std::filesystem::path toPath(const std::string& utf8Path) {
    return std::filesystem::path(withLengthLimitLifted(toWide(utf8Path)));
}

void createDirectory(const std::string& utf8Path) {
    CreateDirectoryW(toPath(utf8Path).c_str(), nullptr);
}

bool deleteFile(const std::string& utf8Path) {
    return DeleteFileW(toPath(utf8Path).c_str()) != 0;
}

std::optional<uint64_t> fileSize(const std::string& utf8Path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(toPath(utf8Path).c_str(), GetFileExInfoStandard, &data) ||
        isDirectory(data.dwFileAttributes)) {
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

bool writeAll(HANDLE file, const std::string& content) {
    constexpr size_t largestWrite = 1u << 30;
    const char* next = content.data();
    size_t left = content.size();
    while (left > 0) {
        DWORD written = 0;
        const auto count = static_cast<DWORD>(std::min(left, largestWrite));
        if (!WriteFile(file, next, count, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        left -= written;
    }
    return true;
}

}  // namespace

std::vector<std::string> regularFileNames(const std::filesystem::path& directory,
                                          const std::string& suffix) {
    std::vector<std::string> names;
    const std::wstring pattern =
        withLengthLimitLifted(directory.native() + L"\\*" + toWide(suffix));
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search.isValid()) {
        return names;
    }
    do {
        if (!isDirectory(found.dwFileAttributes)) {
            names.push_back(fromWide(found.cFileName));
        }
    } while (FindNextFileW(search.get(), &found));
    return names;
}

bool writeAndSync(const std::filesystem::path& path, const std::string& content) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool written = writeAll(file, content) && FlushFileBuffers(file);
    const bool closed = CloseHandle(file);
    return written && closed;
}

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
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
