#include "store/IdentifierCache.h"

#include <utility>
#include <vector>

#include "common/Platform.h"
#include "common/StateFileNames.h"
#include "control/Exceptions.h"

namespace kvinternal {

namespace {

const JsonCacheTexts cacheTexts{"Loading identifier cache from file at location: ",
                                "Did not find any device identifier cache.",
                                "Device identifier cache",
                                "Identifier cache JSON response",
                                "Identifier cache not changed, skipping writing to file",
                                "Saving identifier cache to file: ",
                                "Could not save identifier cache to file"};

// Members whose names are not catalogue keys are skipped.
IdentifierCollection collectionFromJson(const Json::Value& element) {
    IdentifierCollection collection;
    for (const auto& name : element.getMemberNames()) {
        if (const auto id = identifierFromJsonKey(name)) {
            collection[*id] = element[name].asString();
        }
    }
    return collection;
}

// Identifiers without a catalogue key ("Calculated imei") are derived anew and never stored.
Json::Value collectionToJson(const IdentifierCollection& collection) {
    Json::Value element(Json::objectValue);
    for (const auto& [id, value] : collection) {
        if (const auto key = identifierJsonKey(id)) {
            element[*key] = value;
        }
    }
    return element;
}

}  // namespace

IdentifierCache::IdentifierCache(Log log, const std::string& rootDirectory)
    : lifetime_(log, "identifier cache", Lifetime::Announce::No),
      log_(log),
      file_(rootDirectory + "/" + statefiles::identifierCache, cacheTexts, log) {
    platform::createDirectory(rootDirectory);
    load();
}

IdentifierCache::~IdentifierCache() {
    lifetime_.logDestruction();
    inDestructor([this] {
        if (file_.save(changed_, [this](const Json::Value& onDisk) {
                // A collection without an id on disk got one from the session that loaded it.
                collections_.rebaseOnto(collectionsFrom(onDisk, nullptr));
                return document();
            })) {
            changed_ = false;
        }
    });
}

void IdentifierCache::load() {
    std::vector<IdentifierCollection> withoutId;
    file_.loadInto(
        [&](const Json::Value& root) { collections_ = collectionsFrom(root, &withoutId); });
    collections_.forgetChanges();
    // An id given now is this session's change: saved, or the collection would get another one
    // every session.
    for (auto& collection : withoutId) {
        addCollection(std::move(collection));
    }
    changed_ = !withoutId.empty();
}

IdentifierCache::Collections IdentifierCache::collectionsFrom(
    const Json::Value& root, std::vector<IdentifierCollection>* withoutId) {
    const Json::Value& elements = root["identifierCollections"];
    Collections collections(maximumCollections);
    std::vector<IdentifierCollection> idless;
    for (Json::ArrayIndex i = 0; i < elements.size(); ++i) {
        IdentifierCollection collection = collectionFromJson(elements[i]);
        const std::string id = identifierValue(collection, IdentifierId::IdentifierCacheId);
        if (!id.empty()) {
            collections.put(id, std::move(collection));
        } else {
            idless.push_back(std::move(collection));
        }
    }
    if (withoutId) {
        *withoutId = std::move(idless);
    }
    return collections;
}

Json::Value IdentifierCache::document() const {
    Json::Value elements(Json::arrayValue);
    collections_.forEachOldestFirst(
        [&elements](const std::string&, const IdentifierCollection& collection) {
            elements.append(collectionToJson(collection));
        });
    Json::Value root(Json::objectValue);
    root["identifierCollections"] = std::move(elements);
    return root;
}

std::string IdentifierCache::addCollection(IdentifierCollection collection) {
    // An empty id (only a hand-edited file can hold one) could not name the collection either.
    auto id = identifierValue(collection, IdentifierId::IdentifierCacheId);
    if (id.empty()) {
        id = platform::newUuid();
        collection[IdentifierId::IdentifierCacheId] = id;
    }
    collections_.put(id, std::move(collection));
    changed_ = true;
    return id;
}

IdentifierCollection IdentifierCache::getCollection(const std::string& id) const {
    log_.info("Getting collection from id: " + id);
    const IdentifierCollection* found = collections_.find(id);
    if (found == nullptr) {
        throw IllegalArgumentException(
            "The identification id is not coupled to a identifier collection: " + id);
    }
    return *found;
}

}  // namespace kvinternal
