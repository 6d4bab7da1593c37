#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tracking/TrackingStatus.h"

// How the outcome of each phase becomes the "status" and "statusCode" members of its tracking
// document. Pure functions: the caller logs `errors` and sends the event whatever they say.
namespace kvinternal {

struct TrackingOutcome {
    std::string status;      // "ok", "initiated", "cancelled", "warning" or "error"
    std::string statusCode;  // empty when the event carries none
    // Error lines for combinations the phase should not report, in the order met.
    std::vector<std::string> errors;
};

// `prefix` followed by `number` in decimal, padded on the left with '0' so that the code has
// eight characters; a longer number is written whole. A negative number is written as its
// unsigned 32-bit value, so the code stays a prefix followed by digits.
std::string prefixedCode(const std::string& prefix, int32_t number);

// The phase results and numbers are those the reporting flows give; see each flow.
TrackingOutcome downloadOutcome(TrackingStatus status, int32_t phaseResult, int32_t number);
TrackingOutcome transferOutcome(TrackingStatus status, int32_t phaseResult, int32_t number);
TrackingOutcome preverificationOutcome(int32_t phaseResult, int32_t number);
TrackingOutcome installOutcome(TrackingStatus status, int32_t phaseResult, int32_t number);
TrackingOutcome manifestErrorOutcome(int32_t phaseResult, int32_t number);

}  // namespace kvinternal
