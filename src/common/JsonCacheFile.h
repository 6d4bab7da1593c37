#pragma once

#include <json/json.h>

#include <functional>
#include <optional>
#include <string>

#include "common/Log.h"

namespace kvinternal {

// The texts one cache logs while loading and saving its file.
struct JsonCacheTexts {
    std::string loading;     // + path, e.g. "Loading delta file cache from file at location: "
    std::string notFound;    // e.g. "Did not find any delta file cache."
    std::string unparsable;  // + " [" + text + "] failed to be parsed: " + reader errors
    std::string parsed;      // + " [" + one-line document + "] parsed successfully"
    std::string unchanged;   // e.g. "Delta file cache not changed, skipping writing to file"
    std::string saving;      // + path, e.g. "Saving delta cache to file: "
    std::string saveFailed;  // e.g. "Could not save delta cache to file"
};

// The pattern every cache file follows: read whole when its owner is constructed (an unparsable
// file is deleted), written only when something changed, atomically, when the owner goes away.
// Sessions may share a working directory: a save takes the directory's lock for its state files
// and puts its owner's changes on top of what the file holds by then.
class JsonCacheFile {
public:
    JsonCacheFile(std::string path, JsonCacheTexts texts, Log log);

    // The document, or nothing when the file is missing or unparsable (then deleted).
    std::optional<Json::Value> load() const;

    // Applies `read` to the loaded document. A document whose members have the wrong JSON types
    // makes `read` throw; it is then treated like an unparsable file, so that one corrupt file
    // cannot stop every later session. `read` should store what it builds only at its end, so a
    // failure leaves the owner empty. False when nothing was read.
    bool loadInto(const std::function<void(const Json::Value&)>& read) const;

    // Gets what the file holds now (a null value when nothing readable) and returns the document
    // to write. It may throw for a document it cannot read; it is then called with a null value.
    using Merge = std::function<Json::Value(const Json::Value& onDisk)>;

    // Writes the document `merge` makes when `changed`, under the lock; true when the file now
    // holds it.
    bool save(bool changed, const Merge& merge) const;

    const std::string& path() const { return path_; }

private:
    // The document the file holds, or a null value; logs nothing, as the file is about to be
    // replaced.
    Json::Value readQuietly() const;
    Json::Value merged(const Merge& merge) const;
    // Logs the file as unparsable, quoting `excerpt` of it, and deletes it.
    void discard(const std::string& excerpt, const std::string& errors) const;

    std::string path_;
    JsonCacheTexts texts_;
    Log log_;
};

}  // namespace kvinternal
