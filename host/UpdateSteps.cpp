#include "UpdateSteps.h"

#include <algorithm>
#include <utility>

#include "ExitCodes.h"

namespace kvhost {

using Result = kv::Kavrin::Result;

UpdateSteps::UpdateSteps(std::shared_ptr<UpdateOutput> output, kv::Kavrin& kavrin,
                         const CancelSwitch& cancelSwitch)
    : output_(std::move(output)), kavrin_(kavrin), cancelSwitch_(cancelSwitch) {}

UpdateSteps::~UpdateSteps() {
    if (open_) {
        kavrin_.DestroySession();
    }
}

Result UpdateSteps::open(const kv::Kavrin::SessionParameters& parameters) {
    const Result result =
        run("opening the session", "", [&] { return kavrin_.CreateSession(parameters); });
    open_ = result == Result::Ok;
    return result;
}

Result UpdateSteps::identify(std::string& identificationId) {
    return run("identification", "Identifying the phone", [&] {
        std::shared_ptr<std::string> id;
        const Result result = kavrin_.IdentifyDevice(id);
        if (result == Result::Ok && id) {
            identificationId = *id;
        }
        return result;
    });
}

Result UpdateSteps::search(const std::string& identificationId, Updates& updates) {
    return run("the search for updates", "Searching for updates", [&] {
        std::shared_ptr<std::vector<Update>> found;
        return copyUpdates(kavrin_.GetUpdates(identificationId, found), found, updates);
    });
}

Result UpdateSteps::searchCapabilityFile(const std::vector<uint8_t>& file, Updates& updates) {
    return run("the search for updates",
               "Searching for image updates for the phone of the capability file", [&] {
                   std::shared_ptr<uint8_t[]> data(new uint8_t[file.size()]);
                   std::copy(file.begin(), file.end(), data.get());
                   std::shared_ptr<std::vector<Update>> found;
                   return copyUpdates(
                       kavrin_.GetUpdatesFromDefaultCapabilityFile(data, file.size(), found), found,
                       updates);
               });
}

Result UpdateSteps::download(const Update& update, ProgressBar::Milestone milestone) {
    const std::string what =
        update.id + " (" + update.name + ", " + std::to_string(update.size) + " bytes)";
    return run("the download", "Downloading " + what, [&] {
        ProgressBar bar(output_, kavrin_, cancelSwitch_, "download", update.size,
                        std::move(milestone));
        const Result result = kavrin_.DownloadDeltaUpdate(update.id);
        bar.finish(result == Result::Ok);
        return result;
    });
}

Result UpdateSteps::transfer(const Update& update) {
    return run("the transfer", "Sending the package of " + update.id + " to the phone", [&] {
        ProgressBar bar(output_, kavrin_, cancelSwitch_, "transfer", update.size);
        const Result result = kavrin_.TransferDeltaToDevice(update.id);
        bar.finish(result == Result::Ok);
        return result;
    });
}

Result UpdateSteps::install(const Update& update, bool keepPackage) {
    return run("the installation",
               "Installing " + update.id + ": the phone verifies and installs the package",
               [&] { return kavrin_.UpdateDeviceWithDelta(update.id, !keepPackage); });
}

Result UpdateSteps::finalResult(bool keepPackage, kv::Kavrin::FinalResult& result) {
    return run("reading the final result", "Reading the final result from the phone", [&] {
        std::shared_ptr<kv::Kavrin::FinalResult> read;
        const Result outcome = kavrin_.GetFinalResult(!keepPackage, read);
        if (outcome == Result::Ok && read) {
            result = *read;
        }
        return outcome;
    });
}

Result UpdateSteps::imei(const std::string& identificationId, std::string& imei) {
    return run("reading the IMEI", "Reading the IMEI", [&] {
        std::shared_ptr<std::string> read;
        const Result result = kavrin_.GetImei(identificationId, read);
        if (result == Result::Ok && read) {
            imei = *read;
        }
        return result;
    });
}

Result UpdateSteps::copyUpdates(Result result, const std::shared_ptr<std::vector<Update>>& found,
                                Updates& updates) {
    if (result == Result::Ok && found) {
        updates = *found;
    }
    return result;
}

Result UpdateSteps::run(const std::string& step, const std::string& announcement,
                        const std::function<Result()>& operation) {
    if (cancelSwitch_.cancelled()) {
        return report(step, Result::Cancelled);
    }
    if (!announcement.empty()) {
        output_->step(announcement);
    }
    return report(step, operation());
}

Result UpdateSteps::report(const std::string& step, Result result) {
    if (result != Result::Ok) {
        failedStep_ = step;
        output_->line("kavrin: " + step + " failed: " + ExitCodes::describe(result) +
                      " (exit code " + std::to_string(ExitCodes::of(result)) + ")");
    }
    return result;
}

}  // namespace kvhost
