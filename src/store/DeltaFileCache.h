#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/BoundedMap.h"
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
// read at construction and written, if anything changed, at destruction. One per session; the
// session's delta files hold it through weak references.
class DeltaFileCache {
public:
    // The most entries kept: adding one more forgets the one added longest ago.
    static constexpr std::size_t maximumEntries = 1000;

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

    // `path` for the package of `url` when no other url's entry or package of this session has
    // it, else the first free numbered form of it ("update-2.zip" for "update.zip"). The path is
    // then this url's for the rest of the session.
    std::string claimPath(const std::string& url, const std::string& path);

    const std::string& filePath() const { return file_.path(); }

private:
    using Entries = BoundedMap<std::string, DeltaFileRecord>;

    // The entries of a file's document, oldest first; throws for members of the wrong type.
    static Entries entriesFrom(const Json::Value& root);
    void load();
    Json::Value document() const;
    bool isTakenByAnother(const std::string& url, const std::string& path) const;

    Lifetime lifetime_;
    Log log_;
    JsonCacheFile file_;
    Entries entries_{maximumEntries};
    // Path -> url of the packages handed out in this session.
    std::map<std::string, std::string> claims_;
    bool changed_ = false;
};

}  // namespace kvinternal
