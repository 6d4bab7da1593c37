#include "tracking/TrackingStatusMapping.h"

namespace kvinternal {

namespace {

const char codeCancelled[] = "401";
const char codeGeneralError[] = "409";
const char codeDeviceFailure[] = "KV100001";
// Every prefixed code has this many characters unless its number is too long for it.
constexpr std::size_t prefixedCodeLength = 8;

using Errors = std::vector<std::string>;
// The status code of an error event for a phase result; may add error lines.
using ErrorCode = std::string (*)(int32_t phaseResult, int32_t number, Errors& errors);

std::string statusText(TrackingStatus status, Errors& errors) {
    switch (status) {
        case TrackingStatus::Ok:
            return "ok";
        case TrackingStatus::Initiated:
            return "initiated";
        case TrackingStatus::Cancelled:
            return "cancelled";
        case TrackingStatus::Warning:
            return "warning";
        case TrackingStatus::Error:
            return "error";
    }
    errors.push_back("No matching status found");
    return "warning";
}

// What a phase that is given its status makes of the statuses other than error.
struct PhaseRules {
    ErrorCode errorCode;
    const char* unexpectedStatusError;  // logged for a warning
    bool unknownStatusUnexpected;       // logged for values outside the named five as well
};

TrackingOutcome phaseOutcome(const PhaseRules& rules, TrackingStatus status, int32_t phaseResult,
                             int32_t number) {
    TrackingOutcome outcome;
    switch (status) {
        case TrackingStatus::Ok:
        case TrackingStatus::Initiated:
            break;
        case TrackingStatus::Cancelled:
            outcome.statusCode = codeCancelled;
            break;
        case TrackingStatus::Error:
            outcome.statusCode = rules.errorCode(phaseResult, number, outcome.errors);
            break;
        case TrackingStatus::Warning:
            outcome.errors.push_back(rules.unexpectedStatusError);
            break;
        default:
            if (rules.unknownStatusUnexpected) {
                outcome.errors.push_back(rules.unexpectedStatusError);
            }
            break;
    }
    outcome.status = statusText(status, outcome.errors);
    return outcome;
}

std::string downloadErrorCode(int32_t phaseResult, int32_t number, Errors& errors) {
    switch (phaseResult) {
        case 0:
            errors.push_back("Download status was ok for an error update status");
            return "";
        case 1:
            return codeCancelled;
        case 2:
            return codeGeneralError;
        case 3:
            return "450";
        case 4:
            return "454";
        case 5:
            return "502";
        case 6:
            return prefixedCode("DM", number);
        case 7:
            return "DM100002";
        case 8:
            return prefixedCode("KV2", number);
        default:
            errors.push_back("No matching statusCode for download status");
            return codeGeneralError;
    }
}

std::string transferErrorCode(int32_t phaseResult, int32_t number, Errors& errors) {
    switch (phaseResult) {
        case 2:
            return codeGeneralError;
        case 3:
            return codeDeviceFailure;
        case 4:
            return prefixedCode("KV3", number);
        default:
            errors.push_back("No matching statusCode for transfer status");
            return codeGeneralError;
    }
}

std::string installErrorCode(int32_t phaseResult, int32_t number, Errors& errors) {
    switch (phaseResult) {
        case 0:
            errors.push_back("Install status is ok, but update status indicates error");
            return "";
        case 2:
            return prefixedCode("UA", number);
        case 3:
            return prefixedCode("KV", number);
        case 5:
            return codeDeviceFailure;
        case 6:
            return prefixedCode("KV3", number);
        default:
            errors.push_back("No matching statusCode for install status");
            return codeGeneralError;
    }
}

TrackingOutcome derived(const char* status, std::string statusCode, Errors errors = {}) {
    return {status, std::move(statusCode), std::move(errors)};
}

}  // namespace

std::string prefixedCode(const std::string& prefix, int32_t number) {
    const std::string digits = std::to_string(static_cast<uint32_t>(number));
    const std::size_t width =
        prefixedCodeLength > prefix.size() ? prefixedCodeLength - prefix.size() : 0;
    const std::size_t padding = digits.size() < width ? width - digits.size() : 0;
    return prefix + std::string(padding, '0') + digits;
}

TrackingOutcome downloadOutcome(TrackingStatus status, int32_t phaseResult, int32_t number) {
    return phaseOutcome({downloadErrorCode, "Warning event for download not allowed", false},
                        status, phaseResult, number);
}

TrackingOutcome transferOutcome(TrackingStatus status, int32_t phaseResult, int32_t number) {
    return phaseOutcome({transferErrorCode, "Invalid update status for transfer phase", true},
                        status, phaseResult, number);
}

TrackingOutcome installOutcome(TrackingStatus status, int32_t phaseResult, int32_t number) {
    return phaseOutcome({installErrorCode, "Invalid update status for install phase", true}, status,
                        phaseResult, number);
}

TrackingOutcome preverificationOutcome(int32_t phaseResult, int32_t number) {
    switch (phaseResult) {
        case 0:
            return derived("ok", "");
        case 1:
            return derived("error", "VE000001");
        case 2:
            return derived("error", codeDeviceFailure);
        case 3:
            return derived("error", prefixedCode("KV", number));
        case 4:
            return derived("cancelled", codeCancelled);
        case 5:
            return derived("error", prefixedCode("KV3", number));
        default:
            return derived("error", "VE000002",
                           {"No matching statusCode for preverification status"});
    }
}

TrackingOutcome manifestErrorOutcome(int32_t phaseResult, int32_t number) {
    switch (phaseResult) {
        case 0:
            return derived("cancelled", codeCancelled);
        case 1:
            return derived("error", codeGeneralError);
        case 2:
            return derived("error", "451");
        case 3:
            return derived("error", prefixedCode("DM", number));
        case 4:
            return derived("error", prefixedCode("KV2", number));
        default:
            return derived("error", codeGeneralError,
                           {"No matching status code for manifest error"});
    }
}

}  // namespace kvinternal
