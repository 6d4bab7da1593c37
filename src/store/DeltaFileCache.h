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
    // Milliseconds since 1970 when a search last offered the package or a download last wrote
    // to it.
    uint64_t lastOffered = 0;
};

// Remembers which url was downloaded into which file and how far, in "deltafiles.cache" in the
// working directory, so an interrupted download resumes instead of starting again. The file is
// read at construction and written, if anything changed, at destruction, before a new package
// file is created and when a search offers a package again. One per session; the session's delta
// files hold it through weak references.
//
// A package that no search has offered for `retentionDays` is a release the servers have moved
// on from: at construction its file is deleted and its entry dropped, unless another session is
// downloading it, so that the packages of old releases do not fill the disk over the months.
class DeltaFileCache {
public:
    // The most entries kept: adding one more forgets the one added longest ago.
    static constexpr std::size_t maximumEntries = 1000;
    static constexpr uint64_t retentionDays = 30;

    DeltaFileCache(Log log, const std::string& rootDirectory);
    ~DeltaFileCache();
    DeltaFileCache(const DeltaFileCache&) = delete;
    DeltaFileCache& operator=(const DeltaFileCache&) = delete;

    // Inserts the record under its url, replacing an entry with the same url, offered now.
    void add(DeltaFileRecord record);
    // The same, and saved at once: the entry of a package file about to be created, so that a
    // process that dies while downloading it leaves no file that no entry names. False when the
    // file could not be written.
    bool addAndSave(DeltaFileRecord record);
    // Whether the entry of `url` names `path`.
    bool names(const std::string& url, const std::string& path) const;
    // A search offered the package of `url` again: its entry, if any, is dated now and saved.
    void offered(const std::string& url);
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
    void removeUnofferedPackages(const std::string& rootDirectory);
    bool removePackage(const std::string& rootDirectory, const DeltaFileRecord& record) const;
    bool save();
    void putOfferedNow(DeltaFileRecord record);
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
