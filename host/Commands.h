#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Console.h"
#include "PhoneTargets.h"
#include "ResultPrinter.h"
#include "SimulatedServer.h"
#include "UpdateSteps.h"
#include "kavrin/Kavrin.h"

namespace kvhost {

// Runs one kavrin command in this process: sets up the phone, the update servers and the
// library session, then the steps the command needs, the earlier ones included, since update
// ids and the simulated phone's state live in one process only. Downloaded bytes and
// identifications stay in the working directory, so a repeated download resumes.
// `update --all` runs on every phone at once (AllPhones).
class Commands {
public:
    Commands(HostOptions options, std::shared_ptr<Console> console);

    // The exit code (see ExitCodes); throws HostError when the command cannot be set up.
    int run();

private:
    using Result = kv::Kavrin::Result;
    using Update = kv::Kavrin::UpdateMetadata;

    int serveUntilInterrupted();
    int listDevices();
    int runOnLibrary();
    int runOnOnePhone();
    int runOnAllPhones();
    int runSteps(UpdateSteps& steps);
    Result identify(UpdateSteps& steps);
    Result imei(UpdateSteps& steps);
    Result listUpdates(UpdateSteps& steps);
    Result finalResult(UpdateSteps& steps);
    int update(UpdateSteps& steps);

    PhoneTarget connectPhone() const;
    // Opens the USB phone the command line names; throws HostError with the reason.
    PhoneTarget usbPhone() const;

    const HostOptions options_;
    const std::shared_ptr<Console> console_;
    const ResultPrinter printer_;
    std::unique_ptr<SimulatedServer> server_;
    std::vector<uint8_t> capabilityFile_;
};

}  // namespace kvhost
