#pragma once

#include <json/json.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "control/IdentifierCatalogue.h"
#include "server/InternalUpdateMetadata.h"

namespace kvinternal {

class DeltaFileCache;
class HttpService;
class TrackingService;

// Asks the update endpoint (protocol 3, or 4 for phones with GOTA V4 support) which delta
// updates exist for a phone and turns each offered package into a record with its delta file.
// The manifest's arrival or the query's failure is reported to tracking.
class YavService {
public:
    // `tracking` may be null: then no events are sent. `yavClientKey` goes first in every query
    // and never into the log; delta files are created below `rootDirectory`; a non-empty
    // `group` is sent as "group".
    // The packages of the records resume from, and record themselves in, `deltaFiles`.
    YavService(Log log, std::shared_ptr<HttpService> http,
               std::shared_ptr<TrackingService> tracking, std::string yavClientKey,
               std::string queryUrl, std::string rootDirectory, std::string group,
               std::weak_ptr<DeltaFileCache> deltaFiles);
    ~YavService();
    YavService(const YavService&) = delete;
    YavService& operator=(const YavService&) = delete;

    // Adds one record per offered package ("YAV:" + a process-wide counter), all or none: a
    // manifest that cannot be read whole leaves `records` as it was and throws. A bad request
    // (400) counts as no hits and adds nothing.
    void queryUpdates(const IdentifierCollection& identifiers, UpdateRegistry& records) const;

private:
    using Records = std::vector<std::shared_ptr<InternalUpdateMetadata>>;

    std::map<std::string, std::string> queryParameters(const IdentifierCollection& identifiers,
                                                       bool protocol4) const;
    // The body, or nothing when the server found the request bad; failures are reported.
    std::optional<std::string> fetchManifest(const IdentifierCollection& identifiers,
                                             const std::string& url,
                                             const std::string& logUrl) const;
    Json::Value parseBody(const IdentifierCollection& identifiers, const std::string& body,
                          const std::string& logUrl) const;
    Records parseManifest(int32_t dataVersion, const Json::Value& root,
                          const IdentifierCollection& identifiers) const;
    struct Firmware;
    std::shared_ptr<InternalUpdateMetadata> packageRecord(
        int32_t dataVersion, const Firmware& firmware, const Json::Value& fota,
        const std::string& path, const IdentifierCollection& identifiers) const;
    void reportManifestError(int32_t phaseResult, const IdentifierCollection& identifiers,
                             const std::string& logUrl, int32_t number) const;

    Log log_;
    Lifetime lifetime_;
    std::shared_ptr<HttpService> http_;
    std::shared_ptr<TrackingService> tracking_;
    std::string yavClientKey_;
    std::string queryUrl_;
    std::string rootDirectory_;
    std::string group_;
    std::weak_ptr<DeltaFileCache> deltaFiles_;
};

}  // namespace kvinternal
