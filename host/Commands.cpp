#include "Commands.h"

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "AllPhones.h"
#include "CancelSwitch.h"
#include "ConsoleLogger.h"
#include "ExitCodes.h"
#include "HostError.h"
#include "InterruptWatcher.h"
#include "SessionSetup.h"
#include "UpdateFlow.h"
#include "UsbMtpProvider.h"

namespace kvhost {

namespace {

using Result = kv::Kavrin::Result;

std::vector<uint8_t> readCapabilityFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        throw HostError("cannot read the capability file " + path);
    }
    return bytes;
}

void createWorkingDirectory(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error || !std::filesystem::is_directory(path)) {
        throw HostError("cannot use the working directory " + path + ": " +
                        (error ? error.message() : "not a directory"));
    }
}

// The one MTP phone attached, for `--phone usb`.
std::string onlyPhone(const std::vector<kvusb::AttachedPhone>& phones) {
    if (phones.empty()) {
        throw HostError("no MTP phone is attached by USB (kavrin devices lists them)");
    }
    if (phones.size() > 1) {
        std::string ids;
        for (const kvusb::AttachedPhone& phone : phones) {
            ids += (ids.empty() ? "" : ", ") + phone.id;
        }
        throw HostError(std::to_string(phones.size()) + " MTP phones are attached (" + ids +
                        "): choose one with --phone usb:SERIAL or --phone usb:BUS:ADDRESS, or "
                        "update them all with --all");
    }
    return phones.front().id;
}

}  // namespace

Commands::Commands(HostOptions options, std::shared_ptr<Console> console)
    : options_(std::move(options)),
      console_(std::move(console)),
      printer_(console_, options_.json) {}

int Commands::run() {
    // Inputs first: a failure here must not unwind through an open session.
    if (!options_.capabilityFile.empty()) {
        capabilityFile_ = readCapabilityFile(options_.capabilityFile);
    }
    if (options_.command == Command::Devices) {
        return listDevices();
    }
    if (options_.server == ServerChoice::Sim) {
        server_ = std::make_unique<SimulatedServer>(options_.simulation);
    }
    return options_.command == Command::SimServer ? serveUntilInterrupted() : runOnLibrary();
}

int Commands::listDevices() {
    printer_.devices(kvusb::UsbMtpProvider().phones());
    return 0;
}

int Commands::serveUntilInterrupted() {
    console_->result("Simulated update server on 127.0.0.1:" + std::to_string(server_->port()) +
                     "\n");
    for (const std::string& entry : server_->connectTo()) {
        console_->result("connect-to " + entry + "\n");
    }
    std::mutex mutex;
    std::condition_variable interrupted;
    bool stop = false;
    InterruptWatcher watcher(console_, [&] {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        interrupted.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    interrupted.wait(lock, [&] { return stop; });
    // What tests that kill and restart downloads compare with the package size.
    console_->result("Package bytes served: " + std::to_string(server_->packageBytesServed()) +
                     "\n");
    return 0;
}

int Commands::runOnLibrary() {
    createWorkingDirectory(options_.workingDirectory);
    const int exitCode = options_.all ? runOnAllPhones() : runOnOnePhone();
    if (options_.verbose && server_) {
        for (const std::string& line : server_->requestLog()) {
            console_->line("simulated server: " + line);
        }
    }
    return exitCode;
}

int Commands::runOnAllPhones() {
    AllPhones phones(options_, console_, server_.get());
    return phones.run();
}

int Commands::runOnOnePhone() {
    const PhoneTarget phone = connectPhone();
    const auto logger = std::make_shared<ConsoleLogger>(console_, options_.verbose);
    const kv::Kavrin::SessionParameters parameters =
        SessionSetup(options_, server_.get()).parameters(phone, logger);
    const std::unique_ptr<kv::Kavrin> kavrin = CreateKavrin();
    CancelSwitch cancelSwitch;
    cancelSwitch.add(*kavrin);
    UpdateSteps steps(console_, *kavrin, cancelSwitch);
    InterruptWatcher watcher(console_, [&cancelSwitch] { cancelSwitch.cancel(); });
    const Result opened = steps.open(parameters);
    return opened == Result::Ok ? runSteps(steps) : ExitCodes::of(opened);
}

int Commands::runSteps(UpdateSteps& steps) {
    switch (options_.command) {
        case Command::Identify:
            return ExitCodes::of(identify(steps));
        case Command::Imei:
            return ExitCodes::of(imei(steps));
        case Command::Updates:
            return ExitCodes::of(listUpdates(steps));
        case Command::Result:
            return ExitCodes::of(finalResult(steps));
        case Command::Update:
            return update(steps);
        case Command::Download:
        case Command::Transfer:
        case Command::Install:
        case Command::SimServer:
        case Command::Devices:
            break;
    }
    return ExitCodes::of(UpdateFlow(options_, server_.get()).upToStep(steps, *console_));
}

Result Commands::identify(UpdateSteps& steps) {
    std::string identificationId;
    const Result result = steps.identify(identificationId);
    if (result == Result::Ok) {
        printer_.identification(identificationId);
    }
    return result;
}

Result Commands::imei(UpdateSteps& steps) {
    std::string identificationId;
    std::string imei;
    Result result = steps.identify(identificationId);
    if (result == Result::Ok) {
        result = steps.imei(identificationId, imei);
    }
    if (result == Result::Ok) {
        printer_.imei(imei);
    }
    return result;
}

Result Commands::listUpdates(UpdateSteps& steps) {
    std::vector<Update> updates;
    Result result = Result::Ok;
    if (!options_.capabilityFile.empty()) {
        result = steps.searchCapabilityFile(capabilityFile_, updates);
    } else {
        std::string identificationId;
        result = steps.identify(identificationId);
        if (result == Result::Ok) {
            result = steps.search(identificationId, updates);
        }
    }
    if (result == Result::Ok) {
        printer_.updates(updates);
    }
    return result;
}

Result Commands::finalResult(UpdateSteps& steps) {
    kv::Kavrin::FinalResult read;
    const Result result = steps.finalResult(options_.keepPackage, read);
    if (result == Result::Ok) {
        printer_.finalResult(&read, "");
    } else if (result == Result::IllegalArgument) {
        console_->line(
            "kavrin: no installation is pending in this process: the library keeps it in the "
            "session that installed, so run `kavrin update`, which reads the final result itself");
    }
    return result;
}

int Commands::update(UpdateSteps& steps) {
    const UpdateRecord record =
        UpdateFlow(options_, server_.get()).whole(steps, *console_, nullptr);
    if (record.result == Result::Ok && !record.update.id.empty()) {
        printer_.finalResult(record.finalResult ? &*record.finalResult : nullptr, record.update.id);
    }
    return record.exitCode();
}

PhoneTarget Commands::connectPhone() const {
    return options_.phone == "sim" ? simulatedPhone(options_.simulation, 1) : usbPhone();
}

PhoneTarget Commands::usbPhone() const {
    const auto provider = usbProvider(options_, [console = console_](const std::string& line) {
        console->line("kavrin: USB phone " + line);
    });
    const std::string deviceId =
        options_.phone == "usb" ? onlyPhone(provider->phones()) : options_.phone;
    std::string problem;
    if (!provider->connect(deviceId, problem)) {
        throw HostError(problem);
    }
    return {provider, deviceId, deviceId, ""};
}

}  // namespace kvhost
