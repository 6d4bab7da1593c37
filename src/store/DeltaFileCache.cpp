#include "store/DeltaFileCache.h"

#include <utility>
#include <vector>

#include "common/LockFiles.h"
#include "common/Platform.h"
#include "common/StateFileNames.h"
#include "store/DeltaFile.h"

namespace kvinternal {

namespace {

const JsonCacheTexts cacheTexts{"Loading delta file cache from file at location: ",
                                "Did not find any delta file cache.",
                                "Delta file cache",
                                "Delta file cache JSON response",
                                "Delta file cache not changed, skipping writing to file",
                                "Saving delta cache to file: ",
                                "Could not save delta cache to file"};

constexpr uint64_t retentionMilliseconds = DeltaFileCache::retentionDays * 24 * 3600 * 1000;

// An entry without a date (written by an earlier version) starts its retention now.
DeltaFileRecord recordFromJson(const Json::Value& element, uint64_t now) {
    DeltaFileRecord record;
    record.url = element["url"].asString();
    record.fileName = element["fileName"].asString();
    record.downloadedSize = element["downloadedSize"].asUInt64();
    record.fileSize = element["fileSize"].asUInt64();
    const Json::Value& lastOffered = element["lastOffered"];
    record.lastOffered = lastOffered.isUInt64() ? lastOffered.asUInt64() : now;
    return record;
}

Json::Value recordToJson(const DeltaFileRecord& record) {
    Json::Value element(Json::objectValue);
    element["url"] = record.url;
    element["fileName"] = record.fileName;
    element["downloadedSize"] = Json::UInt64{record.downloadedSize};
    element["fileSize"] = Json::UInt64{record.fileSize};
    element["lastOffered"] = Json::UInt64{record.lastOffered};
    return element;
}

// "update.zip" with 2 gives "update-2.zip"; a name without an extension gets the number at its
// end.
std::string numberedPath(const std::string& path, unsigned number) {
    const auto nameStart = path.rfind('/') + 1;
    auto dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) {
        dot = path.size();
    }
    return path.substr(0, dot) + "-" + std::to_string(number) + path.substr(dot);
}

}  // namespace

DeltaFileCache::DeltaFileCache(Log log, const std::string& rootDirectory)
    : lifetime_(log, "delta file cache", Lifetime::Announce::No),
      log_(log),
      file_(rootDirectory + "/" + statefiles::deltaFileCache, cacheTexts, log) {
    platform::createDirectory(rootDirectory);
    load();
    changed_ = false;
    removeUnofferedPackages(rootDirectory);
}

DeltaFileCache::~DeltaFileCache() {
    lifetime_.logDestruction();
    inDestructor([this] { save(); });
}

bool DeltaFileCache::save() {
    if (file_.save(changed_, [this](const Json::Value& onDisk) {
            entries_.rebaseOnto(entriesFrom(onDisk));
            return document();
        })) {
        changed_ = false;
        return true;
    }
    return false;
}

void DeltaFileCache::removeUnofferedPackages(const std::string& rootDirectory) {
    const uint64_t now = platform::currentTimeMilliseconds();
    std::vector<DeltaFileRecord> unoffered;
    for (const auto& [url, record] : entries_.entries()) {
        // A date in the future (the clock was set back) counts as just now.
        if (now > record.lastOffered && now - record.lastOffered > retentionMilliseconds) {
            unoffered.push_back(record);
        }
    }
    for (const DeltaFileRecord& record : unoffered) {
        if (removePackage(rootDirectory, record)) {
            erase(record.url);
        }
    }
}

// Whether the package is gone; a path outside the working directory was not written by this
// library and is left alone, its entry dropped.
bool DeltaFileCache::removePackage(const std::string& rootDirectory,
                                   const DeltaFileRecord& record) const {
    if (!DeltaFile::isPackagePathOf(rootDirectory, record.fileName)) {
        return true;
    }
    const std::string name = record.fileName.substr(record.fileName.rfind('/') + 1);
    auto lock = lockfiles::open(rootDirectory, name, log_);
    if (lock && !lock->tryLock()) {
        return false;
    }
    log_.info("Removing the package of an update no search has offered for " +
              std::to_string(retentionDays) + " days: " + record.fileName);
    return platform::deleteFile(record.fileName) ||
           platform::fileKind(record.fileName) == platform::FileKind::Missing;
}

void DeltaFileCache::load() {
    file_.loadInto([this](const Json::Value& root) { entries_ = entriesFrom(root); });
    entries_.forgetChanges();
}

DeltaFileCache::Entries DeltaFileCache::entriesFrom(const Json::Value& root) {
    const Json::Value& files = root["deltaFiles"];
    Entries entries(maximumEntries);
    const uint64_t now = platform::currentTimeMilliseconds();
    for (Json::ArrayIndex i = 0; i < files.size(); ++i) {
        DeltaFileRecord record = recordFromJson(files[i], now);
        const std::string url = record.url;
        entries.put(url, std::move(record));
    }
    return entries;
}

Json::Value DeltaFileCache::document() const {
    Json::Value files(Json::arrayValue);
    entries_.forEachOldestFirst([&files](const std::string&, const DeltaFileRecord& record) {
        files.append(recordToJson(record));
    });
    Json::Value root(Json::objectValue);
    root["deltaFiles"] = std::move(files);
    return root;
}

void DeltaFileCache::add(DeltaFileRecord record) {
    log_.info("Adding delta file to cache");
    putOfferedNow(std::move(record));
}

bool DeltaFileCache::addAndSave(DeltaFileRecord record) {
    add(std::move(record));
    return save();
}

bool DeltaFileCache::names(const std::string& url, const std::string& path) const {
    const DeltaFileRecord* found = entries_.find(url);
    return found != nullptr && found->fileName == path;
}

void DeltaFileCache::offered(const std::string& url) {
    // Saved at once, so that a session starting meanwhile does not remove what was just offered.
    if (const DeltaFileRecord* found = entries_.find(url)) {
        putOfferedNow(*found);
        save();
    }
}

void DeltaFileCache::putOfferedNow(DeltaFileRecord record) {
    changed_ = true;
    record.lastOffered = platform::currentTimeMilliseconds();
    const std::string url = record.url;
    entries_.put(url, std::move(record));
}

DeltaFileRecord DeltaFileCache::get(const std::string& url, uint64_t expectedSize) const {
    log_.info("Getting delta file from url: " + url +
              ", expected file size: " + std::to_string(expectedSize));
    const DeltaFileRecord* found = entries_.find(url);
    if (found == nullptr || found->fileSize != expectedSize) {
        return {};
    }
    return *found;
}

size_t DeltaFileCache::erase(const std::string& url) {
    changed_ = true;
    return entries_.erase(url) ? 1 : 0;
}

std::string DeltaFileCache::claimPath(const std::string& url, const std::string& path) {
    std::string candidate = path;
    // Each taken number belongs to one other url, so the search ends.
    for (unsigned number = 2; isTakenByAnother(url, candidate); ++number) {
        candidate = numberedPath(path, number);
    }
    claims_[candidate] = url;
    return candidate;
}

bool DeltaFileCache::isTakenByAnother(const std::string& url, const std::string& path) const {
    const auto claim = claims_.find(path);
    if (claim != claims_.end()) {
        return claim->second != url;
    }
    for (const auto& [entryUrl, record] : entries_.entries()) {
        if (record.fileName == path && entryUrl != url) {
            return true;
        }
    }
    return false;
}

}  // namespace kvinternal
