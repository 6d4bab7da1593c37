#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "common/BoundedMap.h"
#include "common/JsonCacheFile.h"
#include "common/Lifetime.h"
#include "common/Log.h"

namespace kvinternal {

// The update session ids that tie together the tracking events of one update of one phone.
// Ids of phones whose "Encrypted imei" yields an IMEI are kept in "updatesessionids.cache" across
// runs; ids keyed by the calculated IMEI live only as long as this object. Used from one thread
// at a time.
class UpdateSessionIdCache {
public:
    // The most stored ids kept: one more forgets the one stored longest ago.
    static constexpr std::size_t maximumStoredIds = 1000;

    UpdateSessionIdCache(Log log, const std::string& rootDirectory);
    ~UpdateSessionIdCache();
    UpdateSessionIdCache(const UpdateSessionIdCache&) = delete;
    UpdateSessionIdCache& operator=(const UpdateSessionIdCache&) = delete;

    // The session id, or "" when there is none. `quiet` skips the in-memory ids.
    std::string getSessionId(const std::string& encryptedImei, const std::string& calculatedImei,
                             const std::string& updateId, bool quiet) const;
    // Gives the update a session id unless it already has one.
    void createSessionId(const std::string& encryptedImei, const std::string& calculatedImei,
                         const std::string& updateId);

private:
    // (imei, update id) -> session id
    using Key = std::pair<std::string, std::string>;
    using Collection = std::map<Key, std::string>;

    using Stored = BoundedMap<Key, std::string>;

    // The records of a file's document, oldest first; throws for members of the wrong type.
    static Stored storedFrom(const Json::Value& root);
    void load();
    Json::Value toJson() const;

    Log log_;
    Lifetime lifetime_;
    JsonCacheFile file_;
    Stored stored_{maximumStoredIds};
    Collection memory_;
    bool changed_ = false;
};

}  // namespace kvinternal
