#include "UpdateSteps.h"

#include <algorithm>
#include <utility>

#include "ExitCodes.h"

namespace kvhost {

using Result = kv::Kavrin::Result;

UpdateSteps::UpdateSteps(std::shared_ptr<Console> console, kv::Kavrin& kavrin)
    : console_(std::move(console)), kavrin_(kavrin) {}

UpdateSteps::~UpdateSteps() {
    if (open_) {
        kavrin_.DestroySession();
    }
}

Result UpdateSteps::open(const kv::Kavrin::SessionParameters& parameters) {
    const Result result = kavrin_.CreateSession(parameters);
    open_ = result == Result::Ok;
    return report("opening the session", result);
}

Result UpdateSteps::identify(std::string& identificationId) {
    announce("Identifying the phone");
    std::shared_ptr<std::string> id;
    const Result result = kavrin_.IdentifyDevice(id);
    if (result == Result::Ok && id) {
        identificationId = *id;
    }
    return report("identification", result);
}

Result UpdateSteps::search(const std::string& identificationId, Updates& updates) {
    announce("Searching for updates");
    std::shared_ptr<std::vector<Update>> found;
    return report("the search for updates",
                  copyUpdates(kavrin_.GetUpdates(identificationId, found), found, updates));
}

Result UpdateSteps::searchCapabilityFile(const std::vector<uint8_t>& file, Updates& updates) {
    announce("Searching for image updates for the phone of the capability file");
    std::shared_ptr<uint8_t[]> data(new uint8_t[file.size()]);
    std::copy(file.begin(), file.end(), data.get());
    std::shared_ptr<std::vector<Update>> found;
    const Result result = kavrin_.GetUpdatesFromDefaultCapabilityFile(data, file.size(), found);
    return report("the search for updates", copyUpdates(result, found, updates));
}

Result UpdateSteps::download(const Update& update, ProgressBar::Milestone milestone) {
    announce("Downloading " + update.id + " (" + update.name + ", " + std::to_string(update.size) +
             " bytes)");
    ProgressBar bar(console_, kavrin_, "download", update.size, std::move(milestone));
    const Result result = kavrin_.DownloadDeltaUpdate(update.id);
    bar.finish(result == Result::Ok);
    return report("the download", result);
}

Result UpdateSteps::transfer(const Update& update) {
    announce("Sending the package of " + update.id + " to the phone");
    ProgressBar bar(console_, kavrin_, "transfer", update.size);
    const Result result = kavrin_.TransferDeltaToDevice(update.id);
    bar.finish(result == Result::Ok);
    return report("the transfer", result);
}

Result UpdateSteps::install(const Update& update, bool keepPackage) {
    announce("Installing " + update.id + ": the phone verifies and installs the package");
    return report("the installation", kavrin_.UpdateDeviceWithDelta(update.id, !keepPackage));
}

Result UpdateSteps::finalResult(bool keepPackage, kv::Kavrin::FinalResult& result) {
    announce("Reading the final result from the phone");
    std::shared_ptr<kv::Kavrin::FinalResult> read;
    const Result outcome = kavrin_.GetFinalResult(!keepPackage, read);
    if (outcome == Result::Ok && read) {
        result = *read;
    }
    return report("reading the final result", outcome);
}

Result UpdateSteps::imei(const std::string& identificationId, std::string& imei) {
    announce("Reading the IMEI");
    std::shared_ptr<std::string> read;
    const Result result = kavrin_.GetImei(identificationId, read);
    if (result == Result::Ok && read) {
        imei = *read;
    }
    return report("reading the IMEI", result);
}

Result UpdateSteps::copyUpdates(Result result, const std::shared_ptr<std::vector<Update>>& found,
                                Updates& updates) {
    if (result == Result::Ok && found) {
        updates = *found;
    }
    return result;
}

Result UpdateSteps::report(const std::string& step, Result result) {
    if (result != Result::Ok) {
        console_->line("kavrin: " + step + " failed: " + ExitCodes::describe(result) +
                       " (exit code " + std::to_string(ExitCodes::of(result)) + ")");
    }
    return result;
}

void UpdateSteps::announce(const std::string& text) {
    console_->line("==> " + text);
}

}  // namespace kvhost
