#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/JsonCacheFile.h"
#include "common/Lifetime.h"
#include "common/Log.h"

namespace kvinternal {

// One package download as remembered between runs.
struct DeltaFileRecord {
    std::string fileName;  // full path of the local file
    std::string url;       // key of the entry
    uint64_t fileSize = 0;
    uint64_t downloadedSize = 0;  // bytes on disk when the entry was last written
};

// Remembers which url was downloaded into which file and how far, in "deltafiles.cache" in the
// working directory, so an interrupted download resumes instead of starting again. The file is
// read at construction and written, if anything changed, at destruction.
class DeltaFileCache {
public:
    DeltaFileCache(Log log, const std::string& rootDirectory);
    ~DeltaFileCache();
    DeltaFileCache(const DeltaFileCache&) = delete;
    DeltaFileCache& operator=(const DeltaFileCache&) = delete;

    // Inserts the record under its url, replacing an entry with the same url.
    void add(DeltaFileRecord record);
    // The entry for `url` when its fileSize equals `expectedSize`, otherwise an empty record.
    DeltaFileRecord get(const std::string& url, uint64_t expectedSize) const;
    // The number of entries removed (0 or 1).
    size_t erase(const std::string& url);

    const std::string& filePath() const { return file_.path(); }

private:
    void load();
    Json::Value document() const;

    Lifetime lifetime_;
    Log log_;
    JsonCacheFile file_;
    std::map<std::string, DeltaFileRecord> entries_;
    bool changed_ = false;
};

// The process-wide reference through which every DeltaFile reaches the session's cache. Only a
// weak reference is kept: once the session's cache is gone, this returns null and DeltaFile
// skips all cache work. Safe to call from any thread.
std::shared_ptr<DeltaFileCache> currentDeltaFileCache();
void setCurrentDeltaFileCache(const std::shared_ptr<DeltaFileCache>& cache);

}  // namespace kvinternal
