// The update agent's final result, read from a legacy FOTA phone after its reboot.
#include <string>

#include "common/Utf.h"
#include "control/Exceptions.h"
#include "mtp/MtpCodec.h"
#include "mtp/MtpService.h"
#include "mtp/PhaseTracking.h"

namespace kvinternal {

namespace {

const FailureRows installFailures{
    "Sending install failed tracking event due to client cancellation",
    {4, 6, 5, 1, 1},
    "Install failed due to a device problem",
    "Install failed due to general error",
    "Install failed due to general (...) error",
};

// The result code when the phone's answer carries none.
constexpr uint32_t defaultResultCode = 240;

std::string refusalMessage(uint16_t responseCode) {
    switch (responseCode) {
        case mtpresponse::generalError:
            return "Response general error for MTP operation read fota status (0x9171)";
        case mtpresponse::operationNotSupported:
            return "MTP operation read fota status (0x9171) not supported";
        default:
            return "Unknown new MTP response code for MTP operation read fota status(0x9171): " +
                   std::to_string(responseCode);
    }
}

// The install report for an accepted answer. Only parameter 1 is read, from its fixed place, so
// a provider claiming more than five parameters cannot lead past the array.
PhaseRow agentRow(const MtpService::MtpResponse& response, const std::string& report) {
    if (response.numberOfParameters == 0) {
        return {TrackingStatus::Error, 1, report, static_cast<int32_t>(defaultResultCode)};
    }
    // Tracking writes the number back as unsigned, so large agent codes survive the cast.
    const auto code = static_cast<int32_t>(response.parameters[0]);
    if (code == 0) {
        return {TrackingStatus::Ok, 0, report, 0};
    }
    return {TrackingStatus::Error, 2, report, code};
}

}  // namespace

std::string MtpService::agentReport(const MtpResponse& response) {
    try {
        const auto data = receivedData(response, responseBufferSize);
        if (data.empty()) {
            return {};
        }
        const uint8_t* cursor = data.data();
        return utf16ToUtf8(readMtpString(cursor, data.size(), true));
    } catch (const IllegalArgumentException& e) {
        return std::string("Failed to parse short report data: ") + e.what();
    }
}

void MtpService::getFinalResult(const InternalUpdateMetadata& metadata,
                                const IdentifierCollection& identifiers,
                                std::shared_ptr<kv::Kavrin::FinalResult>& out) {
    log_.info("Getting final delta result (MTP operation 0x9171) for latest update");
    const PhaseTracking tracking(log_, trackingServiceReference(), identifiers, metadata);
    const Exchange exchange = execute(createRequest(mtpoperation::readFotaStatus), true);
    checkMtpResultReported(exchange.result, installFailures, [&tracking](const PhaseRow& row) {
        tracking.installWithAgentReport(row);
    });
    const MtpResponse& response = *exchange.response;
    if (response.responseCode != mtpresponse::ok) {
        const std::string message = refusalMessage(response.responseCode);
        tracking.installWithAgentReport({TrackingStatus::Error, 3, message, response.responseCode});
        throw IllegalStateException(message);
    }

    const std::string report = agentReport(response);
    const PhaseRow row = agentRow(response, report);
    if (!report.empty()) {
        log_.verbose("Report from Update Agent: " + report);
    }
    tracking.installWithAgentReport(row);
    out = std::make_shared<kv::Kavrin::FinalResult>();
    out->success = row.status == TrackingStatus::Ok;
    out->resultCode = static_cast<uint32_t>(row.number);
}

}  // namespace kvinternal
