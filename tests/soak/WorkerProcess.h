#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Wire.h"

namespace kvsoak {

// One worker: the soak program started again with `arguments`, its standard input and output
// joined to the driver's wire, its standard error appended to `logPath`, in `directory` with
// its home and temporary folders there too (so that anything it writes outside its working
// directory lands where the driver looks). POSIX and Windows each have a file of their own.
class WorkerProcess {
public:
    WorkerProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& directory, const std::string& logPath);
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    Wire& wire() { return *wire_; }
    // Ends the worker at once (SIGKILL, TerminateProcess), wherever it is.
    void kill();
    // Waits for the worker to end; its exit status, or 128 + the signal that ended it (a
    // terminated Windows worker ends as if by SIGKILL).
    int wait();

private:
    intptr_t process_ = -1;
    int toWorker_ = -1;
    int fromWorker_ = -1;
    std::unique_ptr<Wire> wire_;
    bool waited_ = false;
};

// The worker's end of the wire: its standard input and output.
Wire workerWire();

// The driver ignores SIGPIPE, so that a worker killed mid-message fails a write, not the driver.
void ignoreBrokenPipes();

// A new empty folder below the system's temporary folder whose name starts with `prefix`, for a
// run of its own beside others (the same seed run twice at once included).
std::string freshTemporaryDirectory(const std::string& prefix);

// The worker's own figures and limits.
struct ResourceFigures {
    uint64_t peakRssKilobytes = 0;
    uint64_t openDescriptors = 0;
};
ResourceFigures ownResources();
// Files this process writes stop growing at `bytes`, as on a full disk (writes then fail
// instead of the process being ended). Windows has no such limit: there the soak draws no full
// disk.
extern const bool fileSizeCanBeLimited;
void limitFileSize(uint64_t bytes);

}  // namespace kvsoak
