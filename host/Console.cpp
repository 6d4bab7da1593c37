#include "Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "TextLines.h"

namespace kvhost {

namespace {

std::size_t terminalColumns(std::FILE* err, bool interactive) {
    winsize size{};
    if (!interactive || ioctl(fileno(err), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

// `line` cut to fewer than `columns` characters (a full line would wrap, and the cursor could not
// find its start again), never inside a UTF-8 sequence.
std::string fitted(const std::string& line, std::size_t columns) {
    if (columns == 0 || line.size() < columns) {
        return line;
    }
    std::size_t end = columns - 1;
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) {
        --end;
    }
    return line.substr(0, end);
}

}  // namespace

Console::Console(std::FILE* out, std::FILE* err, bool interactive)
    : out_(out),
      err_(err),
      interactive_(interactive),
      columns_(terminalColumns(err, interactive)) {}

void Console::result(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void Console::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearProgress();
    std::fprintf(err_, "%s\n", text.c_str());
    drawProgress();
    std::fflush(err_);
}

void Console::step(const std::string& text) {
    line("==> " + text);
}

void Console::progress(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearProgress();
    progress_ = text;
    drawProgress();
    std::fflush(err_);
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
    if (!interactive_ || progress_.empty()) {
        return;
    }
    // Up to the first progress line, to its start, and erase everything below.
    const auto above = std::count(progress_.begin(), progress_.end(), '\n');
    if (above > 0) {
        std::fprintf(err_, "\033[%dA", static_cast<int>(above));
    }
    std::fputs("\r\033[J", err_);
}

void Console::drawProgress() {
    if (!interactive_ || progress_.empty()) {
        return;
    }
    const std::string lines = changeEachLine(
        progress_, [this](const std::string& line) { return fitted(line, columns_); });
    std::fputs(lines.c_str(), err_);
}

}  // namespace kvhost
