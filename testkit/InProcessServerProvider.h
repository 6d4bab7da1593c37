#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ScriptedHttpProvider.h"
#include "ServerAnswer.h"
#include "SimulatedUpdateServer.h"
#include "kavrin/HttpProvider.h"

namespace kvtest {

// The simulated update server as a kv::HttpProvider in the test's own process: every get and
// post goes to the server's model, and `readBody` hands the answer's body over piece by piece,
// as the answer's delivery asks (piece limit, cut, hold). `cancel` may come from another thread
// while `get`, `post` or `readBody` runs: an answer or a read held at a gate returns at once,
// and the rest of that exchange (a `get` that is still running, every later read) returns
// Cancelled.
class InProcessServerProvider : public kv::HttpProvider {
public:
    explicit InProcessServerProvider(std::shared_ptr<SimulatedUpdateServer> server);

    std::size_t cancelCalls() const;

    HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                    std::shared_ptr<HttpResponse>& response) override;
    HttpResult get(const std::shared_ptr<const HttpRequest>& request,
                   std::shared_ptr<HttpResponse>& response) override;
    HttpResult readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                        uint64_t& bytesRead, bool& moreData) override;
    HttpResult cancel() override;

private:
    HttpResult exchange(const RecordedHttpRequest& request,
                        std::shared_ptr<HttpResponse>& response);
    // The bytes the next read may deliver before a hold or a cut stops it.
    uint64_t bytesBeforeStop() const;
    // Waits at the hold gate without the lock; false when cancelled.
    bool passHold(std::unique_lock<std::mutex>& lock);
    // Waits at the gate of a held answer; false when cancelled.
    bool passAnswerGate(const std::shared_ptr<ReadGate>& gate);

    const std::shared_ptr<SimulatedUpdateServer> server_;
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    // The body of the last answer and how far it has been read.
    AnswerBody body_;
    uint64_t offset_ = 0;
    bool holdPassed_ = false;
    std::shared_ptr<ReadGate> answerGate_;
    std::size_t cancelCalls_ = 0;
};

}  // namespace kvtest
