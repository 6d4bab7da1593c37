#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace kvhost {

namespace {

constexpr auto tick = std::chrono::milliseconds(100);
constexpr int barWidth = 30;
constexpr double mebibyte = 1024.0 * 1024.0;

}  // namespace

ProgressBar::ProgressBar(std::shared_ptr<UpdateOutput> output, kv::Kavrin& kavrin,
                         const CancelSwitch& cancelSwitch, std::string label, uint64_t totalBytes,
                         Milestone milestone)
    : output_(std::move(output)),
      kavrin_(kavrin),
      cancelSwitch_(cancelSwitch),
      label_(std::move(label)),
      totalBytes_(totalBytes),
      milestone_(std::move(milestone)),
      thread_([this] { run(); }) {}

ProgressBar::~ProgressBar() {
    finish(false);
}

void ProgressBar::finish(bool completed) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            return;
        }
        finished_ = stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
    show(completed ? 1.0 : lastFraction_);
    output_->endProgress();
}

void ProgressBar::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool started = false;
    bool cancelled = false;
    while (!stop_.wait_for(lock, tick, [this] { return stopping_; })) {
        lock.unlock();
        if (!cancelled && cancelSwitch_.cancelled()) {
            cancelled = true;
            kavrin_.Cancel();
        }
        double fraction = 0.0;
        kavrin_.GetProgress(fraction);
        // The library reports 1.0 until the operation has started.
        started = started || fraction < 1.0;
        if (started) {
            show(fraction);
        }
        if (milestone_.reached && milestone_.reached(fraction)) {
            output_->line(milestone_.text);
            milestone_.reached = nullptr;
        }
        lock.lock();
    }
}

void ProgressBar::show(double fraction) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (firstFraction_ < 0.0) {
        firstFraction_ = fraction;
    }
    lastFraction_ = fraction;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double rate =
        seconds > 0.0 ? (fraction - firstFraction_) * static_cast<double>(totalBytes_) / seconds
                      : 0.0;
    output_->progress(render(label_, fraction, totalBytes_, rate));
}

std::string ProgressBar::render(const std::string& label, double fraction, uint64_t totalBytes,
                                double bytesPerSecond) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(fraction * barWidth);
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "] %3d%%  %.1f of %.1f MiB",
                  static_cast<int>(fraction * 100.0),
                  fraction * static_cast<double>(totalBytes) / mebibyte,
                  static_cast<double>(totalBytes) / mebibyte);
    std::string text = label + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(barWidth - filled), '-') + numbers;
    if (bytesPerSecond > 0.0) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "  %.1f MiB/s", bytesPerSecond / mebibyte);
        text += rate;
    }
    return text;
}

}  // namespace kvhost
