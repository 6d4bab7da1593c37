#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "common/TrackingReference.h"
#include "control/IdentifierCatalogue.h"
#include "kavrin/HttpProvider.h"
#include "server/RetryRule.h"

namespace kvinternal {

class CurrentProgress;
class TrackingService;
struct InternalUpdateMetadata;

// Header names and media types of the server protocols.
inline constexpr char headerAccept[] = "Accept";
inline constexpr char headerContentType[] = "Content-Type";
inline constexpr char headerRange[] = "Range";
inline constexpr char headerContentRange[] = "Content-Range";
inline constexpr char headerYavChecksum[] = "YAV-checksum";
inline constexpr char mediaTypeJson[] = "application/json";
inline constexpr char mediaTypeXml[] = "application/xml";
inline constexpr char mediaTypeFotaUpdate[] = "application/vnd.vexaltronic.fota.update";
inline constexpr char mediaTypeArchive[] = "application/x-archive";

// Waits between attempts of one request, in milliseconds; their count is the retry limit.
inline const std::vector<uint64_t> retryDelays{3000, 6000, 12000, 24000, 120000};

// The body type a request expects. Values other than the named ones are allowed: they send no
// Accept or Content-Type header and leave the answer's content type unchecked.
enum class ContentType : uint32_t { Json = 0, Xml = 1 };

// The library's side of the host's HTTP provider: builds requests, pins the server key for https,
// repeats requests the server may answer better later, and turns provider results and HTTP
// statuses into exceptions. One per update session, shared by the server queries and tracking.
// `cancel` reaches the provider call that runs for the operation: a query, the package, or a
// tracking post, but never the tracking posts of a running download, which report its end.
class HttpService {
public:
    using HttpResult = kv::HttpProvider::HttpResult;
    using HttpResponse = kv::HttpProvider::HttpResponse;

    // `progress` names the session's running operation, whose cancellation stops the queries;
    // without one the service keeps its own.
    HttpService(Log log, std::shared_ptr<kv::HttpProvider> provider,
                std::shared_ptr<CurrentProgress> progress);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Escapes space, control bytes, bytes from 127 up and % < > { } | \ " ^ ` # as %xx
    // (lowercase hex); everything else, & = ? / : among it, passes unchanged.
    static std::string escapeUrl(const std::string& text);
    // base + "?" + queryPrefix + "&name=value" for each parameter with a value, in name order,
    // escaped. Values also get & = + escaped, so a value cannot add or split parameters.
    static std::string composeUrl(const std::string& base, const std::string& queryPrefix,
                                  std::map<std::string, std::string> parameters);
    // The pinned server key for an https address; nothing for any other.
    static std::vector<std::string> trustedKeysFor(const std::string& url);
    // Returns the failure message of an HTTP status (empty on success) and whether asking again
    // may help; throws for statuses that retrying cannot mend. `retryable` is cleared first, so
    // it is false when this throws.
    static std::string checkStatus(int32_t status, bool& retryable);

    // Throws the exception that stands for a provider result; logs success.
    void checkResult(HttpResult result) const;
    // Whether a request is answered for good (true) or is to be sent again (false, after the
    // wait `rule` gives). `rule` receives the verdict of the status check; a provider failure
    // throws before it.
    bool finishOrRetry(const std::shared_ptr<HttpResponse>& response, HttpResult result,
                       RetryRule& rule) const;

    // Returns the body of a JSON or XML answer of at most 1,000,000 bytes. `logUrl` is logged
    // in place of `url`, so a client key in the query stays out of the log. CancelledException
    // once the host cancelled the running operation.
    std::string get(const std::string& url, const std::string& logUrl,
                    const ContentType& contentType);
    // Sends `body`; extra headers never replace the Content-Type. The answer body is not read.
    // A failed request is sent again after each of `delays`, on the statuses that allow it.
    void post(const std::string& url, const std::string& logUrl, const std::string& body,
              const ContentType& contentType, std::map<std::string, std::string> extraHeaders,
              const std::vector<uint64_t>& delays = retryDelays);

    // Fetches the update's package into its delta file, continuing from the bytes already on
    // disk, then checks its size and checksum; reports the download phase to tracking. Returns
    // when the package is on disk, complete and verified (or was complete already); throws
    // otherwise, leaving what arrived on disk and in the delta file cache for the next call.
    // The session publishes its delta file cache and sets the tracking service before calling.
    void downloadDelta(const std::shared_ptr<InternalUpdateMetadata>& metadata,
                       const IdentifierCollection& identifiers);

    // Called from the host's second thread: aborts the provider call that runs for the
    // operation, if any.
    void cancel();

    // The tracking service for the download's events, set by the session once it exists.
    void setTrackingService(std::weak_ptr<TrackingService> tracking);
    // The tracking service if it still exists; logs which case it met.
    std::shared_ptr<TrackingService> trackingService() const;

private:
    // One call of `downloadDelta`: its working state and its steps.
    class Download;
    // Marks a provider call that `cancel` may abort, for as long as it runs; one that it may not
    // starts only once no abort is under way.
    class CancellableCall {
    public:
        CancellableCall(HttpService& service, bool cancellable);
        ~CancellableCall();
        CancellableCall(const CancellableCall&) = delete;
        CancellableCall& operator=(const CancellableCall&) = delete;

    private:
        void mark(bool runs);

        HttpService& service_;
        const bool cancellable_;
    };

    using Exchange = std::function<HttpResult(std::shared_ptr<HttpResponse>& response)>;

    // Runs `exchange` until `finishOrRetry` accepts its answer, counting every request in `rule`.
    std::shared_ptr<HttpResponse> sendWithRetries(const Exchange& exchange, RetryRule& rule) const;
    // The body of a JSON or XML answer, read in as many parts as the provider hands over.
    std::string readWholeBody();
    // Whether a body that filled the buffer has more to give.
    bool bodyGoesOn();
    // One provider read into `into` of `size` bytes; throws for a failed read or one that
    // claims more bytes than fit.
    uint64_t readBodyPart(const std::shared_ptr<uint8_t[]>& into, uint64_t size, bool& moreData);
    // CancelledException when the host cancelled the running operation.
    void throwIfOperationCancelled() const;
    // Whether a cancellable call runs; the provider's `cancel` is then under way until
    // `endProviderCancel`.
    bool beginProviderCancel();
    void endProviderCancel();

    Log log_;
    std::shared_ptr<kv::HttpProvider> provider_;
    std::shared_ptr<CurrentProgress> progress_;
    Lifetime lifetime_;
    // Whether a cancellable provider call runs: set on the operation thread, read by `cancel` on
    // the host's second thread. The provider's `cancel` is called outside the lock, as it may
    // wait for the operation thread to end its exchange; a call that must not be cancelled
    // starts only once no provider `cancel` is under way, so that none can land on it.
    std::mutex cancellableCallMutex_;
    std::condition_variable cancelReturned_;
    bool cancellableCallRuns_ = false;
    unsigned providerCancels_ = 0;
    // Set while a download runs: its own tracking posts must go out after a cancel.
    bool downloadRuns_ = false;
    TrackingReference tracking_;
};

}  // namespace kvinternal
