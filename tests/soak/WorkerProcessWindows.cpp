#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "WorkerProcess.h"

namespace kvsoak {

namespace {

// A terminated worker ends with the status a SIGKILL gives on POSIX.
constexpr UINT killedStatus = 128 + 9;

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                        length);
    return text;
}

// One argument of a command line, quoted so that the C runtime reads it back as it was.
std::wstring quoted(const std::wstring& argument) {
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(2 * backslashes, L'\\');
    return text + L"\"";
}

bool isFolderVariable(const std::wstring& entry) {
    static const wchar_t* const names[] = {L"HOME",    L"TEMP",         L"TMP",
                                           L"APPDATA", L"LOCALAPPDATA", L"USERPROFILE"};
    const std::wstring name = entry.substr(0, entry.find(L'='));
    return std::any_of(std::begin(names), std::end(names), [&name](const wchar_t* folder) {
        return _wcsicmp(name.c_str(), folder) == 0;
    });
}

// The driver's environment with the home, temporary and application data folders in
// `directory`, as a block of entries each ended by a nul, the block by another.
std::wstring environmentBlock(const std::wstring& directory) {
    std::wstring block;
    wchar_t* const strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (!isFolderVariable(entry)) {
            block.append(entry).push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(strings);
    for (const wchar_t* name :
         {L"HOME", L"TEMP", L"TMP", L"APPDATA", L"LOCALAPPDATA", L"USERPROFILE"}) {
        block.append(name).append(L"=").append(directory).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

HANDLE process(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

WorkerProcess::WorkerProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& directory, const std::string& logPath) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE inRead = nullptr;
    HANDLE inWrite = nullptr;
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    if (!CreatePipe(&inRead, &inWrite, &inherited, 0) ||
        !CreatePipe(&outRead, &outWrite, &inherited, 0)) {
        throw std::runtime_error("soak: could not make a pipe for the worker");
    }
    // The driver's ends stay with the driver.
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE log =
        CreateFileW(wide(logPath).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = log;
    std::wstring commandLine = quoted(wide(program));
    for (const std::string& argument : arguments) {
        commandLine += L" " + quoted(wide(argument));
    }
    std::wstring environment = environmentBlock(wide(directory));
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                   CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                   wide(directory).c_str(), &startup, &started);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(log);
    if (!ok) {
        CloseHandle(inWrite);
        CloseHandle(outRead);
        throw std::runtime_error("soak: could not start the worker " + program);
    }
    CloseHandle(started.hThread);
    process_ = reinterpret_cast<intptr_t>(started.hProcess);
    toWorker_ = _open_osfhandle(reinterpret_cast<intptr_t>(inWrite), _O_BINARY | _O_WRONLY);
    fromWorker_ = _open_osfhandle(reinterpret_cast<intptr_t>(outRead), _O_BINARY | _O_RDONLY);
    wire_ = std::make_unique<Wire>(fromWorker_, toWorker_);
}

WorkerProcess::~WorkerProcess() {
    if (!waited_) {
        kill();
        wait();
    }
    _close(toWorker_);
    _close(fromWorker_);
    CloseHandle(process(process_));
}

void WorkerProcess::kill() {
    TerminateProcess(process(process_), killedStatus);
}

int WorkerProcess::wait() {
    WaitForSingleObject(process(process_), INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process(process_), &status);
    waited_ = true;
    return static_cast<int>(status);
}

Wire workerWire() {
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    return Wire(0, 1);
}

std::string freshTemporaryDirectory(const std::string& prefix) {
    std::random_device random;
    for (;;) {
        const auto folder =
            std::filesystem::temp_directory_path() / (prefix + std::to_string(random() % 1000000));
        if (std::filesystem::create_directory(folder)) {
            return folder.string();
        }
    }
}

// A write to a pipe whose reader is gone fails; Windows raises no signal for it.
void ignoreBrokenPipes() {}

ResourceFigures ownResources() {
    ResourceFigures figures;
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        figures.peakRssKilobytes = counters.PeakWorkingSetSize / 1024;
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles)) {
        figures.openDescriptors = handles;
    }
    return figures;
}

const bool fileSizeCanBeLimited = false;

void limitFileSize(uint64_t) {
    throw std::runtime_error("soak: Windows has no file size limit");
}

}  // namespace kvsoak
