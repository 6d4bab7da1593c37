#include "Console.h"

namespace kvhost {

Console::Console(std::FILE* out, std::FILE* err, bool interactive)
    : out_(out), err_(err), interactive_(interactive) {}

void Console::result(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void Console::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearProgress();
    std::fprintf(err_, "%s\n", text.c_str());
    if (interactive_ && !progress_.empty()) {
        std::fputs(progress_.c_str(), err_);
    }
    std::fflush(err_);
}

void Console::progress(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (interactive_) {
        clearProgress();
        std::fputs(text.c_str(), err_);
        std::fflush(err_);
    }
    progress_ = text;
}

void Console::endProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (progress_.empty()) {
        return;
    }
    if (!interactive_) {
        std::fputs(progress_.c_str(), err_);
    }
    std::fputs("\n", err_);
    std::fflush(err_);
    progress_.clear();
}

void Console::clearProgress() {
    if (interactive_ && !progress_.empty()) {
        // Back to the start of the line and erase it.
        std::fputs("\r\033[K", err_);
    }
}

}  // namespace kvhost
