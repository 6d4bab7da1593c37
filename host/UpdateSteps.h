#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CancelSwitch.h"
#include "ProgressBar.h"
#include "UpdateOutput.h"
#include "kavrin/Kavrin.h"

namespace kvhost {

// The steps of an update on one library session, in the library's calling order. Each step says
// what it does, runs one library operation and returns its Result; a failed step adds one line
// naming it and the result, below the library's own error lines. Downloads and transfers show a
// progress bar. Once the cancel switch is thrown, a step that has not started ends as cancelled
// without calling the library.
class UpdateSteps {
public:
    using Result = kv::Kavrin::Result;
    using Update = kv::Kavrin::UpdateMetadata;
    using Updates = std::vector<Update>;

    UpdateSteps(std::shared_ptr<UpdateOutput> output, kv::Kavrin& kavrin,
                const CancelSwitch& cancelSwitch);
    // Ends the session, if one was opened.
    ~UpdateSteps();
    UpdateSteps(const UpdateSteps&) = delete;
    UpdateSteps& operator=(const UpdateSteps&) = delete;

    Result open(const kv::Kavrin::SessionParameters& parameters);
    Result identify(std::string& identificationId);
    Result search(const std::string& identificationId, Updates& updates);
    Result searchCapabilityFile(const std::vector<uint8_t>& file, Updates& updates);
    Result download(const Update& update, ProgressBar::Milestone milestone = {});
    Result transfer(const Update& update);
    Result install(const Update& update, bool keepPackage);
    Result finalResult(bool keepPackage, kv::Kavrin::FinalResult& result);
    Result imei(const std::string& identificationId, std::string& imei);

    // The step that failed ("the transfer"), empty while none has.
    const std::string& failedStep() const { return failedStep_; }

private:
    // Says what the step does (unless `announcement` is empty) and runs it, unless the update is
    // cancelled; reports a failure.
    Result run(const std::string& step, const std::string& announcement,
               const std::function<Result()>& operation);
    Result report(const std::string& step, Result result);
    static Result copyUpdates(Result result, const std::shared_ptr<std::vector<Update>>& found,
                              Updates& updates);

    const std::shared_ptr<UpdateOutput> output_;
    kv::Kavrin& kavrin_;
    const CancelSwitch& cancelSwitch_;
    bool open_ = false;
    std::string failedStep_;
};

}  // namespace kvhost
