#include "AllPhones.h"

#include <chrono>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "ConsoleLogger.h"
#include "ExitCodes.h"
#include "HostError.h"
#include "InterruptWatcher.h"
#include "ResultPrinter.h"
#include "UpdateSteps.h"

namespace kvhost {

namespace {

using Result = kv::Kavrin::Result;

int firstFailure(const std::vector<PhoneOutcome>& outcomes) {
    for (const PhoneOutcome& outcome : outcomes) {
        if (outcome.exitCode() != 0) {
            return outcome.exitCode();
        }
    }
    return 0;
}

}  // namespace

AllPhones::AllPhones(const HostOptions& options, std::shared_ptr<Console> console,
                     const SimulatedServer* server)
    : options_(options),
      console_(std::move(console)),
      setup_(options, server),
      flow_(options, server) {}

int AllPhones::run() {
    const std::vector<PhoneTarget> phones = targets();
    if (phones.empty()) {
        throw HostError("no MTP phone is attached by USB (kavrin devices lists them)");
    }
    const auto board = std::make_shared<PhoneBoard>(console_);
    std::vector<std::shared_ptr<PhoneRow>> rows;
    std::vector<std::unique_ptr<kv::Kavrin>> objects;
    for (const PhoneTarget& phone : phones) {
        rows.push_back(board->addRow(phone.serial, phone.model));
        rowOf_[phone.deviceId] = rows.back();
        objects.push_back(CreateKavrin());
        cancelSwitch_.add(*objects.back());
        if (usb_) {
            cancelSwitch_.add([usb = usb_, id = phone.deviceId] { usb->cancel(id); });
        }
    }
    SharedPackages packages(phones.size());
    std::vector<PhoneOutcome> outcomes(phones.size());
    {
        InterruptWatcher watcher(console_, [this] { cancelSwitch_.cancel(); });
        std::vector<std::thread> threads;
        const auto joinAll = [&threads] {
            for (std::thread& thread : threads) {
                thread.join();
            }
        };
        try {
            for (std::size_t i = 0; i < phones.size(); ++i) {
                threads.emplace_back(
                    [&, i] { outcomes[i] = updateOne(phones[i], *objects[i], rows[i], packages); });
            }
        } catch (const std::system_error&) {
            // No thread for the next phone: the phones that started stop, and kavrin says why.
            cancelSwitch_.cancel();
            joinAll();
            throw;
        }
        joinAll();
    }
    board->finish();
    report(outcomes);
    return firstFailure(outcomes);
}

std::vector<PhoneTarget> AllPhones::targets() {
    std::vector<PhoneTarget> phones;
    if (options_.phone == "sim") {
        for (unsigned number = 1; number <= options_.simulation.phones; ++number) {
            phones.push_back(simulatedPhone(options_.simulation, number));
        }
        return phones;
    }
    usb_ = usbProvider(options_, [this](const std::string& line) { diagnose(line); });
    for (const kvusb::AttachedPhone& phone : usb_->phones()) {
        phones.push_back(usbPhone(usb_, phone));
    }
    return phones;
}

PhoneOutcome AllPhones::updateOne(const PhoneTarget& target, kv::Kavrin& kavrin,
                                  const std::shared_ptr<PhoneRow>& row,
                                  SharedPackages& packages) const {
    const auto started = std::chrono::steady_clock::now();
    PhoneOutcome outcome;
    outcome.deviceId = target.deviceId;
    outcome.serial = target.serial;
    outcome.model = target.model;
    SharedPackages::Claim claim(packages);
    try {
        if (open(target, outcome)) {
            outcome.versionBefore = softwareVersion(*target.provider, target.deviceId);
            UpdateSteps steps(row, kavrin, cancelSwitch_);
            const auto logger = std::make_shared<ConsoleLogger>(row, options_.verbose);
            outcome.record.result = steps.open(setup_.parameters(target, logger));
            if (outcome.record.result == Result::Ok) {
                outcome.record = flow_.whole(steps, *row, &claim);
            }
            outcome.failedStep = steps.failedStep();
        }
    } catch (const std::exception& failure) {
        outcome.problem = failure.what();
    }
    if (!outcome.problem.empty()) {
        row->line("kavrin: " + outcome.problem);
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    row->close(outcome.summary());
    return outcome;
}

bool AllPhones::open(const PhoneTarget& target, PhoneOutcome& outcome) const {
    std::string problem;
    if (!cancelSwitch_.cancelled() && (!usb_ || usb_->connect(target.deviceId, problem))) {
        return true;
    }
    outcome.failedStep = "opening the phone";
    if (cancelSwitch_.cancelled()) {
        outcome.record.result = Result::Cancelled;
    } else {
        outcome.problem = problem;
    }
    return false;
}

void AllPhones::diagnose(const std::string& line) const {
    for (const auto& [deviceId, row] : rowOf_) {
        if (line.rfind(deviceId + ": ", 0) == 0) {
            row->line("kavrin: USB phone " + line);
            return;
        }
    }
    console_->line("kavrin: USB phone " + line);
}

void AllPhones::report(const std::vector<PhoneOutcome>& outcomes) const {
    ResultPrinter(console_, options_.json).phones(outcomes);
    std::size_t failed = 0;
    for (const PhoneOutcome& outcome : outcomes) {
        failed += outcome.exitCode() != 0 ? 1 : 0;
    }
    console_->line("kavrin: " + std::to_string(outcomes.size() - failed) + " of " +
                   std::to_string(outcomes.size()) + " phones updated or up to date" +
                   (failed == 0 ? ""
                                : "; exit code " + std::to_string(firstFailure(outcomes)) +
                                      ", that of the first phone of the table that failed"));
}

}  // namespace kvhost
