#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CancelSwitch.h"
#include "CommandLine.h"
#include "Console.h"
#include "PhoneBoard.h"
#include "PhoneOutcome.h"
#include "PhoneTargets.h"
#include "SessionSetup.h"
#include "SharedPackages.h"
#include "SimulatedServer.h"
#include "UpdateFlow.h"
#include "UsbMtpProvider.h"

namespace kvhost {

// `kavrin update --all`: updates every MTP phone attached by USB (or several simulated phones)
// at once, each with a library object and a thread of its own, all in the one working
// directory. A phone that fails ends only its own update; Ctrl-C cancels them all. At the end a
// table, or with --json one object per phone, says how each went.
class AllPhones {
public:
    // `server` is the simulated one, or null; it outlives this.
    AllPhones(const HostOptions& options, std::shared_ptr<Console> console,
              const SimulatedServer* server);

    // The exit code: 0 when every phone was updated or had nothing to update, otherwise that of
    // the first phone of the table that failed. Throws HostError when there is no phone.
    int run();

private:
    std::vector<PhoneTarget> targets();
    PhoneOutcome updateOne(const PhoneTarget& target, kv::Kavrin& kavrin,
                           const std::shared_ptr<PhoneRow>& row, SharedPackages& packages) const;
    // Opens a USB phone now, so that one kavrin cannot open fails before its session; false,
    // with the reason in the outcome, when it cannot be opened or the update is cancelled.
    bool open(const PhoneTarget& target, PhoneOutcome& outcome) const;
    void report(const std::vector<PhoneOutcome>& outcomes) const;
    // A line of the USB provider, on the row of the phone it names.
    void diagnose(const std::string& line) const;

    const HostOptions& options_;
    const std::shared_ptr<Console> console_;
    const SessionSetup setup_;
    const UpdateFlow flow_;
    // Filled before the phones' threads start; outlives the provider, whose lines it takes.
    std::map<std::string, std::shared_ptr<PhoneRow>> rowOf_;
    std::shared_ptr<kvusb::UsbMtpProvider> usb_;
    CancelSwitch cancelSwitch_;
};

}  // namespace kvhost
