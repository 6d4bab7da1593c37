#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "control/IdentifierCatalogue.h"
#include "tracking/ResendStore.h"
#include "tracking/TrackingDocument.h"
#include "tracking/TrackingPostRule.h"
#include "tracking/TrackingStatus.h"

namespace kvinternal {

class HttpService;
class UpdateSessionIdCache;
struct InternalUpdateMetadata;

// Reports what happens during an update to the tracking endpoint, one JSON document per event.
// A document that cannot be sent is stored under "tracking" in the working directory and sent
// again later. No operation here ever throws: tracking never fails an update.
class TrackingService {
public:
    // Logs its construction, creates the resend directory and resends stored documents whose
    // last attempt is old enough. `postRule` is the session's, so that an endpoint found dead
    // by one tracking service is not waited for by the next.
    TrackingService(const std::string& rootDirectory, Log log, std::shared_ptr<HttpService> http,
                    std::shared_ptr<UpdateSessionIdCache> updateSessionIds, std::string clientKey,
                    std::string trackingUrl, std::string clientName, std::string clientVersion,
                    std::shared_ptr<TrackingPostRule> postRule);
    ~TrackingService();
    TrackingService(const TrackingService&) = delete;
    TrackingService& operator=(const TrackingService&) = delete;

    const std::string& trackingUrl() const;

    // The update query's answer arrived; `hits` are the updates it offered, in its order.
    void manifestReceived(const IdentifierCollection& identifiers,
                          const std::vector<std::shared_ptr<const InternalUpdateMetadata>>& hits,
                          const std::string& checksum, const std::string& updateUrl);
    void manifestError(int32_t phaseResult, const IdentifierCollection& identifiers,
                       const std::string& updateUrl, int32_t number);

    // The phase events. `number` is -1 when there is none; `logText` may be empty.
    void downloadEvent(const IdentifierCollection& identifiers,
                       const InternalUpdateMetadata& metadata, TrackingStatus status,
                       int32_t phaseResult, const std::string& logText, int32_t number);
    void transferEvent(const IdentifierCollection& identifiers,
                       const InternalUpdateMetadata& metadata, TrackingStatus status,
                       int32_t phaseResult, const std::string& logText, int32_t number);
    void preverificationEvent(const IdentifierCollection& identifiers,
                              const InternalUpdateMetadata& metadata, int32_t phaseResult,
                              const std::string& logText, int32_t number);
    void installEvent(const IdentifierCollection& identifiers,
                      const InternalUpdateMetadata& metadata, TrackingStatus status,
                      int32_t phaseResult, const std::string& logText, int32_t number);

    // POSTs the document with its CRC-32 header; false (and one error line) when it failed.
    bool sendDocument(const Json::Value& document);

private:
    // Whether the event opens a new update session, i.e. a download starts.
    enum class UpdateSession { Continues, Starts };

    // Runs `action`; anything it throws becomes the error line `failure`.
    void guarded(const char* failure, const std::function<void()>& action) const;
    void logErrors(const TrackingOutcome& outcome) const;
    void handleEvent(const IdentifierCollection& identifiers,
                     const InternalUpdateMetadata& metadata, const PhaseReport& report,
                     UpdateSession session = UpdateSession::Continues);
    std::string sessionIdFor(const IdentifierCollection& identifiers,
                             const InternalUpdateMetadata& metadata) const;
    // Sends the document; then resends what is stored, or stores the document when it failed.
    void deliver(const Json::Value& document);
    void resendStored(bool force);

    Log log_;
    Lifetime lifetime_;
    std::shared_ptr<HttpService> http_;
    std::shared_ptr<UpdateSessionIdCache> updateSessionIds_;
    std::string clientKey_;
    std::string trackingUrl_;
    TrackingClient client_;
    std::shared_ptr<TrackingPostRule> postRule_;
    ResendStore resendStore_;
};

}  // namespace kvinternal
