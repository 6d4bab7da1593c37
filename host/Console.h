#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace kvhost {

// kavrin's terminal: outcomes on standard output, everything else (steps, log lines, errors and
// the progress line) on standard error. On a terminal the progress line is redrawn in place and
// other lines are written above it; elsewhere only its final state is written. Safe to use from
// several threads.
class Console {
public:
    Console(std::FILE* out, std::FILE* err, bool interactive);

    // An outcome: an identification id, a list of updates, a final result.
    void result(const std::string& text);
    // A line on standard error.
    void line(const std::string& text);
    // Replaces the progress line.
    void progress(const std::string& text);
    // Leaves the progress line as it is and starts a new line below it.
    void endProgress();

private:
    void clearProgress();

    std::FILE* const out_;
    std::FILE* const err_;
    const bool interactive_;
    std::mutex mutex_;
    std::string progress_;
};

}  // namespace kvhost
