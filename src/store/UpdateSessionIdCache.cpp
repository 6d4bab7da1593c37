#include "store/UpdateSessionIdCache.h"

#include <stdexcept>
#include <utility>

#include "common/Platform.h"
#include "common/StateFileNames.h"
#include "mtp/Imei.h"

namespace kvinternal {

namespace {

const char collectionKey[] = "updateSessionIdCollection";

JsonCacheTexts cacheTexts() {
    return {"Loading update session id cache from file at location: ",
            "Did not find any update session id cache.",
            "Update session id cache",
            "Update session id cache JSON response",
            "Update session ID cache not changed, skipping writing to file",
            "Saving update session id cache to file: ",
            "Could not save update session id cache to file"};
}

std::string trimmed(std::string text) {
    trimSpaces(text);
    return text;
}

// Only an encrypted IMEI that yields an IMEI keys a stored record.
bool isStorable(const std::string& encryptedImei) {
    return !imeiFromIdentifier(encryptedImei).empty();
}

}  // namespace

UpdateSessionIdCache::UpdateSessionIdCache(Log log, const std::string& rootDirectory)
    : log_(log),
      lifetime_(log, "update session id cache", Lifetime::Announce::No),
      file_(rootDirectory + "/" + statefiles::updateSessionIdCache, cacheTexts(), log) {
    platform::createDirectory(rootDirectory);
    load();
}

UpdateSessionIdCache::~UpdateSessionIdCache() {
    lifetime_.logDestruction();
    inDestructor([this] {
        if (file_.save(changed_, [this](const Json::Value& onDisk) {
                stored_.rebaseOnto(storedFrom(onDisk));
                return toJson();
            })) {
            changed_ = false;
        }
    });
}

std::string UpdateSessionIdCache::getSessionId(const std::string& encryptedImei,
                                               const std::string& calculatedImei,
                                               const std::string& updateId, bool quiet) const {
    const std::string keyImei = trimmed(encryptedImei);
    log_.info("Getting collection from encrypted IMEI: " + keyImei +
              " real IMEI: " + calculatedImei + " update id: " + updateId);
    if (isStorable(keyImei)) {
        if (const std::string* found = stored_.find({keyImei, updateId})) {
            return *found;
        }
        log_.info("The imei and update id has no cached session id attached to it");
        return "";
    }
    if (quiet) {
        return "";
    }
    const auto found = memory_.find({calculatedImei, updateId});
    if (found != memory_.end()) {
        return found->second;
    }
    log_.error("Could not find any update session id, will use empty value");
    return "";
}

void UpdateSessionIdCache::createSessionId(const std::string& encryptedImei,
                                           const std::string& calculatedImei,
                                           const std::string& updateId) {
    const std::string keyImei = trimmed(encryptedImei);
    if (!getSessionId(keyImei, calculatedImei, updateId, true).empty()) {
        return;
    }
    const std::string sessionId = platform::newUuid();
    if (isStorable(keyImei)) {
        // Replaces a record whose session id was stored empty, which would otherwise stay
        // without an id for good.
        stored_.put({keyImei, updateId}, sessionId);
        changed_ = true;
    } else {
        memory_.emplace(std::make_pair(calculatedImei, updateId), sessionId);
    }
}

void UpdateSessionIdCache::load() {
    file_.loadInto([this](const Json::Value& root) { stored_ = storedFrom(root); });
    stored_.forgetChanges();
    changed_ = false;
}

UpdateSessionIdCache::Stored UpdateSessionIdCache::storedFrom(const Json::Value& root) {
    const Json::Value& elements = root[collectionKey];
    if (!elements.isNull() && !elements.isArray()) {
        throw std::runtime_error(std::string("\"") + collectionKey + "\" is not an array");
    }
    // In file order, which is the order of age; the first element for a key wins.
    Stored stored(maximumStoredIds);
    for (const Json::Value& element : elements) {
        Key key{element["imei"].asString(), element["updateId"].asString()};
        if (!stored.find(key)) {
            stored.put(key, element["sessionId"].asString());
        }
    }
    return stored;
}

Json::Value UpdateSessionIdCache::toJson() const {
    Json::Value elements(Json::arrayValue);
    stored_.forEachOldestFirst([&elements](const Key& key, const std::string& sessionId) {
        Json::Value element(Json::objectValue);
        element["imei"] = key.first;
        element["updateId"] = key.second;
        element["sessionId"] = sessionId;
        elements.append(element);
    });
    Json::Value root(Json::objectValue);
    root[collectionKey] = elements;
    return root;
}

}  // namespace kvinternal
