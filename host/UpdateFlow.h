#pragma once

#include <optional>

#include "CommandLine.h"
#include "ProgressBar.h"
#include "SharedPackages.h"
#include "SimulatedServer.h"
#include "UpdateOutput.h"
#include "UpdateSteps.h"
#include "kavrin/Kavrin.h"

namespace kvhost {

// What the update of one phone came to.
struct UpdateRecord {
    kv::Kavrin::Result result = kv::Kavrin::Result::Ok;
    // The update carried out; its id is empty when none was offered, or the search failed.
    kv::Kavrin::UpdateMetadata update;
    // What a legacy phone reported once it had installed.
    std::optional<kv::Kavrin::FinalResult> finalResult;

    // 0 when the phone was updated or had nothing to update (see ExitCodes).
    int exitCode() const;
};

// The commands that find an update and carry it out: `download`, `transfer` and `install` up to
// their step with the update named on the command line, `update` to its end with the first delta
// update offered. Each runs the earlier steps it needs, since update ids live in one session.
// Safe to use from several threads, each with steps of its own.
class UpdateFlow {
public:
    using Result = kv::Kavrin::Result;
    using Update = kv::Kavrin::UpdateMetadata;

    // `server` is the simulated one, or null; it outlives the flow.
    UpdateFlow(const HostOptions& options, const SimulatedServer* server);

    // `download`, `transfer` or `install`.
    Result upToStep(UpdateSteps& steps, UpdateOutput& output) const;
    // `update`. With a claim (`update --all`), the package is deleted after the installation
    // only when the claim allows it.
    UpdateRecord whole(UpdateSteps& steps, UpdateOutput& output,
                       SharedPackages::Claim* claim) const;

private:
    // Identifies the phone and searches; `update` is the one asked for, or the first delta one.
    Result findUpdate(UpdateSteps& steps, UpdateOutput& output, Update& update) const;
    // Downloads, then transfers and installs unless `lastStep` comes earlier.
    Result advance(UpdateSteps& steps, const Update& update, Command lastStep,
                   bool keepPackage) const;
    ProgressBar::Milestone holdMilestone() const;

    const HostOptions& options_;
    const SimulatedServer* const server_;
};

}  // namespace kvhost
