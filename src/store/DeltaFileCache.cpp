#include "store/DeltaFileCache.h"

#include <mutex>
#include <utility>
#include <vector>

#include "common/Platform.h"

namespace kvinternal {

namespace {

const JsonCacheTexts cacheTexts{"Loading delta file cache from file at location: ",
                                "Did not find any delta file cache.",
                                "Delta file cache",
                                "Delta file cache JSON response",
                                "Delta file cache not changed, skipping writing to file",
                                "Saving delta cache to file: ",
                                "Could not save delta cache to file"};

std::mutex currentCacheMutex;
std::weak_ptr<DeltaFileCache> currentCache;

DeltaFileRecord recordFromJson(const Json::Value& element) {
    DeltaFileRecord record;
    record.url = element["url"].asString();
    record.fileName = element["fileName"].asString();
    record.downloadedSize = element["downloadedSize"].asUInt64();
    record.fileSize = element["fileSize"].asUInt64();
    return record;
}

Json::Value recordToJson(const DeltaFileRecord& record) {
    Json::Value element(Json::objectValue);
    element["url"] = record.url;
    element["fileName"] = record.fileName;
    element["downloadedSize"] = Json::UInt64{record.downloadedSize};
    element["fileSize"] = Json::UInt64{record.fileSize};
    return element;
}

}  // namespace

DeltaFileCache::DeltaFileCache(Log log, const std::string& rootDirectory)
    : lifetime_(log, "delta file cache", Lifetime::Announce::No),
      log_(log),
      file_(rootDirectory + "/deltafiles.cache", cacheTexts, log) {
    platform::createDirectory(rootDirectory);
    load();
    changed_ = false;
}

DeltaFileCache::~DeltaFileCache() {
    lifetime_.logDestruction();
    if (file_.save(changed_, [this] { return document(); })) {
        changed_ = false;
    }
}

void DeltaFileCache::load() {
    file_.loadInto([this](const Json::Value& root) {
        const Json::Value& files = root["deltaFiles"];
        std::vector<DeltaFileRecord> records;
        for (Json::ArrayIndex i = 0; i < files.size(); ++i) {
            records.push_back(recordFromJson(files[i]));
        }
        for (auto& record : records) {
            add(std::move(record));
        }
    });
}

Json::Value DeltaFileCache::document() const {
    Json::Value files(Json::arrayValue);
    for (const auto& entry : entries_) {
        files.append(recordToJson(entry.second));
    }
    Json::Value root(Json::objectValue);
    root["deltaFiles"] = std::move(files);
    return root;
}

void DeltaFileCache::add(DeltaFileRecord record) {
    log_.info("Adding delta file to cache");
    changed_ = true;
    auto url = record.url;
    entries_[std::move(url)] = std::move(record);
}

DeltaFileRecord DeltaFileCache::get(const std::string& url, uint64_t expectedSize) const {
    log_.info("Getting delta file from url: " + url +
              ", expected file size: " + std::to_string(expectedSize));
    const auto found = entries_.find(url);
    if (found == entries_.end() || found->second.fileSize != expectedSize) {
        return {};
    }
    return found->second;
}

size_t DeltaFileCache::erase(const std::string& url) {
    changed_ = true;
    return entries_.erase(url);
}

std::shared_ptr<DeltaFileCache> currentDeltaFileCache() {
    std::lock_guard<std::mutex> lock(currentCacheMutex);
    return currentCache.lock();
}

void setCurrentDeltaFileCache(const std::shared_ptr<DeltaFileCache>& cache) {
    std::lock_guard<std::mutex> lock(currentCacheMutex);
    currentCache = cache;
}

}  // namespace kvinternal
