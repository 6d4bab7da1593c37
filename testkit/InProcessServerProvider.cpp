#include "InProcessServerProvider.h"

#include <algorithm>
#include <utility>

namespace kvtest {

using HttpResult = kv::HttpProvider::HttpResult;

InProcessServerProvider::InProcessServerProvider(std::shared_ptr<SimulatedUpdateServer> server)
    : server_(std::move(server)) {}

std::size_t InProcessServerProvider::cancelCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelCalls_;
}

HttpResult InProcessServerProvider::post(const std::shared_ptr<const HttpPostRequest>& request,
                                         std::shared_ptr<HttpResponse>& response) {
    return exchange(RecordedHttpRequest::of(*request), response);
}

HttpResult InProcessServerProvider::get(const std::shared_ptr<const HttpRequest>& request,
                                        std::shared_ptr<HttpResponse>& response) {
    return exchange(RecordedHttpRequest::of(*request), response);
}

HttpResult InProcessServerProvider::exchange(const RecordedHttpRequest& request,
                                             std::shared_ptr<HttpResponse>& response) {
    // A new exchange: a cancel from here on belongs to it.
    cancelled_ = false;
    ServerAnswer answer = server_->answer(request);
    if (answer.gate && !passAnswerGate(answer.gate)) {
        return HttpResult::Cancelled;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = answer.failure ? AnswerBody{} : std::move(answer.body);
    offset_ = 0;
    holdPassed_ = false;
    if (cancelled_) {
        return HttpResult::Cancelled;
    }
    if (answer.failure) {
        return *answer.failure;
    }
    response = std::make_shared<HttpResponse>();
    response->statusCode = answer.status;
    response->headers = std::move(answer.headers);
    return HttpResult::Success;
}

HttpResult InProcessServerProvider::readBody(const std::shared_ptr<uint8_t[]>& buffer,
                                             uint64_t bufferSize, uint64_t& bytesRead,
                                             bool& moreData) {
    bytesRead = 0;
    moreData = false;
    if (bufferSize > 0 && !buffer) {
        return HttpResult::InvalidArgument;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const bool atHold = body_.gate && !holdPassed_ && offset_ == body_.holdAt;
    if (cancelled_ || (atHold && !passHold(lock))) {
        return HttpResult::Cancelled;
    }
    if (body_.cutAfter && offset_ >= *body_.cutAfter && offset_ < body_.size) {
        return HttpResult::CommunicationFailed;
    }
    const uint64_t length =
        std::min({bufferSize, body_.pieceLimit, body_.size - offset_, bytesBeforeStop()});
    if (length > 0) {
        body_.copy(offset_, buffer.get(), length);
    }
    offset_ += length;
    bytesRead = length;
    moreData = offset_ < body_.size;
    return HttpResult::Success;
}

uint64_t InProcessServerProvider::bytesBeforeStop() const {
    uint64_t bytes = AnswerBody::unlimited;
    if (body_.gate && !holdPassed_ && offset_ < body_.holdAt) {
        bytes = body_.holdAt - offset_;
    }
    if (body_.cutAfter && offset_ < *body_.cutAfter) {
        bytes = std::min(bytes, *body_.cutAfter - offset_);
    }
    return bytes;
}

bool InProcessServerProvider::passHold(std::unique_lock<std::mutex>& lock) {
    const std::shared_ptr<ReadGate> gate = body_.gate;
    lock.unlock();
    const bool released = gate->pass([this] { return cancelled_.load(); });
    lock.lock();
    holdPassed_ = released;
    return released;
}

bool InProcessServerProvider::passAnswerGate(const std::shared_ptr<ReadGate>& gate) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answerGate_ = gate;
    }
    const bool passed = gate->pass([this] { return cancelled_.load(); });
    std::lock_guard<std::mutex> lock(mutex_);
    answerGate_.reset();
    return passed;
}

HttpResult InProcessServerProvider::cancel() {
    std::shared_ptr<ReadGate> gates[2];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++cancelCalls_;
        cancelled_ = true;
        gates[0] = body_.gate;
        gates[1] = answerGate_;
    }
    for (const auto& gate : gates) {
        if (gate) {
            gate->wake();
        }
    }
    return HttpResult::Success;
}

}  // namespace kvtest
