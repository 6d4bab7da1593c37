#include "Soak.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <vector>

#include "DirectoryAudit.h"
#include "FaultDrawer.h"
#include "TrackingLedger.h"
#include "UpdateServer.h"
#include "Worker.h"
#include "WorkerProcess.h"

namespace kvsoak {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// An operation resends at most this many stored tracking documents.
constexpr uint64_t resendsPerOperation = 50;
constexpr std::size_t flatWindow = 100;
constexpr double flatTolerance = 1.10;
// Every identification adds an entry to the identifier cache, up to its 1,000: the soak fills it
// first, so that the updates meet a working directory at its caps and their memory use is
// compared over the same state.
constexpr unsigned filledIdentifications = 1000;

// The highest of a figure over the first and over the last of `values` (a hundred, or a tenth
// of a shorter run), and the breach when the last exceed the first by more than 10%.
std::optional<std::string> growthOf(const char* what, const std::vector<uint64_t>& values) {
    if (values.empty()) {
        return std::nullopt;
    }
    const std::size_t window = std::min(flatWindow, std::max<std::size_t>(1, values.size() / 10));
    const uint64_t first = *std::max_element(values.begin(), values.begin() + window);
    const uint64_t last = *std::max_element(values.end() - window, values.end());
    if (static_cast<double>(last) > static_cast<double>(first) * flatTolerance) {
        return std::string(what) + " grew from " + std::to_string(first) + " in the first " +
               std::to_string(window) + " updates to " + std::to_string(last) + " in the last";
    }
    return std::nullopt;
}

// What the run met and how its updates ended, for the closing figures.
class SoakFigures {
public:
    void met(const UpdateDraw& draw, const UpdateOutcome& outcome) {
        for (FaultKind kind : draw.kinds()) {
            // A kill drawn past the update's last provider call did not happen.
            faults_[static_cast<std::size_t>(kind)] += kind != FaultKind::Kill || outcome.killed;
        }
        phoneFiles_ += outcome.phoneFiles.size();
        if (outcome.resources) {
            rss_.push_back(outcome.resources->peakRssKilobytes);
            descriptors_.push_back(outcome.resources->openDescriptors);
        }
        const std::size_t lastStep = outcome.steps.rfind(", ");
        ++endings_[outcome.killed
                       ? "killed"
                       : outcome.steps.substr(lastStep == std::string::npos ? 0 : lastStep + 2)];
    }

    void left(const DirectoryAudit& audit) {
        bytes_ = audit.bytes;
        packages_ = audit.packages;
        packageBytes_ = audit.packageBytes;
        mostPackages_ = std::max(mostPackages_, audit.packages);
    }

    std::optional<std::string> growth() const {
        if (auto rss = growthOf("the worker's peak RSS (KiB)", rss_)) {
            return rss;
        }
        return growthOf("the worker's open file descriptors", descriptors_);
    }

    void print(const TrackingLedger& ledger, uint64_t updates, Clock::duration took) const {
        std::cout << "soak: " << updates << " updates in "
                  << std::chrono::duration_cast<std::chrono::seconds>(took).count()
                  << " s; working directory " << bytes_ << " bytes at the end, " << packageBytes_
                  << " of them in " << packages_
                  << " packages (releases offered in the last 30 days); " << mostPackages_
                  << " packages at most\n";
        for (std::size_t kind = 0; kind < faults_.size(); ++kind) {
            std::cout << "soak: fault " << nameOf(static_cast<FaultKind>(kind)) << ": "
                      << faults_[kind] << " updates\n";
        }
        for (const auto& [ending, count] : endings_) {
            std::cout << "soak: ended with " << ending << ": " << count << " updates\n";
        }
        std::cout << "soak: the phone received " << phoneFiles_
                  << " packages, each with the SHA-256 of the manifest\n";
        std::cout << "soak: tracking events received " << ledger.sent() << ", stored "
                  << ledger.everStored() << " (resent " << ledger.resent()
                  << "), lost on a full disk that could not hold them with the endpoint failing "
                  << ledger.lostOnAFullDisk() << ", received twice after a kill "
                  << ledger.receivedTwice() << "\n";
        printSeries("peak RSS (KiB)", rss_);
        printSeries("open file descriptors", descriptors_);
    }

private:
    static void printSeries(const char* what, const std::vector<uint64_t>& values) {
        if (!values.empty()) {
            std::cout << "soak: worker " << what << ": first " << values.front() << ", last "
                      << values.back() << ", highest "
                      << *std::max_element(values.begin(), values.end()) << "\n";
        }
    }

    std::array<uint64_t, static_cast<std::size_t>(FaultKind::Count)> faults_{};
    std::map<std::string, uint64_t> endings_;
    std::vector<uint64_t> rss_;
    std::vector<uint64_t> descriptors_;
    uint64_t phoneFiles_ = 0;
    uint64_t bytes_ = 0;
    uint64_t packages_ = 0;
    uint64_t packageBytes_ = 0;
    uint64_t mostPackages_ = 0;
};

class Soak {
public:
    explicit Soak(const SoakOptions& options)
        : options_(options),
          root_(freshTemporaryDirectory("kavrin-soak-" + std::to_string(options.seed) + "-")),
          work_(options.workingDirectory.empty() ? root_ / "work"
                                                 : fs::path(options.workingDirectory)),
          outside_(root_ / "outside"),
          log_(root_ / "worker.log"),
          updateLog_(root_ / "update.log"),
          drawer_(options.seed, work_.string()) {
        fs::create_directories(work_);
        fs::create_directories(outside_);
    }

    int run() {
        std::cout << "soak: seed " << options_.seed << ", " << options_.updates << " updates in "
                  << work_.string() << std::endl;
        const auto started = Clock::now();
        if (!identifyRepeatedly(work_.string(), filledIdentifications)) {
            return fail(0, "the phone could not be identified");
        }
        for (uint64_t number = 1; number <= options_.updates; ++number) {
            if (auto breach = update(number, drawer_.next())) {
                return fail(number, *breach);
            }
        }
        if (auto breach = drain()) {
            return fail(options_.updates + 1, *breach);
        }
        figures_.print(ledger_, options_.updates, Clock::now() - started);
        if (auto growth = figures_.growth()) {
            return fail(options_.updates, *growth);
        }
        std::cout << "soak: passed" << std::endl;
        fs::remove_all(root_);
        return 0;
    }

private:
    // Runs one update and checks what it left; the breach, if any.
    std::optional<std::string> update(uint64_t number, const UpdateDraw& draw) {
        logHeader(number, draw);
        UpdateServer server(draw, ledger_);
        std::vector<std::string> arguments{"--worker"};
        const auto plan = draw.worker.arguments();
        arguments.insert(arguments.end(), plan.begin(), plan.end());
        WorkerProcess worker(options_.program, arguments, outside_.string(), updateLog_.string());
        const UpdateOutcome outcome = server.serve(worker);
        std::ofstream(log_, std::ios::app) << std::ifstream(updateLog_).rdbuf();
        figures_.met(draw, outcome);
        if (!outcome.killed && (outcome.exitStatus != 0 || !outcome.resources)) {
            return "the worker ended with status " + std::to_string(outcome.exitStatus) +
                   " without finishing its update";
        }
        for (const auto& [hash, size] : outcome.phoneFiles) {
            if (hash != server.packageHash() || size != draw.package.size) {
                return "the phone holds " + std::to_string(size) + " bytes with SHA-256 " + hash +
                       ", not the package of the manifest";
            }
        }
        return checkDirectories(draw);
    }

    // The update's number and faults, in the run's log, and an empty log for the update. (No file
    // of the driver stays open while a worker starts: the worker would inherit it.)
    void logHeader(uint64_t number, const UpdateDraw& draw) const {
        std::ofstream log(log_, std::ios::app);
        log << "=== update " << number << ":";
        for (FaultKind kind : draw.kinds()) {
            log << " " << nameOf(kind) << ";";
        }
        log << std::endl;
        // The update logs into a file of its own, which a small file size limit lets grow a
        // little, and the run's log takes it in afterwards.
        std::ofstream(updateLog_, std::ios::trunc).flush();
    }

    std::optional<std::string> checkDirectories(const UpdateDraw& draw) {
        if (auto outside = firstFileIn(outside_.string())) {
            return "the worker wrote outside its working directory: " + *outside;
        }
        DirectoryAudit audit = auditWorkingDirectory(work_.string(), drawer_.packagesKeptFor(draw));
        if (audit.breach) {
            return audit.breach;
        }
        ledger_.storedNow(std::move(audit.storedEvents));
        figures_.left(audit);
        return ledger_.breach();
    }

    // Updates without faults until the resend store is empty (each resends at most 50 stored
    // events), then every event must have been received once.
    std::optional<std::string> drain() {
        const uint64_t runs = ledger_.storedCount() / resendsPerOperation + 2;
        uint64_t run = 0;
        for (; run < runs && ledger_.storedCount() > 0; ++run) {
            if (auto breach = update(options_.updates + 1 + run, drawer_.calm())) {
                return breach;
            }
        }
        std::cout << "soak: " << run
                  << " updates without faults after them emptied the resend store" << std::endl;
        return ledger_.breachAtTheEnd();
    }

    int fail(uint64_t number, const std::string& breach) const {
        std::cout << "soak: BREACH at update " << number << " of seed " << options_.seed << ": "
                  << breach << "\nsoak: the worker's log and the working directory are kept in "
                  << root_.string() << std::endl;
        return 1;
    }

    SoakOptions options_;
    fs::path root_;
    fs::path work_;
    fs::path outside_;
    fs::path log_;
    fs::path updateLog_;
    FaultDrawer drawer_;
    TrackingLedger ledger_;
    SoakFigures figures_;
};

}  // namespace

int runSoak(const SoakOptions& options) {
    ignoreBrokenPipes();
    return Soak(options).run();
}

}  // namespace kvsoak
