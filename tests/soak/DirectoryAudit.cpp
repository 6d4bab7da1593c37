#include "DirectoryAudit.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TrackingLedger.h"
#include "common/JsonText.h"

namespace kvsoak {

namespace fs = std::filesystem;

namespace {

// Each cache keeps its latest 1,000 entries (checked apart); the soak's four phones and their
// releases keep each file far below a mebibyte. A stored tracking document carries at most
// 70,000 bytes of log as Base64 beside its members.
constexpr std::size_t cacheEntryCap = 1000;
constexpr uint64_t cacheBytesCap = 1u << 20;
constexpr uint64_t storedDocumentBytesCap = 128 * 1024;
const char* const caches[] = {"identifiers.cache", "deltafiles.cache", "updatesessionids.cache"};

std::optional<Json::Value> parsed(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    auto result = kvinternal::json::parse(text.str());
    if (!result.ok) {
        return std::nullopt;
    }
    return result.root;
}

// An array's elements, or those of the arrays an object holds, or its members.
std::size_t entriesOf(const Json::Value& root) {
    if (root.isArray()) {
        return root.size();
    }
    std::size_t inArrays = 0;
    for (const Json::Value& member : root) {
        inArrays += member.isArray() ? member.size() : 0;
    }
    return inArrays != 0 ? inArrays : root.size();
}

bool isCache(const std::string& name) {
    for (const char* cache : caches) {
        if (name == cache) {
            return true;
        }
    }
    return false;
}

uint64_t bytesBelow(const fs::path& directory) {
    uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
    }
    return bytes;
}

void auditCache(const fs::path& path, DirectoryAudit& audit) {
    const auto root = parsed(path);
    if (!root) {
        audit.breach = path.filename().string() + " does not parse";
    } else if (entriesOf(*root) > cacheEntryCap) {
        audit.breach = path.filename().string() + " holds " + std::to_string(entriesOf(*root)) +
                       " entries, more than " + std::to_string(cacheEntryCap);
    }
}

void auditResendStore(const fs::path& folder, DirectoryAudit& audit) {
    if (!fs::is_directory(folder)) {
        return;
    }
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".failed" && entry.path().extension() != ".sending") {
            continue;
        }
        const auto root = parsed(entry.path());
        const std::string key = root ? eventKey(*root) : std::string();
        if (key.empty()) {
            audit.breach = "the stored tracking document " + entry.path().filename().string() +
                           " does not parse as an event";
            return;
        }
        audit.storedEvents.insert(key);
    }
}

void auditPackage(const fs::directory_entry& entry, const std::map<std::string, uint64_t>& packages,
                  DirectoryAudit& audit) {
    const std::string name = entry.path().filename().string();
    const auto package = packages.find(name);
    if (package == packages.end()) {
        audit.breach = name +
                       " is neither a state file nor the package of a release offered "
                       "in the last 30 days";
    } else if (entry.file_size() > package->second) {
        audit.breach = name + " holds " + std::to_string(entry.file_size()) +
                       " bytes, more than its package, " + std::to_string(package->second);
    } else {
        ++audit.packages;
        audit.packageBytes += package->second;
    }
}

}  // namespace

DirectoryAudit auditWorkingDirectory(const std::string& directory,
                                     const std::map<std::string, uint64_t>& packages) {
    DirectoryAudit audit;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (isCache(name)) {
            auditCache(entry.path(), audit);
        } else if (entry.is_regular_file() && entry.path().extension() != ".tmp") {
            auditPackage(entry, packages, audit);
        }
    }
    auditResendStore(fs::path(directory) / "tracking", audit);
    audit.bytes = bytesBelow(directory);
    const uint64_t bound = audit.packageBytes + sizeof caches / sizeof *caches * 2 * cacheBytesCap +
                           audit.storedEvents.size() * storedDocumentBytesCap;
    if (!audit.breach && audit.bytes > bound) {
        audit.breach = "the working directory holds " + std::to_string(audit.bytes) +
                       " bytes, more than its bound, " + std::to_string(bound);
    }
    return audit;
}

std::optional<std::string> firstFileIn(const std::string& directory) {
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        return entry.path().string();
    }
    return std::nullopt;
}

}  // namespace kvsoak
