#pragma once

#include <string>

#include "UpdateFlow.h"

namespace kvhost {

// How the update of one phone of `update --all` went: a row of the table at the end.
struct PhoneOutcome {
    std::string deviceId;
    std::string serial;
    std::string model;
    // Empty when the phone does not say.
    std::string versionBefore;
    UpdateRecord record;
    // The step that failed, as UpdateSteps names it ("the transfer"), or "opening the phone".
    std::string failedStep;
    // Why the phone could not be updated at all (it could not be opened), empty otherwise.
    std::string problem;
    double seconds = 0;

    // 0 when the phone was updated or had nothing to update (see ExitCodes).
    int exitCode() const;
    // "updated", "nothing to update" or "failed".
    std::string result() const;
    // Why it failed: "device error", the problem, or what the phone reported.
    std::string reason() const;
    // The result column: "updated", or "the transfer failed: device error (4)".
    std::string summary() const;
};

}  // namespace kvhost
