#include "CurlHttpProvider.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "CurlResultTable.h"
#include "PublicKeyPins.h"

namespace kvhost {

namespace {

using HttpResult = kv::HttpProvider::HttpResult;

// The longest wait for socket activity before the loop looks at the cancel flag again; `cancel`
// wakes the wait at once, so this only bounds a missed wake.
constexpr int pollMilliseconds = 1000;

// The rest of a response left unread (an error page, say) is read and dropped before the next
// request when it is this short, so that its connection can carry that request; a longer rest,
// or one that does not come in time, closes the connection.
constexpr uint64_t drainedRest = 64 * 1024;
constexpr auto drainTime = std::chrono::seconds(2);

CURLM* newMulti() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return curl_multi_init();
}

bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool hasHeader(const std::map<std::string, std::string>& headers, const std::string& name) {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& header) {
        return header.first.size() == name.size() && startsWithIgnoringCase(header.first, name);
    });
}

// A header that cannot smuggle a second header or end the request early.
bool isSafeHeader(const std::string& name, const std::string& value) {
    const auto unsafe = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
    return !name.empty() && name.find(':') == std::string::npos &&
           std::none_of(name.begin(), name.end(), unsafe) &&
           std::none_of(value.begin(), value.end(), unsafe);
}

// libcurl sends "Name;" as a header with an empty value, and drops its own header for "Name:".
std::string headerLine(const std::string& name, const std::string& value) {
    return value.empty() ? name + ";" : name + ": " + value;
}

// Sets options on a handle until one fails.
class OptionSetter {
public:
    explicit OptionSetter(CURL* easy) : easy_(easy) {}

    template <typename Value>
    void operator()(CURLoption option, Value value) {
        if (result_ == CURLE_OK) {
            result_ = curl_easy_setopt(easy_, option, value);
        }
    }
    // The first failure, if any.
    CURLcode result() const { return result_; }

private:
    CURL* const easy_;
    CURLcode result_ = CURLE_OK;
};

bool append(std::unique_ptr<curl_slist, void (*)(curl_slist*)>& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) {
        return false;
    }
    list.release();
    list.reset(extended);
    return true;
}

}  // namespace

void CurlHttpProvider::BodySink::reset(bool discardBody) {
    target = nullptr;
    room = filled = 0;
    received = 0;
    repeated = 0;
    discard = discardBody;
    paused = false;
}

bool CurlHttpProvider::BodySink::take(const char* data, std::size_t size) {
    if (discard) {
        received += size;
        return true;
    }
    const std::size_t again = std::min(repeated, size);
    repeated -= again;
    const std::size_t fresh = size - again;
    const std::size_t fits = std::min(fresh, target ? room - filled : 0);
    std::copy_n(data + again, fits, target + filled);
    filled += fits;
    received += fits;
    if (fits == fresh) {
        return true;
    }
    repeated = again + fits;
    paused = true;
    return false;
}

CurlHttpProvider::CurlHttpProvider(Options options)
    : options_(std::move(options)),
      multi_(newMulti(), &curl_multi_cleanup),
      easy_(curl_easy_init(), &curl_easy_cleanup),
      connectTo_(nullptr, &curl_slist_free_all),
      requestHeaders_(nullptr, &curl_slist_free_all) {
    if (!multi_ || !easy_) {
        throw std::runtime_error("libcurl could not be initialised");
    }
    for (const std::string& entry : options_.connectTo) {
        if (!append(connectTo_, entry)) {
            throw std::runtime_error("libcurl could not take the connect-to entry " + entry);
        }
    }
    if (setCommonOptions() != CURLE_OK) {
        throw std::runtime_error("libcurl does not take kavrin's options");
    }
}

CurlHttpProvider::~CurlHttpProvider() {
    endExchange();
}

HttpResult CurlHttpProvider::post(const std::shared_ptr<const HttpPostRequest>& request,
                                  std::shared_ptr<HttpResponse>& response) {
    cancelled_ = false;
    if (!request) {
        return HttpResult::InvalidArgument;
    }
    const HttpResult started = start(*request, request.get());
    if (started != HttpResult::Success) {
        return started;
    }
    driveUntil([] { return false; });
    if (cancelled_) {
        return HttpResult::Cancelled;
    }
    if (failed()) {
        return CurlResultTable::resultOf(outcome_);
    }
    if (!headers_.complete()) {
        return HttpResult::ResponseHeaderError;
    }
    response = responseRecord();
    return HttpResult::Success;
}

HttpResult CurlHttpProvider::get(const std::shared_ptr<const HttpRequest>& request,
                                 std::shared_ptr<HttpResponse>& response) {
    cancelled_ = false;
    if (!request) {
        return HttpResult::InvalidArgument;
    }
    const HttpResult started = start(*request, nullptr);
    if (started != HttpResult::Success) {
        return started;
    }
    driveUntil([this] { return headers_.complete(); });
    if (cancelled_) {
        return HttpResult::Cancelled;
    }
    if (!headers_.complete()) {
        return failed() ? CurlResultTable::resultOf(outcome_) : HttpResult::ResponseHeaderError;
    }
    response = responseRecord();
    return HttpResult::Success;
}

HttpResult CurlHttpProvider::readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                                      uint64_t& bytesRead, bool& moreData) {
    bytesRead = 0;
    moreData = false;
    if (!inMulti_ || body_.discard || !headers_.complete()) {
        return HttpResult::GeneralError;  // no response of a get to read
    }
    if (bufferSize > 0 && !buffer) {
        return HttpResult::InvalidArgument;
    }
    body_.target = buffer.get();
    body_.room = static_cast<std::size_t>(
        std::min<uint64_t>(bufferSize, std::numeric_limits<std::size_t>::max()));
    body_.filled = 0;
    driveUntil([this] { return body_.filled == body_.room; });
    body_.target = nullptr;
    bytesRead = body_.filled;
    if (cancelled_ || failed()) {
        // Bytes in hand first; the next read reports why the body stopped.
        moreData = bytesRead > 0;
        if (moreData) {
            return HttpResult::Success;
        }
        return cancelled_ ? HttpResult::Cancelled : CurlResultTable::resultOf(outcome_);
    }
    moreData = moreBodyFollows();
    return HttpResult::Success;
}

HttpResult CurlHttpProvider::cancel() {
    cancelled_ = true;
    curl_multi_wakeup(multi_.get());
    return HttpResult::Success;
}

HttpResult CurlHttpProvider::start(const HttpRequest& request, const HttpPostRequest* post) {
    endExchange();
    headers_.clear();
    body_.reset(post != nullptr);
    finished_ = false;
    outcome_ = CURLE_OK;
    if (!request.trustedKeys.empty() && !startsWithIgnoringCase(request.url, "https://")) {
        return HttpResult::CertificateError;  // no key to check against the trusted ones
    }
    const HttpResult configured = configure(request, post);
    if (configured != HttpResult::Success) {
        return configured;
    }
    if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
        return HttpResult::GeneralError;
    }
    inMulti_ = true;
    return HttpResult::Success;
}

HttpResult CurlHttpProvider::configure(const HttpRequest& request, const HttpPostRequest* post) {
    std::string pins;
    if (!request.trustedKeys.empty()) {
        const auto curlPins = PublicKeyPins::curlPins(request.trustedKeys);
        if (!curlPins) {
            return HttpResult::InvalidArgument;
        }
        pins = *curlPins;
    }
    if (post && post->dataSize > 0 && !post->data) {
        return HttpResult::InvalidArgument;
    }
    if (!buildHeaderList(request, post != nullptr)) {
        return HttpResult::InvalidArgument;
    }
    return CurlResultTable::resultOf(setRequestOptions(request, post, pins));
}

bool CurlHttpProvider::buildHeaderList(const HttpRequest& request, bool post) {
    requestHeaders_.reset();
    for (const auto& [name, value] : request.headers) {
        if (!isSafeHeader(name, value) || !append(requestHeaders_, headerLine(name, value))) {
            return false;
        }
    }
    // libcurl would add a form content type and, for larger bodies, wait for "100 Continue".
    return !post || ((hasHeader(request.headers, "Content-Type") ||
                      append(requestHeaders_, "Content-Type:")) &&
                     append(requestHeaders_, "Expect:"));
}

CURLcode CurlHttpProvider::setCommonOptions() {
    OptionSetter set(easy_.get());
    // libcurl's socket reads stay at its default, one write: a larger read could leave more
    // than one write waiting in libcurl while the transfer is paused.
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_LOW_SPEED_LIMIT, options_.limits.lowSpeedBytesPerSecond);
    set(CURLOPT_HEADERFUNCTION, &CurlHttpProvider::onHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    set(CURLOPT_WRITEFUNCTION, &CurlHttpProvider::onBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (connectTo_) {
        set(CURLOPT_CONNECT_TO, connectTo_.get());
    }
    if (!options_.trustedCertificatesPem.empty()) {
        curl_blob anchors{const_cast<char*>(options_.trustedCertificatesPem.data()),
                          options_.trustedCertificatesPem.size(), CURL_BLOB_COPY};
        set(CURLOPT_CAINFO_BLOB, &anchors);
    }
    return set.result();
}

CURLcode CurlHttpProvider::setRequestOptions(const HttpRequest& request,
                                             const HttpPostRequest* post, const std::string& pins) {
    // Every option an earlier request may have set is set again.
    OptionSetter set(easy_.get());
    set(CURLOPT_URL, request.url.c_str());
    set(CURLOPT_HTTPHEADER, requestHeaders_.get());
    set(CURLOPT_PINNEDPUBLICKEY, pins.empty() ? nullptr : pins.c_str());
    const TransferLimits& limits = options_.limits;
    const long window = post ? limits.postLowSpeedSeconds : limits.lowSpeedSeconds;
    set(CURLOPT_CONNECTTIMEOUT,
        post ? std::min(limits.connectTimeoutSeconds, window) : limits.connectTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_TIME, window);
    if (post) {
        static const char noData[] = "";
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->dataSize));
        set(CURLOPT_POSTFIELDS, post->data ? static_cast<const void*>(post->data.get())
                                           : static_cast<const void*>(noData));
    } else {
        set(CURLOPT_HTTPGET, 1L);
    }
    return set.result();
}

void CurlHttpProvider::endExchange() {
    if (inMulti_) {
        drainShortRest();
        curl_multi_remove_handle(multi_.get(), easy_.get());
        inMulti_ = false;
    }
}

void CurlHttpProvider::drainShortRest() {
    const auto length = headers_.contentLength();
    if (finished_ || cancelled_ || !headers_.complete() || !length || *length < body_.received ||
        *length - body_.received > drainedRest) {
        return;
    }
    body_.discard = true;
    const auto deadline = std::chrono::steady_clock::now() + drainTime;
    driveUntil([deadline] { return std::chrono::steady_clock::now() >= deadline; });
}

template <typename Enough>
void CurlHttpProvider::driveUntil(Enough enough) {
    while (!enough() && !finished_ && !cancelled_) {
        resume();
        int running = 0;
        curl_multi_perform(multi_.get(), &running);
        collectOutcome();
        if (!enough() && !finished_ && !cancelled_) {
            curl_multi_poll(multi_.get(), nullptr, 0, pollMilliseconds, nullptr);
        }
    }
}

void CurlHttpProvider::resume() {
    if (body_.paused) {
        // libcurl hands the write it was refused over again from within this call.
        body_.paused = false;
        curl_easy_pause(easy_.get(), CURLPAUSE_CONT);
    }
}

void CurlHttpProvider::collectOutcome() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_.get()) {
            finished_ = true;
            outcome_ = message->data.result;
        }
    }
}

bool CurlHttpProvider::moreBodyFollows() {
    // A refused write holds at least one byte the reader does not have yet.
    if (body_.paused) {
        return true;
    }
    if (finished_) {
        return false;
    }
    if (const auto length = headers_.contentLength()) {
        return body_.received < *length;
    }
    // No announced length: wait for the next byte (refused, with no reader) or the end.
    driveUntil([this] { return body_.paused; });
    return body_.paused || !finished_ || failed();
}

std::shared_ptr<kv::HttpProvider::HttpResponse> CurlHttpProvider::responseRecord() const {
    auto response = std::make_shared<HttpResponse>();
    response->statusCode = headers_.status();
    response->headers = headers_.fields();
    return response;
}

std::size_t CurlHttpProvider::onHeader(char* data, std::size_t size, std::size_t count,
                                       void* self) {
    static_cast<CurlHttpProvider*>(self)->headers_.addLine(std::string(data, size * count));
    return size * count;
}

std::size_t CurlHttpProvider::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* provider = static_cast<CurlHttpProvider*>(self);
    const std::size_t bytes = size * count;
    return provider->body_.take(data, bytes) ? bytes : CURL_WRITEFUNC_PAUSE;
}

}  // namespace kvhost
