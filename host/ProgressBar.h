#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CancelSwitch.h"
#include "UpdateOutput.h"
#include "kavrin/Kavrin.h"

namespace kvhost {

// Shows how far a long library operation has come on the output's progress line: a thread of
// its own asks the library (GetProgress, which may be called from any thread) ten times a second
// until `finish`, and cancels the operation once the switch is thrown. Create it just before the
// operation and finish it when the operation returns.
class ProgressBar {
public:
    // Written once, as soon as `reached` holds for the fraction done.
    struct Milestone {
        std::function<bool(double fraction)> reached;
        std::string text;
    };

    ProgressBar(std::shared_ptr<UpdateOutput> output, kv::Kavrin& kavrin,
                const CancelSwitch& cancelSwitch, std::string label, uint64_t totalBytes,
                Milestone milestone = {});
    // Finishes as not completed, if `finish` was not called.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Stops asking and leaves the line at 100 % when the operation completed, else where it was
    // last seen (the library reports 1.0 once no operation runs, so it is not asked again).
    void finish(bool completed);

    // "label [#####-----]  50%  64.0 of 128.0 MiB  310.2 MiB/s"; no rate when it is 0.
    static std::string render(const std::string& label, double fraction, uint64_t totalBytes,
                              double bytesPerSecond);

private:
    void run();
    void show(double fraction);

    const std::shared_ptr<UpdateOutput> output_;
    kv::Kavrin& kavrin_;
    const CancelSwitch& cancelSwitch_;
    const std::string label_;
    const uint64_t totalBytes_;
    Milestone milestone_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    bool finished_ = false;
    // The first and the last fraction seen, for the rate and the final line.
    double firstFraction_ = -1.0;
    double lastFraction_ = 0.0;
    std::thread thread_;
};

}  // namespace kvhost
