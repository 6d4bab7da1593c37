#include "WorkerPlan.h"

#include <stdexcept>

namespace kvsoak {

std::vector<std::string> WorkerPlan::arguments() const {
    return {workingDirectory,
            std::to_string(phone),
            std::to_string(static_cast<unsigned>(phoneFault)),
            std::to_string(phoneGoneAfter),
            std::to_string(fileSizeLimit),
            std::to_string(clockStart)};
}

WorkerPlan WorkerPlan::parse(const std::vector<std::string>& arguments) {
    if (arguments.size() != 6) {
        throw std::invalid_argument("soak: a worker takes six arguments");
    }
    WorkerPlan plan;
    plan.workingDirectory = arguments[0];
    plan.phone = static_cast<uint32_t>(std::stoul(arguments[1]));
    const unsigned fault = static_cast<unsigned>(std::stoul(arguments[2]));
    if (fault > static_cast<unsigned>(PhoneFault::Gone)) {
        throw std::invalid_argument("soak: no such phone fault");
    }
    plan.phoneFault = static_cast<PhoneFault>(fault);
    plan.phoneGoneAfter = std::stoull(arguments[3]);
    plan.fileSizeLimit = std::stoull(arguments[4]);
    plan.clockStart = std::stoull(arguments[5]);
    return plan;
}

}  // namespace kvsoak
