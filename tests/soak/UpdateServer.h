#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FaultDrawer.h"
#include "InProcessServerProvider.h"
#include "SimulatedUpdateServer.h"
#include "TrackingLedger.h"
#include "WorkerProcess.h"

namespace kvsoak {

// What one update did, as the driver saw it.
struct UpdateOutcome {
    // The worker's steps and their results ("search 0, download 3"); empty when killed.
    std::string steps;
    bool killed = false;
    int exitStatus = 0;
    std::optional<ResourceFigures> resources;
    // The SHA-256 and size of each file the phone kept.
    std::vector<std::pair<std::string, uint64_t>> phoneFiles;
};

// The driver's side of one update: a simulated server offering the draw's package with its
// faults, answering the worker's provider calls until the worker ends, or killing it at the
// drawn call. Posts are entered in the ledger as they arrive, and what the server received once
// the update is over.
class UpdateServer {
public:
    UpdateServer(const UpdateDraw& draw, TrackingLedger& ledger);

    UpdateOutcome serve(WorkerProcess& worker);
    std::string packageHash() { return server_->packageHash(draw_.package.id); }

private:
    // True when the driver killed the worker at this call.
    bool killHere(Ask ask, WorkerProcess& worker, UpdateOutcome& outcome);
    void answer(Ask ask, Wire& wire, UpdateOutcome& outcome);
    void answerGet(Wire& wire);
    void answerPost(Wire& wire);
    void answerRead(Wire& wire);
    std::shared_ptr<kv::HttpProvider::HttpPostRequest> takePost(Wire& wire);

    const UpdateDraw& draw_;
    TrackingLedger& ledger_;
    std::shared_ptr<kvtest::SimulatedUpdateServer> server_;
    kvtest::InProcessServerProvider provider_;
    uint64_t calls_ = 0;
    std::string lastPostKey_;
};

}  // namespace kvsoak
