#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/Log.h"
#include "control/IdentifierCatalogue.h"
#include "tracking/TrackingStatus.h"

namespace kvinternal {

class TrackingService;
struct InternalUpdateMetadata;

// One tracking report of a phase. `number` is -1 when there is none.
struct PhaseRow {
    TrackingStatus status;
    int32_t phaseResult;
    std::string logText;
    int32_t number = -1;
};

// The ways a checked provider call can fail, as the flows tell them apart.
enum class ProviderFailure { Cancelled, DeviceWithCode, DeviceWithoutCode, General, Unknown };

// What one flow reports for each `ProviderFailure`. Device and general texts are followed by the
// exception's message; the cancelled report has no text and is preceded by `cancelledLine`.
struct FailureRows {
    const char* cancelledLine;
    // Indexed by ProviderFailure.
    std::array<int32_t, 5> phaseResults;
    const char* deviceText;
    const char* generalText;
    const char* unknownText;

    PhaseRow rowFor(ProviderFailure failure, const std::string& message, int32_t code) const;
};

// The MTP flows' reports to tracking for one update of one phone. Holds the tracking reference
// the flow took at its start; without one every report is skipped. A report never fails the
// flow: what the tracking call throws is logged and dropped.
class PhaseTracking {
public:
    PhaseTracking(Log log, std::shared_ptr<TrackingService> tracking,
                  const IdentifierCollection& identifiers, const InternalUpdateMetadata& metadata);

    void transfer(const PhaseRow& row) const;
    // The status is derived by the tracking service from the phase result.
    void preverification(const PhaseRow& row) const;
    // The install phase as a verify-and-update starts it.
    void install(const PhaseRow& row) const;
    // The install phase as the update agent's final report tells it.
    void installWithAgentReport(const PhaseRow& row) const;

private:
    using Event = std::function<void(TrackingService&)>;

    void sendInstall(const PhaseRow& row, const char* failure) const;
    // Logs a non-empty `announcement` first; logs `failure` when the event throws.
    void send(const std::string& announcement, const char* failure, const Event& event) const;

    Log log_;
    std::shared_ptr<TrackingService> tracking_;
    const IdentifierCollection& identifiers_;
    const InternalUpdateMetadata& metadata_;
};

}  // namespace kvinternal
