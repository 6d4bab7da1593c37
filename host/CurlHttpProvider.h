#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ResponseHeaders.h"
#include "TransferLimits.h"
#include "kavrin/HttpProvider.h"

namespace kvhost {

// A kv::HttpProvider on libcurl's multi interface, driven from the calling thread.
//
// `get` returns as soon as the status and the headers are known; `readBody` then runs the
// transfer until the caller's buffer is full or the body ends. A libcurl write that does not fit
// in the buffer pauses the transfer, so the socket is not read while nobody reads: beyond what
// the caller was handed, the provider holds at most one libcurl write (CURL_MAX_WRITE_SIZE), and
// a kill or a cancel loses no more than that.
//
// A connection that is not made within `connectTimeoutSeconds` (TLS handshake included), and a
// transfer that moves fewer than `lowSpeedBytesPerSecond` for `lowSpeedSeconds` while the caller
// waits for it (headers or body), fail with CommunicationFailed.
//
// `trustedKeys` are enforced with libcurl's public-key pinning; a plain http address with
// trusted keys is refused, since it would present no key. `cancel` may be called from any
// thread: it wakes the waiting call, which returns Cancelled, and so does every later read of that
// exchange. Body bytes already received when a read is cancelled or the connection fails are
// handed over first, and the next read reports the failure, so nothing received is lost.
//
// Response header names: see ResponseHeaders. Requests use HTTP/1.1, where pausing stops the
// socket reads; redirects are not followed (the library handles the status itself).
class CurlHttpProvider : public kv::HttpProvider {
public:
    struct Options {
        // PEM certificates trusted instead of the system's store; empty keeps the system's.
        std::string trustedCertificatesPem;
        // libcurl connect-to entries, "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT".
        std::vector<std::string> connectTo;
        TransferLimits limits;
    };

    explicit CurlHttpProvider(Options options);
    ~CurlHttpProvider() override;
    CurlHttpProvider(const CurlHttpProvider&) = delete;
    CurlHttpProvider& operator=(const CurlHttpProvider&) = delete;

    HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                    std::shared_ptr<HttpResponse>& response) override;
    HttpResult get(const std::shared_ptr<const HttpRequest>& request,
                   std::shared_ptr<HttpResponse>& response) override;
    HttpResult readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                        uint64_t& bytesRead, bool& moreData) override;
    HttpResult cancel() override;

private:
    using Multi = std::unique_ptr<CURLM, CURLMcode (*)(CURLM*)>;
    using Easy = std::unique_ptr<CURL, void (*)(CURL*)>;
    using HeaderList = std::unique_ptr<curl_slist, void (*)(curl_slist*)>;

    // Where body bytes go: into the reader's buffer while a read runs.
    struct BodySink {
        uint8_t* target = nullptr;
        std::size_t room = 0;
        std::size_t filled = 0;
        // Bytes handed to readers.
        uint64_t received = 0;
        // Leading bytes of the writes to come that readers already have: libcurl hands a write
        // it was refused over again, whole, after the transfer resumes.
        std::size_t repeated = 0;
        bool discard = false;
        bool paused = false;

        void reset(bool discardBody);
        // Takes the whole write, or copies what fits and refuses it (libcurl then pauses).
        bool take(const char* data, std::size_t size);
    };

    // Ends the previous exchange and starts this one; its set-up failure, if any.
    HttpResult start(const HttpRequest& request, const HttpPostRequest* post);
    HttpResult configure(const HttpRequest& request, const HttpPostRequest* post);
    // The request's header lines, and for a post the suppression of libcurl's own defaults.
    bool buildHeaderList(const HttpRequest& request, bool post);
    CURLcode setCommonOptions();
    CURLcode setRequestOptions(const HttpRequest& request, const HttpPostRequest* post,
                               const std::string& pins);
    void endExchange();
    // Reads a short unread rest of the response, for the connection's sake.
    void drainShortRest();
    // Runs the transfer until `enough` holds, it ends or the exchange is cancelled.
    template <typename Enough>
    void driveUntil(Enough enough);
    void resume();
    void collectOutcome();
    bool moreBodyFollows();
    bool failed() const { return finished_ && outcome_ != CURLE_OK; }
    std::shared_ptr<HttpResponse> responseRecord() const;

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);

    const Options options_;
    const Multi multi_;
    const Easy easy_;
    HeaderList connectTo_;
    std::atomic<bool> cancelled_{false};

    // The current exchange; touched by the calling thread only.
    HeaderList requestHeaders_;
    bool inMulti_ = false;
    bool finished_ = false;
    CURLcode outcome_ = CURLE_OK;
    ResponseHeaders headers_;
    BodySink body_;
};

}  // namespace kvhost
