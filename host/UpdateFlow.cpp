#include "UpdateFlow.h"

#include <algorithm>
#include <string>
#include <vector>

#include "ExitCodes.h"

namespace kvhost {

namespace {

using Result = kv::Kavrin::Result;
using Update = kv::Kavrin::UpdateMetadata;

constexpr int32_t imageUpdate = 1;
constexpr int32_t legacyDeltaUpdate = 0;

std::string offeredIds(const std::vector<Update>& updates) {
    std::string ids;
    for (const Update& update : updates) {
        ids += (ids.empty() ? "" : ", ") + update.id;
    }
    return ids.empty() ? "none" : ids;
}

}  // namespace

int UpdateRecord::exitCode() const {
    if (result != Result::Ok) {
        return ExitCodes::of(result);
    }
    return finalResult && !finalResult->success ? ExitCodes::installationFailed : 0;
}

UpdateFlow::UpdateFlow(const HostOptions& options, const SimulatedServer* server)
    : options_(options), server_(server) {}

Result UpdateFlow::upToStep(UpdateSteps& steps, UpdateOutput& output) const {
    Update update;
    Result result = findUpdate(steps, output, update);
    if (result == Result::Ok && update.id.empty()) {
        return Result::IllegalArgument;
    }
    if (result == Result::Ok) {
        result = advance(steps, update, options_.command, options_.keepPackage);
    }
    if (result == Result::Ok && options_.command == Command::Install &&
        update.type == legacyDeltaUpdate) {
        output.line(
            "kavrin: the phone reboots to install; `kavrin update` reads its final "
            "result in one process");
    }
    return result;
}

UpdateRecord UpdateFlow::whole(UpdateSteps& steps, UpdateOutput& output,
                               SharedPackages::Claim* claim) const {
    UpdateRecord record;
    record.result = findUpdate(steps, output, record.update);
    const bool found = record.result == Result::Ok && !record.update.id.empty();
    if (claim) {
        claim->found(found ? &record.update : nullptr);
    }
    if (!found) {
        if (record.result == Result::Ok) {
            output.line("kavrin: no delta update is offered to this phone: nothing to do");
        }
        return record;
    }
    record.result = advance(steps, record.update, Command::Transfer, options_.keepPackage);
    if (record.result != Result::Ok) {
        return record;
    }
    // Decided just before the installation: by then the claim knows who else needs the package.
    const bool keepPackage = options_.keepPackage || (claim && !claim->lastUser());
    record.result = steps.install(record.update, keepPackage);
    if (record.result != Result::Ok || record.update.type != legacyDeltaUpdate) {
        return record;
    }
    kv::Kavrin::FinalResult read;
    record.result = steps.finalResult(keepPackage, read);
    if (record.result == Result::Ok) {
        record.finalResult = read;
    }
    return record;
}

Result UpdateFlow::findUpdate(UpdateSteps& steps, UpdateOutput& output, Update& update) const {
    std::string identificationId;
    std::vector<Update> updates;
    Result result = steps.identify(identificationId);
    if (result == Result::Ok) {
        result = steps.search(identificationId, updates);
    }
    if (result != Result::Ok) {
        return result;
    }
    const bool firstDelta = options_.command == Command::Update;
    const auto found = std::find_if(updates.begin(), updates.end(), [&](const Update& offered) {
        return firstDelta ? offered.type != imageUpdate : offered.id == options_.updateId;
    });
    if (found != updates.end()) {
        update = *found;
    } else if (!firstDelta) {
        output.line("kavrin: update " + options_.updateId +
                    " is not offered to this phone (offered: " + offeredIds(updates) + ")");
    }
    return result;
}

Result UpdateFlow::advance(UpdateSteps& steps, const Update& update, Command lastStep,
                           bool keepPackage) const {
    Result result = steps.download(update, holdMilestone());
    if (result != Result::Ok || lastStep == Command::Download) {
        return result;
    }
    result = steps.transfer(update);
    if (result != Result::Ok || lastStep == Command::Transfer) {
        return result;
    }
    return steps.install(update, keepPackage);
}

ProgressBar::Milestone UpdateFlow::holdMilestone() const {
    const auto holdAt = options_.simulation.holdPackageAt;
    if (!holdAt || !server_) {
        return {};
    }
    // Announced once the library has stored a part of the package (GetProgress reports 1.0
    // before the download starts), so that a cancellation now leaves bytes to resume from.
    const SimulatedServer* server = server_;
    return {[server, holdAt](double fraction) {
                return fraction > 0.0 && fraction < 1.0 && server->packageBytesServed() >= *holdAt;
            },
            "kavrin: the simulated server holds the package at byte " + std::to_string(*holdAt)};
}

}  // namespace kvhost
