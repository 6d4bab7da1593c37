#include "server/HttpService.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "common/BuildConfig.h"
#include "common/Platform.h"
#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "server/EmptyReads.h"

namespace kvinternal {

namespace {

constexpr uint64_t maximumBodySize = 1000000;

// Bytes a query value must not carry bare: they would start or split a parameter, or (+) turn
// into a space at the server.
constexpr char parameterSeparators[] = "&=+";

bool passesUnescaped(unsigned char byte) {
    static constexpr char reserved[] = "%<>{}|\\\"^`#";
    return byte >= 33 && byte <= 126 && std::strchr(reserved, byte) == nullptr;
}

std::string escape(const std::string& text, const char* alsoEscaped) {
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (passesUnescaped(byte) && std::strchr(alsoEscaped, byte) == nullptr) {
            escaped += character;
        } else {
            escaped += '%';
            escaped += hexDigits[byte >> 4];
            escaped += hexDigits[byte & 0x0f];
        }
    }
    return escaped;
}

using HttpResult = kv::HttpProvider::HttpResult;

constexpr std::pair<HttpResult, const char*> networkProblems[] = {
    {HttpResult::CommunicationFailed, "Network problem: communication failed"},
    {HttpResult::UrlError, "Network problem: error getting URL"},
    {HttpResult::HeaderError, "Network problem: error getting header"},
    {HttpResult::DataError, "Network problem: error getting data"},
    {HttpResult::CertificateError, "Network problem: error getting certificate"},
    {HttpResult::CertificateVerificationError, "Network problem: error when verifying certificate"},
    {HttpResult::ResponseError, "Network problem: error in response"},
    {HttpResult::ResponseHeaderError, "Network problem: error in response header"},
    {HttpResult::SetResponseError, "Network problem: error when setting response"},
};

// Error statuses from 400 to 599 with a name of their own; the rest share a generic text.
constexpr std::pair<int32_t, const char*> namedErrorStatuses[] = {
    {400, "HTTP Bad request: "},     {401, "HTTP Unauthorized: "},
    {403, "HTTP Forbidden: "},       {404, "HTTP Not found: "},
    {408, "HTTP Request timeout: "}, {500, "HTTP Internal server error: "},
    {502, "HTTP Bad gateway: "},     {503, "HTTP Service unavailable: "},
    {504, "HTTP Gateway timeout: "},
};

template <typename Key, std::size_t size>
const char* textFor(const std::pair<Key, const char*> (&table)[size], Key key,
                    const char* otherwise) {
    for (const auto& [candidate, text] : table) {
        if (candidate == key) {
            return text;
        }
    }
    return otherwise;
}

std::map<std::string, std::string> contentHeaders(const char* name, ContentType contentType) {
    switch (contentType) {
        case ContentType::Json:
            return {{name, mediaTypeJson}};
        case ContentType::Xml:
            return {{name, mediaTypeXml}};
        default:
            return {};
    }
}

void checkContentType(const kv::HttpProvider::HttpResponse& response, ContentType contentType) {
    const auto header = response.headers.find(headerContentType);
    if (header == response.headers.end()) {
        throw IllegalStateException("HTTP response does not return a content type");
    }
    const std::string& value = header->second;
    if (contentType == ContentType::Json && value.find(mediaTypeJson) == std::string::npos) {
        throw IllegalStateException("Content type header indicates non Json content: " + value);
    }
    if (contentType == ContentType::Xml && value.find(mediaTypeXml) == std::string::npos) {
        throw IllegalStateException("Content type header indicates non XML content: " + value);
    }
}

std::shared_ptr<kv::HttpProvider> requireProvider(std::shared_ptr<kv::HttpProvider> provider) {
    if (!provider) {
        throw IllegalArgumentException("HTTP provider is missing");
    }
    return provider;
}

}  // namespace

HttpService::CancellableCall::CancellableCall(HttpService& service, bool cancellable)
    : service_(service), cancellable_(cancellable) {
    mark(cancellable_);
}

HttpService::CancellableCall::~CancellableCall() {
    mark(false);
}

void HttpService::CancellableCall::mark(bool runs) {
    std::unique_lock<std::mutex> lock(service_.cancellableCallMutex_);
    if (cancellable_) {
        service_.cancellableCallRuns_ = runs;
    } else if (runs) {
        // A cancel still under way at the provider must not land on this call.
        service_.cancelReturned_.wait(lock, [this] { return service_.providerCancels_ == 0; });
    }
}

HttpService::HttpService(Log log, std::shared_ptr<kv::HttpProvider> provider,
                         std::shared_ptr<CurrentProgress> progress)
    : log_(std::move(log)),
      provider_(requireProvider(std::move(provider))),
      progress_(progress ? std::move(progress) : std::make_shared<CurrentProgress>()),
      lifetime_(log_, "HTTP service") {}

HttpService::~HttpService() {
    lifetime_.logDestruction();
}

std::string HttpService::escapeUrl(const std::string& text) {
    return escape(text, "");
}

std::string HttpService::composeUrl(const std::string& base, const std::string& queryPrefix,
                                    std::map<std::string, std::string> parameters) {
    std::string query = escapeUrl(queryPrefix);
    for (const auto& [name, value] : parameters) {
        if (value.empty()) {
            continue;
        }
        if (!query.empty()) {
            query += '&';
        }
        query += escapeUrl(name) + '=' + escape(value, parameterSeparators);
    }
    if (queryPrefix.empty() && query.empty()) {
        return base;
    }
    return base + '?' + query;
}

std::vector<std::string> HttpService::trustedKeysFor(const std::string& url) {
    if (url.compare(0, 5, "https") == 0) {
        return {buildconfig::pinnedServerKey};
    }
    return {};
}

std::string HttpService::checkStatus(int32_t status, bool& retryable) {
    retryable = false;
    if (status == 200 || status == 201 || status == 206) {
        return {};
    }
    const std::string statusText = std::to_string(status);
    if (status < 400 || status > 599) {
        throw IllegalStateException("HTTP status code: " + statusText);
    }
    std::string message = textFor(namedErrorStatuses, status, "HTTP status code: ") + statusText;
    if (status == 400 || status == 401 || status == 403) {
        throw NetworkException(message, static_cast<uint32_t>(status), true);
    }
    retryable = true;
    return message;
}

void HttpService::checkResult(HttpResult result) const {
    switch (result) {
        case HttpResult::Success:
            log_.verbose("Http command successfully executed");
            return;
        case HttpResult::GeneralError:
            throw IllegalStateException("General error when executing HTTP provider function");
        case HttpResult::Cancelled:
            throw CancelledException("Client cancelled");
        case HttpResult::InvalidArgument:
            throw IllegalStateException("Invalid argument when executing HTTP provider function");
        default:
            break;
    }
    if (const char* message = textFor(networkProblems, result, nullptr)) {
        throw NetworkException(message, static_cast<uint32_t>(result), false);
    }
    throw IllegalStateException("Unknown new HTTP result code");
}

bool HttpService::finishOrRetry(const std::shared_ptr<HttpResponse>& response, HttpResult result,
                                RetryRule& rule) const {
    // The provider's own failure first: a failed exchange often has no response at all, and
    // reporting that as an empty response would hide a cancellation or a network failure.
    checkResult(result);
    if (!response) {
        throw IllegalStateException("Http response is empty");
    }
    // A status that throws (400, 401, 403, ...) is never worth asking again.
    rule.setRetryable(false);
    bool retryable = false;
    const std::string message = checkStatus(response->statusCode, retryable);
    rule.setRetryable(retryable);
    if (message.empty()) {
        return true;
    }
    if (const auto delay = rule.nextDelay()) {
        log_.error(message + ". Trying again after: " + std::to_string(*delay / 1000) +
                   " seconds.");
        platform::sleepMilliseconds(*delay);
        return false;
    }
    throw NetworkException(message, static_cast<uint32_t>(response->statusCode), true);
}

std::shared_ptr<HttpService::HttpResponse> HttpService::sendWithRetries(const Exchange& exchange,
                                                                        RetryRule& rule) const {
    for (;;) {
        std::shared_ptr<HttpResponse> response;
        rule.countRequest();
        const HttpResult result = exchange(response);
        if (finishOrRetry(response, result, rule)) {
            return response;
        }
    }
}

void HttpService::throwIfOperationCancelled() const {
    if (progress_->isCancelled()) {
        throw CancelledException("Client cancelled");
    }
}

std::string HttpService::get(const std::string& url, const std::string& logUrl,
                             const ContentType& contentType) {
    log_.info("HTTP GET on: " + logUrl);
    const auto request =
        std::make_shared<const kv::HttpProvider::HttpRequest>(kv::HttpProvider::HttpRequest{
            url, contentHeaders(headerAccept, contentType), trustedKeysFor(url)});
    RetryRule rule(retryDelays);
    const auto response = sendWithRetries(
        [&](std::shared_ptr<HttpResponse>& answer) {
            // Also after a retry wait: a cancelled operation asks nothing more.
            throwIfOperationCancelled();
            const CancellableCall call(*this, true);
            return provider_->get(request, answer);
        },
        rule);
    checkContentType(*response, contentType);
    return readWholeBody();
}

std::string HttpService::readWholeBody() {
    // Zeroed, so a provider that reports more than it copied cannot expose stale memory.
    const std::shared_ptr<uint8_t[]> buffer(new uint8_t[maximumBodySize]());
    uint64_t filled = 0;
    bool moreData = true;
    EmptyReads emptyReads;
    // A slow or dripped body comes in several reads; only one that outgrows the buffer is too
    // large, and one that stops or is cancelled ends as what it is.
    while (moreData && filled < maximumBodySize) {
        throwIfOperationCancelled();
        const std::shared_ptr<uint8_t[]> rest(buffer, buffer.get() + filled);
        const uint64_t bytesRead = readBodyPart(rest, maximumBodySize - filled, moreData);
        emptyReads.count(bytesRead, moreData);
        filled += bytesRead;
    }
    if (moreData && bodyGoesOn()) {
        throw IllegalStateException("Moredata flag set, indicating a huge xml/json, aborting.");
    }
    return std::string(reinterpret_cast<const char*>(buffer.get()), filled);
}

bool HttpService::bodyGoesOn() {
    const std::shared_ptr<uint8_t[]> probe(new uint8_t[1]());
    bool moreData = true;
    EmptyReads emptyReads;
    while (moreData) {
        throwIfOperationCancelled();
        const uint64_t bytesRead = readBodyPart(probe, 1, moreData);
        if (bytesRead > 0) {
            return true;
        }
        emptyReads.count(bytesRead, moreData);
    }
    return false;
}

uint64_t HttpService::readBodyPart(const std::shared_ptr<uint8_t[]>& into, uint64_t size,
                                   bool& moreData) {
    uint64_t bytesRead = 0;
    moreData = false;
    const HttpResult result = [&] {
        const CancellableCall call(*this, true);
        return provider_->readBody(into, size, bytesRead, moreData);
    }();
    // A failed read is reported as what it is, whatever its flags say.
    checkResult(result);
    if (bytesRead > size) {
        throw IllegalStateException("HTTP provider reported more bytes than the buffer holds: " +
                                    std::to_string(bytesRead));
    }
    return bytesRead;
}

void HttpService::post(const std::string& url, const std::string& logUrl, const std::string& body,
                       const ContentType& contentType,
                       std::map<std::string, std::string> extraHeaders,
                       const std::vector<uint64_t>& delays) {
    log_.info("HTTP POST on: " + logUrl);
    auto headers = contentHeaders(headerContentType, contentType);
    headers.insert(extraHeaders.begin(), extraHeaders.end());
    const std::shared_ptr<uint8_t[]> data(new uint8_t[body.size()]);
    std::memcpy(data.get(), body.data(), body.size());
    const auto request =
        std::make_shared<const kv::HttpProvider::HttpPostRequest>(kv::HttpProvider::HttpPostRequest{
            {url, std::move(headers), trustedKeysFor(url)}, data, body.size()});
    RetryRule rule(delays);
    sendWithRetries(
        [&](std::shared_ptr<HttpResponse>& answer) {
            const CancellableCall call(*this, !downloadRuns_);
            return provider_->post(request, answer);
        },
        rule);
}

void HttpService::cancel() {
    if (!beginProviderCancel()) {
        log_.info("No ongoing HTTP function call to cancel.");
        return;
    }
    log_.info("Cancelling HTTP function call.");
    try {
        provider_->cancel();
    } catch (...) {
        endProviderCancel();
        throw;
    }
    endProviderCancel();
}

bool HttpService::beginProviderCancel() {
    std::lock_guard<std::mutex> guard(cancellableCallMutex_);
    if (!cancellableCallRuns_) {
        return false;
    }
    ++providerCancels_;
    return true;
}

void HttpService::endProviderCancel() {
    std::lock_guard<std::mutex> guard(cancellableCallMutex_);
    --providerCancels_;
    cancelReturned_.notify_all();
}

void HttpService::setTrackingService(std::weak_ptr<TrackingService> tracking) {
    tracking_.set(std::move(tracking));
}

std::shared_ptr<TrackingService> HttpService::trackingService() const {
    return tracking_.get(log_);
}

}  // namespace kvinternal
