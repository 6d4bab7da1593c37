#include "control/ProgressHandler.h"

#include <iomanip>
#include <locale>
#include <sstream>

namespace kvinternal {

namespace {

// Rounds through text, as the progress has always been reported: 0.336 gives 0.34.
double roundToTwoDecimals(double value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(2) << value;
    std::istringstream reader(text.str());
    reader.imbue(std::locale::classic());
    double rounded = 0.0;
    reader >> rounded;
    return rounded;
}

}  // namespace

ProgressHandler::ProgressHandler(uint64_t total, Log log) : log_(std::move(log)), total_(total) {}

void ProgressHandler::addWork(uint64_t units) {
    std::lock_guard<std::mutex> guard(lock_);
    // Compared before adding, so a huge count cannot wrap the counter around.
    if (units > total_ - worked_) {
        log_.info("Too many worked units. Setting progress to completed.");
        worked_ = total_;
        return;
    }
    worked_ += units;
}

double ProgressHandler::fraction() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (cancelled_) {
        return 1.0;
    }
    if (total_ == 0) {
        return 0.0;
    }
    // addWork never lets worked_ pass total_, so the fraction cannot exceed 1.0.
    return roundToTwoDecimals(static_cast<double>(worked_) / static_cast<double>(total_));
}

bool ProgressHandler::isCancelled() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cancelled_;
}

void ProgressHandler::cancel() {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
}

}  // namespace kvinternal
