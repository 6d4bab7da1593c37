#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kvtest {

// A program started with arguments, its standard output and error collected through pipes.
// Every wait is bounded; a child still running at the end is killed.
class ChildProcess {
public:
    // `fileSizeLimit` is the child's RLIMIT_FSIZE in bytes, as `ulimit -f` sets it.
    explicit ChildProcess(const std::vector<std::string>& arguments,
                          std::optional<uint64_t> fileSizeLimit = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Collects output until standard error holds `text`; false when the child closed its
    // output or the time ran out first.
    bool waitForError(const std::string& text, std::chrono::seconds timeout);
    // The same for standard output.
    bool waitForOutput(const std::string& text, std::chrono::seconds timeout);
    void signal(int number);
    // Collects all output and waits for the end: the exit code, or -1 when the child was killed
    // (after `timeout`) or ended by a signal.
    int finish(std::chrono::seconds timeout);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool waitFor(const std::string& collected, const std::string& text,
                 std::chrono::seconds timeout);
    // Reads what the pipes offer until `done` holds, both are closed or the deadline passes.
    void collect(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int outPipe_ = -1;
    int errPipe_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace kvtest
