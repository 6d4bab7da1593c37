#include "UpdateServer.h"

#include <cstring>
#include <stdexcept>

#include "common/JsonText.h"

namespace kvsoak {

namespace {

using kv::HttpProvider;

// What a stored tracking document holds beyond the posted one: its "resend" member.
constexpr uint64_t storedMembersBytes = 256;

std::shared_ptr<kvtest::SimulatedUpdateServer> serverFor(const UpdateDraw& draw) {
    auto server = std::make_shared<kvtest::SimulatedUpdateServer>();
    server->addPackage(draw.package);
    for (const DrawnServerFault& fault : draw.serverFaults) {
        server->injectFault(fault.endpoint, fault.fault, fault.times);
    }
    if (draw.pieceLimit != 0) {
        server->setPieceLimit(draw.pieceLimit);
    }
    if (draw.trackingDown) {
        server->injectFault(kvtest::Endpoint::Tracking, kvtest::ServerFault::withStatus(503),
                            kvtest::SimulatedUpdateServer::forever);
    }
    return server;
}

void putResponse(Wire& wire, HttpProvider::HttpResult result,
                 const std::shared_ptr<HttpProvider::HttpResponse>& response) {
    wire.putNumber(static_cast<uint64_t>(result));
    wire.putNumber(response ? static_cast<uint64_t>(response->statusCode) : 0);
    wire.putTexts(response ? response->headers : std::map<std::string, std::string>{});
}

std::string keyOfPost(const HttpProvider::HttpPostRequest& post) {
    const auto parsed = kvinternal::json::parse(
        std::string(reinterpret_cast<const char*>(post.data.get()), post.dataSize));
    return parsed.ok ? eventKey(parsed.root) : std::string();
}

}  // namespace

UpdateServer::UpdateServer(const UpdateDraw& draw, TrackingLedger& ledger)
    : draw_(draw), ledger_(ledger), server_(serverFor(draw)), provider_(server_) {}

UpdateOutcome UpdateServer::serve(WorkerProcess& worker) {
    UpdateOutcome outcome;
    Ask ask{};
    try {
        while (worker.wire().nextAsk(ask)) {
            if (killHere(ask, worker, outcome)) {
                outcome.killed = true;
                break;
            }
            answer(ask, worker.wire(), outcome);
        }
    } catch (const std::runtime_error&) {
        // The worker ended mid-message; its exit status says how.
    }
    outcome.exitStatus = worker.wait();
    for (const kvtest::TrackingDocument& document : server_->trackingDocuments()) {
        ledger_.received(document.document);
    }
    return outcome;
}

bool UpdateServer::killHere(Ask ask, WorkerProcess& worker, UpdateOutcome& outcome) {
    if (ask == Ask::PhoneStored || ask == Ask::Finished || ++calls_ != draw_.killAt) {
        return false;
    }
    if (draw_.killAfterAnswer) {
        answer(ask, worker.wire(), outcome);
        if (ask == Ask::Post) {
            ledger_.answeredInKill(lastPostKey_);
        }
    } else if (ask == Ask::Post) {
        // The server never sees the post the worker dies in.
        ledger_.posted(keyOfPost(*takePost(worker.wire())));
    }
    worker.kill();
    return true;
}

void UpdateServer::answer(Ask ask, Wire& wire, UpdateOutcome& outcome) {
    switch (ask) {
        case Ask::Get:
            return answerGet(wire);
        case Ask::Post:
            return answerPost(wire);
        case Ask::ReadBody:
            return answerRead(wire);
        case Ask::PhoneStep:
            break;
        case Ask::PhoneStored: {
            std::string hash = wire.text();
            outcome.phoneFiles.emplace_back(std::move(hash), wire.number());
            break;
        }
        case Ask::Finished: {
            outcome.steps = wire.text();
            ResourceFigures figures;
            figures.peakRssKilobytes = wire.number();
            figures.openDescriptors = wire.number();
            outcome.resources = figures;
            break;
        }
        default:
            throw std::runtime_error("the worker sent a message the driver does not know");
    }
    wire.putNumber(0);
}

void UpdateServer::answerGet(Wire& wire) {
    auto request = std::make_shared<HttpProvider::HttpRequest>();
    request->url = wire.text();
    request->headers = wire.texts();
    std::shared_ptr<HttpProvider::HttpResponse> response;
    const auto result = provider_.get(request, response);
    putResponse(wire, result, response);
}

void UpdateServer::answerPost(Wire& wire) {
    const auto post = takePost(wire);
    lastPostKey_ = keyOfPost(*post);
    ledger_.posted(lastPostKey_);
    std::shared_ptr<HttpProvider::HttpResponse> response;
    const auto result = provider_.post(post, response);
    const bool received =
        result == HttpProvider::HttpResult::Success && response && response->statusCode == 200;
    const uint64_t limit = draw_.worker.fileSizeLimit;
    if (!received && limit != 0 && limit < post->dataSize + storedMembersBytes) {
        ledger_.failedOnFullDisk(lastPostKey_);
    }
    putResponse(wire, result, response);
}

void UpdateServer::answerRead(Wire& wire) {
    const uint64_t size = wire.number();
    std::shared_ptr<uint8_t[]> buffer(new uint8_t[size]);
    uint64_t bytesRead = 0;
    bool moreData = false;
    const auto result = provider_.readBody(buffer, size, bytesRead, moreData);
    wire.putNumber(static_cast<uint64_t>(result));
    wire.putText(std::string(reinterpret_cast<const char*>(buffer.get()), bytesRead));
    wire.putNumber(moreData ? 1 : 0);
}

std::shared_ptr<kv::HttpProvider::HttpPostRequest> UpdateServer::takePost(Wire& wire) {
    auto post = std::make_shared<HttpProvider::HttpPostRequest>();
    post->url = wire.text();
    post->headers = wire.texts();
    const std::string body = wire.text();
    post->data.reset(new uint8_t[body.size()]);
    std::memcpy(post->data.get(), body.data(), body.size());
    post->dataSize = body.size();
    return post;
}

}  // namespace kvsoak
