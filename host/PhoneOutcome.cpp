#include "PhoneOutcome.h"

#include "ExitCodes.h"

namespace kvhost {

int PhoneOutcome::exitCode() const {
    return problem.empty() ? record.exitCode() : ExitCodes::hostFailure;
}

std::string PhoneOutcome::result() const {
    if (exitCode() != 0) {
        return "failed";
    }
    return record.update.id.empty() ? "nothing to update" : "updated";
}

std::string PhoneOutcome::reason() const {
    if (!problem.empty()) {
        return problem;
    }
    if (record.result != kv::Kavrin::Result::Ok) {
        return ExitCodes::describe(record.result);
    }
    if (exitCode() != 0) {
        return "the phone reported that its installation failed (result code " +
               std::to_string(record.finalResult->resultCode) + ")";
    }
    return "";
}

std::string PhoneOutcome::summary() const {
    const int code = exitCode();
    if (code == 0) {
        return result();
    }
    std::string what;
    if (!problem.empty()) {
        what = failedStep.empty() ? "kavrin could not update the phone" : failedStep + " failed";
    } else {
        what = failedStep.empty() ? reason() : failedStep + " failed: " + reason();
    }
    return what + " (" + std::to_string(code) + ")";
}

}  // namespace kvhost
