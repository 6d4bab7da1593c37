#include "Commands.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "ConsoleLogger.h"
#include "CurlHttpProvider.h"
#include "ExitCodes.h"
#include "HostError.h"
#include "InterruptWatcher.h"
#include "SimulatedPhone.h"
#include "UsbMtpProvider.h"

namespace kvhost {

namespace {

using Result = kv::Kavrin::Result;
using Update = kv::Kavrin::UpdateMetadata;

constexpr int32_t imageUpdate = 1;
constexpr int32_t legacyDeltaUpdate = 0;

kv::Kavrin::Server environmentOf(ServerChoice server) {
    switch (server) {
        case ServerChoice::Stage:
            return kv::Kavrin::Server::Stage;
        case ServerChoice::SysTest:
            return kv::Kavrin::Server::SysTest;
        case ServerChoice::Release:
            return kv::Kavrin::Server::Release;
        case ServerChoice::Sim:
        case ServerChoice::Test:
            break;
    }
    return kv::Kavrin::Server::Test;
}

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
                        "): choose one with --phone usb:SERIAL or --phone usb:BUS:ADDRESS");
    }
    return phones.front().id;
}

std::string offeredIds(const std::vector<Update>& updates) {
    std::string ids;
    for (const Update& update : updates) {
        ids += (ids.empty() ? "" : ", ") + update.id;
    }
    return ids.empty() ? "none" : ids;
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
    const kv::Kavrin::SessionParameters parameters = sessionParameters();
    const std::unique_ptr<kv::Kavrin> kavrin = CreateKavrin();
    Result result = Result::Ok;
    {
        UpdateSteps steps(console_, *kavrin);
        InterruptWatcher watcher(console_, [&kavrin] { kavrin->Cancel(); });
        result = steps.open(parameters);
        if (result == Result::Ok) {
            result = runSteps(steps);
        }
    }
    if (options_.verbose && server_) {
        for (const std::string& line : server_->requestLog()) {
            console_->line("simulated server: " + line);
        }
    }
    return ExitCodes::of(result);
}

Result Commands::runSteps(UpdateSteps& steps) {
    switch (options_.command) {
        case Command::Identify:
            return identify(steps);
        case Command::Imei:
            return imei(steps);
        case Command::Updates:
            return listUpdates(steps);
        case Command::Result:
            return finalResult(steps);
        case Command::Update:
            return update(steps);
        case Command::Download:
        case Command::Transfer:
        case Command::Install:
        case Command::SimServer:
        case Command::Devices:
            break;
    }
    return updateStep(steps);
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

Result Commands::update(UpdateSteps& steps) {
    Update update;
    Result result = findUpdate(steps, update);
    if (result == Result::Ok && update.id.empty()) {
        console_->line("kavrin: no delta update is offered to this phone: nothing to do");
        return Result::Ok;
    }
    if (result == Result::Ok) {
        result = advance(steps, update, Command::Install);
    }
    if (result != Result::Ok) {
        return result;
    }
    if (update.type != legacyDeltaUpdate) {
        printer_.finalResult(nullptr, update.id);
        return result;
    }
    kv::Kavrin::FinalResult read;
    result = steps.finalResult(options_.keepPackage, read);
    if (result == Result::Ok) {
        printer_.finalResult(&read, update.id);
    }
    return result;
}

Result Commands::updateStep(UpdateSteps& steps) {
    Update update;
    Result result = findUpdate(steps, update);
    if (result == Result::Ok && update.id.empty()) {
        return Result::IllegalArgument;
    }
    if (result == Result::Ok) {
        result = advance(steps, update, options_.command);
    }
    if (result == Result::Ok && options_.command == Command::Install &&
        update.type == legacyDeltaUpdate) {
        console_->line(
            "kavrin: the phone reboots to install; `kavrin update` reads its final "
            "result in one process");
    }
    return result;
}

Result Commands::findUpdate(UpdateSteps& steps, Update& update) {
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
        console_->line("kavrin: update " + options_.updateId +
                       " is not offered to this phone (offered: " + offeredIds(updates) + ")");
    }
    return result;
}

Result Commands::advance(UpdateSteps& steps, const Update& update, Command lastStep) {
    Result result = steps.download(update, holdMilestone());
    if (result != Result::Ok || lastStep == Command::Download) {
        return result;
    }
    result = steps.transfer(update);
    if (result != Result::Ok || lastStep == Command::Transfer) {
        return result;
    }
    return steps.install(update, options_.keepPackage);
}

ProgressBar::Milestone Commands::holdMilestone() const {
    const auto holdAt = options_.simulation.holdPackageAt;
    if (!holdAt || !server_) {
        return {};
    }
    // Announced once the library has stored a part of the package (GetProgress reports 1.0
    // before the download starts), so that a cancellation now leaves bytes to resume from.
    const SimulatedServer* server = server_.get();
    return {[server, holdAt](double fraction) {
                return fraction > 0.0 && fraction < 1.0 && server->packageBytesServed() >= *holdAt;
            },
            "kavrin: the simulated server holds the package at byte " + std::to_string(*holdAt)};
}

kv::Kavrin::SessionParameters Commands::sessionParameters() const {
    kv::Kavrin::SessionParameters parameters;
    parameters.logger = std::make_shared<ConsoleLogger>(console_, options_.verbose);
    parameters.httpProvider = httpProvider();
    const Phone phone = connectPhone();
    parameters.mtpProvider = phone.provider;
    parameters.deviceId = phone.deviceId;
    parameters.workingDirectory = options_.workingDirectory;
    parameters.yavServer = parameters.zuntServer = environmentOf(options_.server);
    parameters.language = options_.language;
    parameters.buildVariant = options_.buildVariant;
    parameters.certificateChoice = options_.certificate;
    parameters.clientName = options_.clientName;
    parameters.clientVersion = options_.clientVersion;
    return parameters;
}

std::shared_ptr<kv::HttpProvider> Commands::httpProvider() const {
    CurlHttpProvider::Options options;
    options.limits = options_.transferLimits;
    if (server_) {
        options.connectTo = server_->connectTo();
        options.trustedCertificatesPem = server_->trustedCertificatePem();
    }
    return std::make_shared<CurlHttpProvider>(std::move(options));
}

Commands::Phone Commands::connectPhone() const {
    return options_.phone == "sim" ? simulatedPhone() : usbPhone();
}

Commands::Phone Commands::usbPhone() const {
    kvusb::UsbMtpProvider::Options usb;
    usb.detachKernelDriver = options_.detachKernelDriver;
    usb.diagnostics = [console = console_](const std::string& line) {
        console->line("kavrin: USB phone " + line);
    };
    auto provider = std::make_shared<kvusb::UsbMtpProvider>(std::move(usb));
    const std::string deviceId =
        options_.phone == "usb" ? onlyPhone(provider->phones()) : options_.phone;
    std::string problem;
    if (!provider->connect(deviceId, problem)) {
        throw HostError(problem);
    }
    return {provider, deviceId};
}

Commands::Phone Commands::simulatedPhone() const {
    auto phone = std::make_shared<kvtest::SimulatedPhone>(options_.simulation.phoneKind);
    // Large packages: keep their size and digest, not their bytes.
    phone->setTransferMode(kvtest::SimulatedPhone::TransferMode::DigestOnly);
    phone->setTransferChunkSize(1 << 20);
    phone->installOnVerify({SimulatedServer::targetVersion,
                            kvtest::SimulatedPhone::FotaStatus::withReport(0, "update installed")});
    return {phone, kvtest::SimulatedPhone::defaultDeviceId};
}

}  // namespace kvhost
