#include "common/Platform.h"

#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include "common/PlatformOs.h"

namespace kvinternal::platform {

namespace {

std::mutex hooksMutex;
Hooks installedHooks;

Hooks currentHooks() {
    std::lock_guard<std::mutex> lock(hooksMutex);
    return installedHooks;
}

bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (auto hook = currentHooks().rename) {
        return hook(from, to);
    }
    return os::replaceFile(from, to);
}

bool endsWith(const std::string& name, const std::string& suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::vector<std::string> listFilesWithSuffix(const std::string& utf8Directory,
                                             const std::string& suffix) {
    std::vector<std::string> names;
    for (auto& name : os::regularFileNames(toPath(utf8Directory), suffix)) {
        if (endsWith(name, suffix)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

std::optional<std::string> readFile(const std::string& utf8Path) {
    if (!fileSize(utf8Path)) {
        return std::nullopt;
    }
    std::ifstream stream(toPath(utf8Path), std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    std::string content{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (stream.bad()) {
        return std::nullopt;
    }
    return content;
}

bool writeFileAtomically(const std::string& utf8Path, const std::string& content) {
    const auto target = toPath(utf8Path);
    auto temporary = target;
    temporary += ".tmp";
    if (!os::writeAndSync(temporary, content) || !renameFile(temporary, target)) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    os::syncDirectory(target.has_parent_path() ? target.parent_path() : ".");
    return true;
}

uint64_t currentTimeMilliseconds() {
    if (auto hook = currentHooks().wallClock) {
        return hook();
    }
    return os::systemTimeMilliseconds();
}

void sleepMilliseconds(uint64_t milliseconds) {
    if (auto hook = currentHooks().sleep) {
        hook(milliseconds);
        return;
    }
    os::sleepFor(milliseconds);
}

void setHooks(Hooks hooks) {
    std::lock_guard<std::mutex> lock(hooksMutex);
    installedHooks = std::move(hooks);
}

}  // namespace kvinternal::platform
