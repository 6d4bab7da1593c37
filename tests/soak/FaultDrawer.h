#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "SimulatedUpdateServer.h"
#include "WorkerPlan.h"

namespace kvsoak {

// The kinds of fault the soak draws, for the figures.
enum class FaultKind {
    ServerError,
    NotFound,
    Reset,
    CutBody,
    SmallPieces,
    TrackingDown,
    PhoneBusy,
    PhoneGone,
    Kill,
    FullDisk,
    Count
};
const char* nameOf(FaultKind kind);

struct DrawnServerFault {
    FaultKind kind;
    kvtest::Endpoint endpoint;
    kvtest::ServerFault fault;
    std::size_t times;
};

// Everything one update meets: the worker's plan and the server's side, which the driver plays.
struct UpdateDraw {
    WorkerPlan worker;
    // The one package the server offers (the current release).
    kvtest::SimulatedPackage package;
    std::vector<DrawnServerFault> serverFaults;
    // Bodies come in pieces of at most this many bytes; 0 for whole.
    uint64_t pieceLimit = 0;
    bool trackingDown = false;
    // The provider call (counted from 1) at which the driver kills the worker.
    std::optional<uint64_t> killAt;
    // The kill comes right after the driver answered that call (it lands in what the worker does
    // with the answer: writing, saving, deleting a stored event) instead of in its place.
    bool killAfterAnswer = false;

    std::vector<FaultKind> kinds() const;
};

// Draws the updates of a run from its seed: the same seed gives the same updates, whatever the
// updates did. Releases follow each other now and then (a new package, a size of its own), and
// an outage of the tracking endpoint lasts several updates.
class FaultDrawer {
public:
    FaultDrawer(uint64_t seed, std::string workingDirectory);

    UpdateDraw next();
    // An update without faults on the current release (the runs that end a soak).
    UpdateDraw calm();
    // The package files (name and size) the working directory may hold after `draw`: those of
    // the releases offered in the 30 days before it, and of the update before those (whose
    // offer the library may have dated a little later, by retry waits).
    std::map<std::string, uint64_t> packagesKeptFor(const UpdateDraw& draw) const;

private:
    uint64_t below(uint64_t bound) { return random_() % bound; }
    bool chance(unsigned percent) { return below(100) < percent; }
    void nextRelease();
    void drawServerFaults(UpdateDraw& draw);
    WorkerPlan workerPlan();

    std::mt19937_64 random_;
    std::string workingDirectory_;
    uint64_t updates_ = 0;
    uint32_t release_ = 0;
    uint64_t releaseSize_ = 0;
    unsigned outageLeft_ = 0;
    struct Offer {
        uint64_t size;
        uint64_t lastClock;
    };
    // By package file name.
    std::map<std::string, Offer> offers_;
};

}  // namespace kvsoak
