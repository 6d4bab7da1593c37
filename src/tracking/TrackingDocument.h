#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/IdentifierCatalogue.h"
#include "tracking/TrackingStatusMapping.h"

// The JSON documents the tracking endpoint receives: the update event (one phase of one update)
// and the manifest event (the update server's answer, under "yavSync").
namespace kvinternal {

struct InternalUpdateMetadata;

// The host application that reports: its name ("initiator") and version ("clientVersion").
struct TrackingClient {
    std::string name;
    std::string version;
};

// One phase of one update as its event reports it. Empty texts leave their members out.
struct PhaseReport {
    std::string phase;  // "download", "transfer", "preverification" or "install"
    TrackingOutcome outcome;
    std::string logText;  // sent as Base64 of its first 70,000 bytes
    std::string downloadMode;
    std::string network;
};

// `time` in milliseconds since 1970. A record that is neither of the two metadata versions
// carries neither version's pair of source and target members.
Json::Value updateEventDocument(uint64_t time, const std::string& sessionId,
                                const IdentifierCollection& identifiers,
                                const InternalUpdateMetadata& metadata, const PhaseReport& report,
                                const TrackingClient& client);

// Status "ok" with the answer's checksum and its updates, in their order, as "hits".
Json::Value manifestReceivedDocument(
    uint64_t time, const IdentifierCollection& identifiers, const std::string& updateUrl,
    const TrackingClient& client, const std::string& checksum,
    const std::vector<std::shared_ptr<const InternalUpdateMetadata>>& hits);

Json::Value manifestErrorDocument(uint64_t time, const IdentifierCollection& identifiers,
                                  const std::string& updateUrl, const TrackingClient& client,
                                  const TrackingOutcome& outcome);

}  // namespace kvinternal
