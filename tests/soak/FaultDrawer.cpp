#include "FaultDrawer.h"

#include <utility>

#include "WorkerProcess.h"

namespace kvsoak {

namespace {

using kvtest::Endpoint;
using kvtest::ServerFault;

constexpr uint32_t phones = 4;
constexpr uint64_t smallestPackage = 16 * 1024;
constexpr uint64_t largestPackage = 256 * 1024;
// The worker's clock: half a day between updates, so that stored tracking events are due again
// at the next update (they wait 10 minutes after an attempt), an outage of the tracking endpoint
// stays far within the 60 days they are kept, and packages of releases no longer offered reach
// the library's 30 days within a run.
constexpr uint64_t clockOrigin = 1796083200000;  // 2026-12-01
constexpr uint64_t clockStep = 12 * 3600 * 1000;
constexpr uint64_t packageRetention = 30 * 24 * 3600 * 1000ull;
// More than the six requests a download or search makes before it gives up.
constexpr std::size_t mostRepeats = 7;
constexpr uint64_t mostProviderCalls = 60;

const char* const faultNames[] = {"server errors (5xx)",
                                  "not found (404)",
                                  "connection resets",
                                  "cut package bodies",
                                  "bodies in small pieces",
                                  "tracking endpoint down",
                                  "phone busy",
                                  "phone gone mid-transfer",
                                  "kills (SIGKILL, on Windows TerminateProcess)",
                                  "full disk (file size limit)"};
static_assert(sizeof faultNames / sizeof *faultNames == static_cast<std::size_t>(FaultKind::Count));

}  // namespace

const char* nameOf(FaultKind kind) {
    return faultNames[static_cast<std::size_t>(kind)];
}

std::vector<FaultKind> UpdateDraw::kinds() const {
    std::vector<FaultKind> kinds;
    for (const DrawnServerFault& fault : serverFaults) {
        kinds.push_back(fault.kind);
    }
    const std::pair<bool, FaultKind> others[] = {
        {pieceLimit != 0, FaultKind::SmallPieces},
        {trackingDown, FaultKind::TrackingDown},
        {worker.phoneFault == PhoneFault::Busy, FaultKind::PhoneBusy},
        {worker.phoneFault == PhoneFault::Gone, FaultKind::PhoneGone},
        {killAt.has_value(), FaultKind::Kill},
        {worker.fileSizeLimit != 0, FaultKind::FullDisk}};
    for (const auto& [met, kind] : others) {
        if (met) {
            kinds.push_back(kind);
        }
    }
    return kinds;
}

FaultDrawer::FaultDrawer(uint64_t seed, std::string workingDirectory)
    : random_(seed), workingDirectory_(std::move(workingDirectory)) {
    nextRelease();
}

UpdateDraw FaultDrawer::next() {
    if (chance(15)) {
        nextRelease();
    }
    UpdateDraw draw = calm();
    if (chance(8)) {
        draw.worker.phoneFault = chance(50) ? PhoneFault::Busy : PhoneFault::Gone;
        if (draw.worker.phoneFault == PhoneFault::Gone) {
            draw.worker.phoneGoneAfter = below(releaseSize_);
        }
    }
    if (chance(8)) {
        const uint64_t limit = 1 + below(releaseSize_);
        draw.worker.fileSizeLimit = fileSizeCanBeLimited ? limit : 0;
    }
    drawServerFaults(draw);
    if (chance(20)) {
        draw.pieceLimit = 512 + below(16 * 1024);
    }
    if (outageLeft_ == 0 && chance(3)) {
        outageLeft_ = 1 + static_cast<unsigned>(below(10));
    }
    draw.trackingDown = outageLeft_ > 0;
    outageLeft_ -= draw.trackingDown ? 1 : 0;
    if (chance(25)) {
        draw.killAt = 1 + below(mostProviderCalls);
        draw.killAfterAnswer = chance(50);
    }
    return draw;
}

UpdateDraw FaultDrawer::calm() {
    UpdateDraw draw;
    draw.worker = workerPlan();
    draw.package =
        kvtest::SimulatedPackage::example("release-" + std::to_string(release_), releaseSize_);
    offers_[draw.package.id + ".bin"] = {releaseSize_, draw.worker.clockStart};
    return draw;
}

std::map<std::string, uint64_t> FaultDrawer::packagesKeptFor(const UpdateDraw& draw) const {
    std::map<std::string, uint64_t> kept;
    for (const auto& [name, offer] : offers_) {
        if (offer.lastClock + clockStep + packageRetention >= draw.worker.clockStart) {
            kept.emplace(name, offer.size);
        }
    }
    return kept;
}

void FaultDrawer::nextRelease() {
    ++release_;
    releaseSize_ = smallestPackage + below(largestPackage - smallestPackage + 1);
}

void FaultDrawer::drawServerFaults(UpdateDraw& draw) {
    const Endpoint endpoints[] = {Endpoint::Updates, Endpoint::Package, Endpoint::Tracking};
    for (uint64_t count = below(4); count > 0; --count) {
        DrawnServerFault drawn{
            FaultKind::ServerError, endpoints[below(3)], {}, 1 + below(mostRepeats)};
        switch (below(4)) {
            case 0:
                drawn.fault = ServerFault::withStatus(500 + static_cast<int32_t>(below(4)));
                break;
            case 1:
                drawn.kind = FaultKind::NotFound;
                drawn.fault = ServerFault::withStatus(404);
                break;
            case 2:
                drawn.kind = FaultKind::Reset;
                drawn.fault =
                    ServerFault::providerFailure(kv::HttpProvider::HttpResult::CommunicationFailed);
                break;
            default:
                drawn.kind = FaultKind::CutBody;
                drawn.endpoint = Endpoint::Package;
                drawn.fault = ServerFault::cutBodyAfter(below(releaseSize_));
                break;
        }
        draw.serverFaults.push_back(std::move(drawn));
    }
}

WorkerPlan FaultDrawer::workerPlan() {
    WorkerPlan plan;
    plan.workingDirectory = workingDirectory_;
    plan.phone = static_cast<uint32_t>(below(phones));
    plan.clockStart = clockOrigin + updates_++ * clockStep;
    return plan;
}

}  // namespace kvsoak
