#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

#include "UpdateOutput.h"

namespace kvhost {

// kavrin's terminal: outcomes on standard output, everything else (steps, log lines, errors and
// the progress lines) on standard error. On a terminal the progress lines (one, or one per phone)
// are redrawn in place, each cut to the terminal's width, and other lines are written above
// them; elsewhere only their final state is written. Safe to use from several threads.
class Console : public UpdateOutput {
public:
    Console(std::FILE* out, std::FILE* err, bool interactive);

    bool interactive() const { return interactive_; }

    // An outcome: an identification id, a list of updates, a final result.
    void result(const std::string& text);
    // A line on standard error.
    void line(const std::string& text) override;
    // "==> " and the step, on standard error.
    void step(const std::string& text) override;
    // Replaces the progress lines (separated by line feeds).
    void progress(const std::string& text) override;
    // Leaves the progress lines as they are and starts a new line below them.
    void endProgress() override;

private:
    void clearProgress();
    void drawProgress();

    std::FILE* const out_;
    std::FILE* const err_;
    const bool interactive_;
    // Of the terminal; 0 when unknown (nothing is cut).
    const std::size_t columns_;
    std::mutex mutex_;
    std::string progress_;
};

}  // namespace kvhost
