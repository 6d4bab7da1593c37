#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/BoundedMap.h"
#include "common/JsonCacheFile.h"
#include "common/Lifetime.h"
#include "common/Log.h"
#include "control/IdentifierCatalogue.h"

namespace kvinternal {

// The identifier collections handed out as identification ids, kept in "identifiers.cache" in
// the working directory so that an id from one run still works in the next. The file is read
// at construction and written, if anything was added, at destruction.
class IdentifierCache {
public:
    // The most collections kept: adding one more forgets the one added longest ago, so the file
    // stays bounded in a working directory used for years.
    static constexpr std::size_t maximumCollections = 1000;

    IdentifierCache(Log log, const std::string& rootDirectory);
    ~IdentifierCache();
    IdentifierCache(const IdentifierCache&) = delete;
    IdentifierCache& operator=(const IdentifierCache&) = delete;

    // Stores the collection under its "Identifier cache id", or under a new UUID that is then
    // stored into it; replaces a collection stored under that id before. Returns the id.
    std::string addCollection(IdentifierCollection collection);
    // A copy of the collection; IllegalArgumentException naming the id when there is none.
    IdentifierCollection getCollection(const std::string& id) const;

    const std::string& filePath() const { return file_.path(); }

private:
    using Collections = BoundedMap<std::string, IdentifierCollection>;

    // The collections of a file's document that have an id, oldest first; those without one go
    // to `withoutId` when given. Throws for members of the wrong type.
    static Collections collectionsFrom(const Json::Value& root,
                                       std::vector<IdentifierCollection>* withoutId);
    void load();
    Json::Value document() const;

    Lifetime lifetime_;
    Log log_;
    JsonCacheFile file_;
    Collections collections_{maximumCollections};
    bool changed_ = false;
};

}  // namespace kvinternal
