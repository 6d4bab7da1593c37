#include "mtp/PhaseTracking.h"

#include <cstddef>
#include <utility>

#include "tracking/TrackingService.h"

namespace kvinternal {

PhaseRow FailureRows::rowFor(ProviderFailure failure, const std::string& message,
                             int32_t code) const {
    const int32_t phaseResult = phaseResults[static_cast<size_t>(failure)];
    switch (failure) {
        case ProviderFailure::Cancelled:
            return {TrackingStatus::Cancelled, phaseResult, ""};
        case ProviderFailure::DeviceWithCode:
            return {TrackingStatus::Error, phaseResult, deviceText + message, code};
        case ProviderFailure::DeviceWithoutCode:
            return {TrackingStatus::Error, phaseResult, deviceText + message};
        case ProviderFailure::General:
            return {TrackingStatus::Error, phaseResult, generalText + message};
        case ProviderFailure::Unknown:
            break;
    }
    return {TrackingStatus::Error, phaseResult, unknownText};
}

PhaseTracking::PhaseTracking(Log log, std::shared_ptr<TrackingService> tracking,
                             const IdentifierCollection& identifiers,
                             const InternalUpdateMetadata& metadata)
    : log_(std::move(log)),
      tracking_(std::move(tracking)),
      identifiers_(identifiers),
      metadata_(metadata) {}

void PhaseTracking::transfer(const PhaseRow& row) const {
    // The transfer announces only texts that carry no code of their own.
    send(row.number == -1 ? row.logText : "", "Could not send transfer tracking event",
         [this, &row](TrackingService& tracking) {
             tracking.transferEvent(identifiers_, metadata_, row.status, row.phaseResult,
                                    row.logText, row.number);
         });
}

void PhaseTracking::preverification(const PhaseRow& row) const {
    send(row.logText, "Could not send verify tracking event",
         [this, &row](TrackingService& tracking) {
             tracking.preverificationEvent(identifiers_, metadata_, row.phaseResult, row.logText,
                                           row.number);
         });
}

void PhaseTracking::install(const PhaseRow& row) const {
    sendInstall(row, "Could not send install tracking event");
}

void PhaseTracking::installWithAgentReport(const PhaseRow& row) const {
    sendInstall(row, "Error when sending install tracking event with UA information");
}

void PhaseTracking::sendInstall(const PhaseRow& row, const char* failure) const {
    send(row.logText, failure, [this, &row](TrackingService& tracking) {
        tracking.installEvent(identifiers_, metadata_, row.status, row.phaseResult, row.logText,
                              row.number);
    });
}

void PhaseTracking::send(const std::string& announcement, const char* failure,
                         const Event& event) const {
    if (!tracking_) {
        return;
    }
    if (!announcement.empty()) {
        log_.error("Sending to tracking: " + announcement);
    }
    try {
        event(*tracking_);
    } catch (...) {
        log_.error(failure);
    }
}

}  // namespace kvinternal
