#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kavrin/HttpProvider.h"

namespace kvtest {

// One call of `readBody` as a test wants it to go. By default a read copies as much of the rest
// of the body as the buffer holds and reports whether bytes remain.
struct BodyRead {
    static constexpr uint64_t wholeBuffer = std::numeric_limits<uint64_t>::max();

    // Body bytes to copy at most (fewer when the buffer is smaller or the body ends).
    uint64_t size = wholeBuffer;
    kv::HttpProvider::HttpResult result = kv::HttpProvider::HttpResult::Success;
    // Overrides of what the read reports, for providers that misbehave.
    std::optional<uint64_t> reportedBytes;
    std::optional<bool> moreData;

    static BodyRead piece(uint64_t size);
    static BodyRead failure(kv::HttpProvider::HttpResult result);
};

// What the provider does with one get or post, and the body that `readBody` then hands over.
struct HttpAnswer {
    kv::HttpProvider::HttpResult result = kv::HttpProvider::HttpResult::Success;
    // Leaves the caller's response reference empty.
    bool emptyResponse = false;
    int32_t statusCode = 200;
    std::map<std::string, std::string> headers;
    std::string body;
    // The first reads of the body in order; later reads take the default.
    std::vector<BodyRead> reads;

    static HttpAnswer withBody(std::string body, const std::string& contentType);
    static HttpAnswer withStatus(int32_t statusCode);
    // Leaves the response empty and returns `result`, as a provider whose exchange failed.
    static HttpAnswer withoutResponse(kv::HttpProvider::HttpResult result);
};

// A request as the provider received it.
struct RecordedHttpRequest {
    enum class Method { Get, Post };

    Method method = Method::Get;
    std::string url;
    std::map<std::string, std::string> headers;
    std::vector<std::string> trustedKeys;
    // The bytes of a post; empty for a get.
    std::string body;

    static RecordedHttpRequest of(const kv::HttpProvider::HttpRequest& request);
    static RecordedHttpRequest of(const kv::HttpProvider::HttpPostRequest& request);
};

// A kv::HttpProvider whose answers come from a function of the request: by default the next of
// the answers queued with `enqueue` (an unscripted request gets GeneralError and is counted).
// It records every request and counts calls. All members may be called from any thread;
// `cancel` ends a read that blocks until cancelled and makes the rest of that exchange's reads
// return Cancelled.
class ScriptedHttpProvider : public kv::HttpProvider {
public:
    using Responder = std::function<HttpAnswer(const RecordedHttpRequest& request)>;

    struct Calls {
        std::size_t get = 0;
        std::size_t post = 0;
        std::size_t readBody = 0;
        std::size_t cancel = 0;
        std::size_t unscripted = 0;
    };

    ScriptedHttpProvider();
    // `responder` is called without the provider's lock held, on the thread of get or post.
    explicit ScriptedHttpProvider(Responder responder);

    // Queues answers for the default responder; a provider built with its own ignores them.
    void enqueue(HttpAnswer answer, std::size_t times = 1);

    std::vector<RecordedHttpRequest> requests() const;
    Calls calls() const;

    HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                    std::shared_ptr<HttpResponse>& response) override;
    HttpResult get(const std::shared_ptr<const HttpRequest>& request,
                   std::shared_ptr<HttpResponse>& response) override;
    HttpResult readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                        uint64_t& bytesRead, bool& moreData) override;
    HttpResult cancel() override;

private:
    HttpResult exchange(RecordedHttpRequest request, std::shared_ptr<HttpResponse>& response);
    HttpAnswer nextQueued(const RecordedHttpRequest& request);
    BodyRead nextRead();

    Responder responder_;
    mutable std::mutex mutex_;
    std::deque<HttpAnswer> queue_;
    std::vector<RecordedHttpRequest> requests_;
    Calls calls_;
    // The exchange whose body `readBody` hands over.
    HttpAnswer current_;
    uint64_t bodyOffset_ = 0;
    std::size_t readIndex_ = 0;
    bool cancelled_ = false;
};

}  // namespace kvtest
