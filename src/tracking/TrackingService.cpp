#include "tracking/TrackingService.h"

#include <exception>
#include <map>
#include <utility>

#include "common/Crc32.h"
#include "common/JsonText.h"
#include "common/Platform.h"
#include "common/StateFileNames.h"
#include "control/Exceptions.h"
#include "server/HttpService.h"
#include "server/InternalUpdateMetadata.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingStatusMapping.h"

namespace kvinternal {

namespace {

std::string sendFailure(const std::string& kind, const std::string& trackingUrl,
                        const std::exception& error) {
    return kind + " occured when sending tracking data for tracking url: " + trackingUrl +
           ", exception: " + error.what();
}

}  // namespace

TrackingService::TrackingService(const std::string& rootDirectory, Log log,
                                 std::shared_ptr<HttpService> http,
                                 std::shared_ptr<UpdateSessionIdCache> updateSessionIds,
                                 std::string clientKey, std::string trackingUrl,
                                 std::string clientName, std::string clientVersion,
                                 std::shared_ptr<TrackingPostRule> postRule)
    : log_(log),
      lifetime_(log, "tracking service"),
      http_(std::move(http)),
      updateSessionIds_(std::move(updateSessionIds)),
      clientKey_(std::move(clientKey)),
      trackingUrl_(std::move(trackingUrl)),
      client_{std::move(clientName), std::move(clientVersion)},
      postRule_(std::move(postRule)),
      resendStore_(log, rootDirectory + "/" + statefiles::trackingDirectory) {
    log_.info("Sending of tracking data is: enabled");
    resendStored(false);
}

TrackingService::~TrackingService() {
    lifetime_.logDestruction();
}

const std::string& TrackingService::trackingUrl() const {
    return trackingUrl_;
}

void TrackingService::manifestReceived(
    const IdentifierCollection& identifiers,
    const std::vector<std::shared_ptr<const InternalUpdateMetadata>>& hits,
    const std::string& checksum, const std::string& updateUrl) {
    guarded("Could not send tracking event", [&] {
        log_.info("Manifest received");
        deliver(manifestReceivedDocument(platform::currentTimeMilliseconds(), identifiers,
                                         updateUrl, client_, checksum, hits));
    });
}

void TrackingService::manifestError(int32_t phaseResult, const IdentifierCollection& identifiers,
                                    const std::string& updateUrl, int32_t number) {
    guarded("Could not send manifest received error tracking data", [&] {
        const TrackingOutcome outcome = manifestErrorOutcome(phaseResult, number);
        logErrors(outcome);
        deliver(manifestErrorDocument(platform::currentTimeMilliseconds(), identifiers, updateUrl,
                                      client_, outcome));
    });
}

void TrackingService::downloadEvent(const IdentifierCollection& identifiers,
                                    const InternalUpdateMetadata& metadata, TrackingStatus status,
                                    int32_t phaseResult, const std::string& logText,
                                    int32_t number) {
    handleEvent(
        identifiers, metadata,
        {"download", downloadOutcome(status, phaseResult, number), logText, "Manual", "Cable"},
        status == TrackingStatus::Initiated ? UpdateSession::Starts : UpdateSession::Continues);
}

void TrackingService::transferEvent(const IdentifierCollection& identifiers,
                                    const InternalUpdateMetadata& metadata, TrackingStatus status,
                                    int32_t phaseResult, const std::string& logText,
                                    int32_t number) {
    handleEvent(identifiers, metadata,
                {"transfer", transferOutcome(status, phaseResult, number), logText, "", ""});
}

void TrackingService::preverificationEvent(const IdentifierCollection& identifiers,
                                           const InternalUpdateMetadata& metadata,
                                           int32_t phaseResult, const std::string& logText,
                                           int32_t number) {
    handleEvent(identifiers, metadata,
                {"preverification", preverificationOutcome(phaseResult, number), logText, "", ""});
}

void TrackingService::installEvent(const IdentifierCollection& identifiers,
                                   const InternalUpdateMetadata& metadata, TrackingStatus status,
                                   int32_t phaseResult, const std::string& logText,
                                   int32_t number) {
    handleEvent(identifiers, metadata,
                {"install", installOutcome(status, phaseResult, number), logText, "", ""});
}

bool TrackingService::sendDocument(const Json::Value& document) {
    try {
        const std::string text = json::styled(document);
        log_.info("Sending tracking data: " + text);
        http_->post(trackingUrl_ + "?" + clientKey_, trackingUrl_, text, ContentType::Json,
                    {{headerYavChecksum, std::to_string(crc32(text))}}, postRule_->retryDelays());
        postRule_->recordSuccess();
        return true;
    } catch (const IllegalStateException& e) {
        log_.error(sendFailure("IllegalStateException", trackingUrl_, e));
    } catch (const CancelledException& e) {
        // The host stopped the post: that says nothing about the endpoint.
        log_.error(sendFailure("CancelledException", trackingUrl_, e));
        return false;
    } catch (const NetworkException& e) {
        log_.error(sendFailure("NetworkException", trackingUrl_, e));
    } catch (...) {
        log_.error("Unknown error occured when sending tracking data for tracking url: " +
                   trackingUrl_);
    }
    postRule_->recordFailure();
    return false;
}

void TrackingService::guarded(const char* failure, const std::function<void()>& action) const {
    try {
        action();
    } catch (...) {
        log_.error(failure);
    }
}

void TrackingService::logErrors(const TrackingOutcome& outcome) const {
    for (const std::string& error : outcome.errors) {
        log_.error(error);
    }
}

void TrackingService::handleEvent(const IdentifierCollection& identifiers,
                                  const InternalUpdateMetadata& metadata, const PhaseReport& report,
                                  UpdateSession session) {
    guarded("Could not send tracking event", [&] {
        logErrors(report.outcome);
        if (session == UpdateSession::Starts) {
            updateSessionIds_->createSessionId(
                identifierValue(identifiers, IdentifierId::EncryptedImei),
                identifierValue(identifiers, IdentifierId::CalculatedImei), metadata.fwId);
        }
        const Json::Value document = updateEventDocument(platform::currentTimeMilliseconds(),
                                                         sessionIdFor(identifiers, metadata),
                                                         identifiers, metadata, report, client_);
        log_.info("Handle event triggered with statusCode: " + report.outcome.statusCode +
                  " and status: " + report.outcome.status);
        deliver(document);
    });
}

std::string TrackingService::sessionIdFor(const IdentifierCollection& identifiers,
                                          const InternalUpdateMetadata& metadata) const {
    const std::string sessionId = updateSessionIds_->getSessionId(
        identifierValue(identifiers, IdentifierId::EncryptedImei),
        identifierValue(identifiers, IdentifierId::CalculatedImei), metadata.fwId, false);
    if (sessionId.empty()) {
        log_.error("Could not retrieve a update session id, using blank");
    }
    return sessionId;
}

void TrackingService::deliver(const Json::Value& document) {
    const auto outgoing = resendStore_.writeAhead(document, platform::newUuid());
    if (sendDocument(document)) {
        outgoing.delivered();
        resendStored(true);
    } else {
        outgoing.failed();
    }
}

void TrackingService::resendStored(bool force) {
    postRule_->countResends(resendStore_.resendStored(
        force, postRule_->resendsLeft(),
        [this](const Json::Value& document) { return sendDocument(document); }));
}

}  // namespace kvinternal
