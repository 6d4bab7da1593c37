#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "common/TrackingReference.h"
#include "control/IdentifierCatalogue.h"
#include "kavrin/Kavrin.h"
#include "kavrin/MtpProvider.h"
#include "mtp/MtpCodec.h"

namespace kvinternal {

class CurrentProgress;
class DeltaFile;
class PhaseTracking;
class ProgressHandler;
struct FailureRows;
struct InternalUpdateMetadata;
struct PhaseRow;

// The update interface a phone offers, judged from the operations its DeviceInfo lists.
enum class DeviceApiType : int32_t {
    GotaV4 = 0,
    GotaV3 = 1,
    LegacyFota = 2,
    NoDeltaSupport = 3,
    UnknownApi = 4
};

// Standard MTP response codes the flows tell apart.
namespace mtpresponse {
inline constexpr uint16_t ok = 0x2001;
inline constexpr uint16_t generalError = 0x2002;
inline constexpr uint16_t operationNotSupported = 0x2005;
inline constexpr uint16_t parameterNotSupported = 0x2006;
inline constexpr uint16_t invalidObjectHandle = 0x2009;
inline constexpr uint16_t noValidObjectInfo = 0x2015;
}  // namespace mtpresponse

// Operation codes the service sends or looks for in the DeviceInfo.
namespace mtpoperation {
inline constexpr uint16_t getDeviceInfo = 0x1001;
inline constexpr uint16_t verifyAndUpdate = 0x9170;
inline constexpr uint16_t readFotaStatus = 0x9171;
inline constexpr uint16_t verifyAndUpdateJsonV3 = 0x9175;
inline constexpr uint16_t verifyAndUpdateJsonV4 = 0x9178;
inline constexpr uint16_t getVendorProperty = 0x9187;
}  // namespace mtpoperation

// Every conversation with the phone, through the host's provider. One per update session.
// `cancelOngoingCall` and `ongoingCallProgress` may be called from the host's second thread
// while an operation runs; everything else runs on the operation thread.
class MtpService {
public:
    using MtpRequest = kv::MtpProvider::MtpRequest;
    using MtpResponse = kv::MtpProvider::MtpResponse;
    using MtpResult = kv::MtpProvider::MtpResult;

    // The phone-to-host buffer of every call that expects data; larger datasets cannot arrive.
    static constexpr uint64_t responseBufferSize = 250000;

    // `progress` names the session's running operation; the transfer starts its handler there.
    // Without one the service keeps its own.
    MtpService(Log log, std::shared_ptr<kv::MtpProvider> provider, std::string deviceId,
               std::shared_ptr<CurrentProgress> progress);
    ~MtpService();
    MtpService(const MtpService&) = delete;
    MtpService& operator=(const MtpService&) = delete;

    static std::shared_ptr<const MtpRequest> createRequest(uint16_t operationCode);
    static std::shared_ptr<const MtpRequest> createRequest(uint16_t operationCode,
                                                           uint32_t parameter);
    static std::shared_ptr<const MtpRequest> createRequest(
        uint16_t operationCode, const std::array<uint32_t, 3>& parameters,
        std::shared_ptr<uint8_t[]> data, uint64_t dataLength);
    // With a `responseBufferSize` buffer when `expectData`.
    static std::shared_ptr<MtpResponse> createResponse(bool expectData);

    // The provider's answer to one operation, before its result is judged.
    struct Exchange {
        MtpResult result;
        std::shared_ptr<MtpResponse> response;
    };
    // Runs one operation; the response is whatever record the provider left (never empty).
    Exchange execute(const std::shared_ptr<const MtpRequest>& request, bool expectData);
    // `execute`, then `checkMtpResult`.
    std::shared_ptr<MtpResponse> executeChecked(const std::shared_ptr<const MtpRequest>& request,
                                                bool expectData);

    // True for success; every other provider result throws the exception it stands for.
    bool checkMtpResult(MtpResult result) const;
    // True for OK; other response codes are logged and give false.
    bool checkIdentifierResponse(uint16_t responseCode, IdentifierId id) const;

    // UTF-8 value of one vendor property; empty when it could not be read.
    std::string getIdentifier(IdentifierId id);
    bool isDeviceRooted();
    // The response code; `out` holds the parsed dataset when it is OK.
    uint16_t getDeviceInfo(std::unique_ptr<DeviceInfo>& out);
    static bool supportsOperation(uint16_t operationCode, const DeviceInfo& info);
    DeviceApiType getDeviceApiType();
    DeviceApiType decideDeviceApiType(const std::set<DeviceApiType>& types) const;

    // Names the progress handler of the provider call that runs now (a file transfer), so that
    // the two operations below reach the provider until that handler ends.
    void setOngoingCall(const std::shared_ptr<ProgressHandler>& handler);
    void cancelOngoingCall();
    double ongoingCallProgress();

    std::shared_ptr<TrackingService> trackingServiceReference() const;
    void setTrackingService(std::weak_ptr<TrackingService> trackingService);

    // Update id -> the object handle under which the phone stored that update's package. An
    // entry is written only by a transfer that succeeded.
    const std::map<std::string, uint32_t>& objectHandles() const { return objectHandles_; }

    // Sends the local package to `destinationPath` on the phone and keeps its object handle.
    // Throws what the provider's result stands for, or CancelledException when the host
    // cancelled while the file was sent.
    void transferFile(const InternalUpdateMetadata& metadata,
                      const IdentifierCollection& identifiers, const std::string& updateId,
                      const DeltaFile& deltaFile, const std::string& destinationPath);
    // Legacy FOTA: tells the update agent to verify and install the transferred package.
    // IllegalStateException when it was never transferred or the phone refuses.
    void verifyAndUpdate(const InternalUpdateMetadata& metadata,
                         const IdentifierCollection& identifiers);
    // GOTA: the same, with the JSON description of the update carrying `sessionId`.
    void verifyAndUpdateJson(const InternalUpdateMetadata& metadata,
                             const IdentifierCollection& identifiers, const std::string& sessionId,
                             const std::string& initiator);
    // Fills `document` with the description of the update; returns its data version.
    int32_t createJsonData(const std::string& sessionId, const std::string& updateId,
                           const std::string& initiator, const InternalUpdateMetadata& metadata,
                           Json::Value& document) const;
    // Reads the update agent's outcome from a legacy FOTA phone after its reboot into `out`.
    // IllegalStateException when the phone refuses to tell.
    void getFinalResult(const InternalUpdateMetadata& metadata,
                        const IdentifierCollection& identifiers,
                        std::shared_ptr<kv::Kavrin::FinalResult>& out);

private:
    // The work units of a transfer's progress handler.
    static constexpr uint64_t ongoingCallUnits = 100;

    // Moves the ongoing call's handler on to `units` of `ongoingCallUnits`; never back.
    void advanceOngoingCall(ProgressHandler& handler, uint64_t units);
    // checkMtpResult; a failure is reported with the flow's row for it and rethrown unchanged.
    void checkMtpResultReported(MtpResult result, const FailureRows& rows,
                                const std::function<void(const PhaseRow&)>& report) const;
    // IllegalStateException when the update's package was never transferred.
    uint32_t objectHandleFor(const std::string& updateId) const;
    // Sends one verify-and-update request and judges the phone's answer by the messages of
    // `operationName`.
    void triggerVerify(const std::shared_ptr<const MtpRequest>& request,
                       const std::string& operationName, const PhaseTracking& tracking);
    // The update agent's report text of a ReadFotaStatus answer; a malformed one becomes the
    // text of its failure.
    static std::string agentReport(const MtpResponse& response);
    std::weak_ptr<ProgressHandler> ongoingCall() const;
    // The bytes the provider says it received, copied out of the response; throws
    // IllegalArgumentException when that claim is impossible.
    static std::vector<uint8_t> receivedData(const MtpResponse& response, uint64_t maxDataLength);
    // GetVendorProperty for `id`; empty (and logged, as an error when `failureIsError`) when the
    // phone cannot report it or refuses.
    std::shared_ptr<MtpResponse> readVendorProperty(IdentifierId id, bool failureIsError);

    Log log_;
    Lifetime lifetime_;
    std::shared_ptr<kv::MtpProvider> provider_;
    std::string deviceId_;
    std::shared_ptr<CurrentProgress> progress_;
    // Written on the operation thread and read by cancel and progress on the host's thread.
    mutable std::mutex ongoingCallMutex_;
    std::weak_ptr<ProgressHandler> ongoingCall_;
    uint64_t ongoingCallWorked_ = 0;
    TrackingReference tracking_;
    std::map<std::string, uint32_t> objectHandles_;
};

}  // namespace kvinternal
