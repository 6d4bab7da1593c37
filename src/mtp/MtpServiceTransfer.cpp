// The transfer of a delta package to the phone.
#include "common/Log.h"
#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "mtp/MtpService.h"
#include "mtp/PhaseTracking.h"
#include "store/DeltaFile.h"

namespace kvinternal {

namespace {

const FailureRows transferFailures{
    "Sending cancellation event for transfer file to device",
    {1, 4, 3, 2, 2},
    "Sending file to device failed due to device exception: ",
    "Sending file to device failed due to general exception : ",
    "Sending file to device failed due to general (...) error",
};

}  // namespace

void MtpService::transferFile(const InternalUpdateMetadata& metadata,
                              const IdentifierCollection& identifiers, const std::string& updateId,
                              const DeltaFile& deltaFile, const std::string& destinationPath) {
    const PhaseTracking tracking(log_, trackingServiceReference(), identifiers, metadata);
    tracking.transfer({TrackingStatus::Initiated, 0, ""});
    log_.info("Transferring file for update id: " + updateId +
              " to device path: " + destinationPath);

    // Names the call for cancel and progress from the host's thread until this returns. The
    // handler is complete once the file is on the phone: progress falls back to it when the
    // provider reports its call finished, and must not drop to 0 while the transfer ends.
    const auto handler = progress_->start(ongoingCallUnits, log_);
    setOngoingCall(handler);
    uint32_t objectHandle = 0;
    const MtpResult result =
        provider_->sendFile(deviceId_, deltaFile.path(), destinationPath, objectHandle);
    checkMtpResultReported(result, transferFailures,
                           [&tracking](const PhaseRow& row) { tracking.transfer(row); });
    advanceOngoingCall(*handler, ongoingCallUnits);

    if (handler->isCancelled()) {
        tracking.transfer(
            {TrackingStatus::Cancelled, 1,
             "Progress handler reported cancellation of delta package transfer to device"});
        throw CancelledException(
            "Client has cancelled the transfer of the delta package to the device");
    }
    objectHandles_[updateId] = objectHandle;
    tracking.transfer({TrackingStatus::Ok, 0, ""});
}

}  // namespace kvinternal
