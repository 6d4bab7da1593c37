#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Console.h"
#include "ProgressBar.h"
#include "ResultPrinter.h"
#include "SimulatedServer.h"
#include "UpdateSteps.h"
#include "kavrin/HttpProvider.h"
#include "kavrin/Kavrin.h"
#include "kavrin/MtpProvider.h"

namespace kvhost {

// Runs one kavrin command in this process: sets up the phone, the update servers and the
// library session, then the steps the command needs, the earlier ones included, since update
// ids and the simulated phone's state live in one process only. Downloaded bytes and
// identifications stay in the working directory, so a repeated download resumes.
class Commands {
public:
    Commands(HostOptions options, std::shared_ptr<Console> console);

    // The exit code (see ExitCodes); throws HostError when the command cannot be set up.
    int run();

private:
    using Result = kv::Kavrin::Result;
    using Update = kv::Kavrin::UpdateMetadata;

    // The phone's provider and the device id it knows the phone by.
    struct Phone {
        std::shared_ptr<kv::MtpProvider> provider;
        std::string deviceId;
    };

    int serveUntilInterrupted();
    int listDevices();
    int runOnLibrary();
    Result runSteps(UpdateSteps& steps);
    Result identify(UpdateSteps& steps);
    Result imei(UpdateSteps& steps);
    Result listUpdates(UpdateSteps& steps);
    Result finalResult(UpdateSteps& steps);
    Result update(UpdateSteps& steps);
    // download, transfer and install of the update named on the command line.
    Result updateStep(UpdateSteps& steps);
    // Identifies the phone and searches; `update` is the one asked for, or the first delta one.
    Result findUpdate(UpdateSteps& steps, Update& update);
    // Downloads, then transfers and installs unless the command stops earlier.
    Result advance(UpdateSteps& steps, const Update& update, Command lastStep);

    ProgressBar::Milestone holdMilestone() const;
    kv::Kavrin::SessionParameters sessionParameters() const;
    std::shared_ptr<kv::HttpProvider> httpProvider() const;
    Phone connectPhone() const;
    Phone simulatedPhone() const;
    // Opens the USB phone the command line names; throws HostError with the reason.
    Phone usbPhone() const;

    const HostOptions options_;
    const std::shared_ptr<Console> console_;
    const ResultPrinter printer_;
    std::unique_ptr<SimulatedServer> server_;
    std::vector<uint8_t> capabilityFile_;
};

}  // namespace kvhost
