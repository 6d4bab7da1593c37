#include "ScriptedHttpProvider.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kvtest {

using HttpResult = kv::HttpProvider::HttpResult;

BodyRead BodyRead::piece(uint64_t size) {
    BodyRead read;
    read.size = size;
    return read;
}

BodyRead BodyRead::failure(HttpResult result) {
    BodyRead read = piece(0);
    read.result = result;
    return read;
}

HttpAnswer HttpAnswer::withBody(std::string body, const std::string& contentType) {
    HttpAnswer answer;
    answer.headers["Content-Type"] = contentType;
    answer.body = std::move(body);
    return answer;
}

HttpAnswer HttpAnswer::withStatus(int32_t statusCode) {
    HttpAnswer answer;
    answer.statusCode = statusCode;
    return answer;
}

HttpAnswer HttpAnswer::withoutResponse(HttpResult result) {
    HttpAnswer answer;
    answer.result = result;
    answer.emptyResponse = true;
    return answer;
}

RecordedHttpRequest RecordedHttpRequest::of(const kv::HttpProvider::HttpRequest& request) {
    return {Method::Get, request.url, request.headers, request.trustedKeys, {}};
}

RecordedHttpRequest RecordedHttpRequest::of(const kv::HttpProvider::HttpPostRequest& request) {
    RecordedHttpRequest recorded{
        Method::Post, request.url, request.headers, request.trustedKeys, {}};
    if (request.data) {
        recorded.body.assign(reinterpret_cast<const char*>(request.data.get()), request.dataSize);
    }
    return recorded;
}

ScriptedHttpProvider::ScriptedHttpProvider()
    : responder_([this](const RecordedHttpRequest& request) { return nextQueued(request); }) {}

ScriptedHttpProvider::ScriptedHttpProvider(Responder responder)
    : responder_(std::move(responder)) {}

void ScriptedHttpProvider::enqueue(HttpAnswer answer, std::size_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.insert(queue_.end(), times, answer);
}

std::vector<RecordedHttpRequest> ScriptedHttpProvider::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

ScriptedHttpProvider::Calls ScriptedHttpProvider::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

HttpResult ScriptedHttpProvider::post(const std::shared_ptr<const HttpPostRequest>& request,
                                      std::shared_ptr<HttpResponse>& response) {
    return exchange(RecordedHttpRequest::of(*request), response);
}

HttpResult ScriptedHttpProvider::get(const std::shared_ptr<const HttpRequest>& request,
                                     std::shared_ptr<HttpResponse>& response) {
    return exchange(RecordedHttpRequest::of(*request), response);
}

HttpResult ScriptedHttpProvider::exchange(RecordedHttpRequest request,
                                          std::shared_ptr<HttpResponse>& response) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++(request.method == RecordedHttpRequest::Method::Get ? calls_.get : calls_.post);
        requests_.push_back(request);
        // A new exchange: a cancel from here on belongs to it.
        cancelled_ = false;
    }
    HttpAnswer answer = responder_(request);
    if (!answer.emptyResponse) {
        response = std::make_shared<HttpResponse>();
        response->statusCode = answer.statusCode;
        response->headers = answer.headers;
    }
    const HttpResult result = answer.result;
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = std::move(answer);
    bodyOffset_ = 0;
    readIndex_ = 0;
    return result;
}

HttpAnswer ScriptedHttpProvider::nextQueued(const RecordedHttpRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) {
        ++calls_.unscripted;
        return HttpAnswer::withoutResponse(HttpResult::GeneralError);
    }
    HttpAnswer answer = std::move(queue_.front());
    queue_.pop_front();
    return answer;
}

BodyRead ScriptedHttpProvider::nextRead() {
    if (readIndex_ < current_.reads.size()) {
        return current_.reads[readIndex_++];
    }
    return BodyRead{};
}

HttpResult ScriptedHttpProvider::readBody(const std::shared_ptr<uint8_t[]>& buffer,
                                          uint64_t bufferSize, uint64_t& bytesRead,
                                          bool& moreData) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_.readBody;
    bytesRead = 0;
    moreData = false;
    if (bufferSize > 0 && !buffer) {
        return HttpResult::InvalidArgument;
    }
    const BodyRead read = nextRead();
    if (cancelled_) {
        return HttpResult::Cancelled;
    }
    const uint64_t remaining = current_.body.size() - bodyOffset_;
    const uint64_t copied = std::min({read.size, bufferSize, remaining});
    if (copied > 0) {
        std::memcpy(buffer.get(), current_.body.data() + bodyOffset_, copied);
    }
    bodyOffset_ += copied;
    bytesRead = read.reportedBytes.value_or(copied);
    moreData = read.moreData.value_or(bodyOffset_ < current_.body.size());
    return read.result;
}

HttpResult ScriptedHttpProvider::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_.cancel;
    cancelled_ = true;
    return HttpResult::Success;
}

}  // namespace kvtest
