#include <cstddef>
#include <cstdint>
#include <exception>
#include <iomanip>
#include <locale>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "common/LockFiles.h"
#include "common/Log.h"
#include "common/Platform.h"
#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "control/IdentifierCatalogue.h"
#include "control/ProgressHandler.h"
#include "kavrin/HttpProvider.h"
#include "server/EmptyReads.h"
#include "server/HttpService.h"
#include "server/InternalUpdateMetadata.h"
#include "store/DeltaFile.h"
#include "store/PackageDigest.h"
#include "tracking/TrackingService.h"
#include "tracking/TrackingStatus.h"

namespace kvinternal {

namespace {

// The body moves through one buffer of this size per attempt; the package is never held whole.
constexpr uint64_t pieceSize = 1000000;

constexpr int32_t noNumber = -1;

// How often a download that waits for another session's download of its package looks again.
constexpr uint64_t packageWaitMilliseconds = 500;

// The answer to a range that starts past the end of the server's file.
constexpr int32_t statusRangeNotSatisfiable = 416;

// Phase results of the download event.
constexpr int32_t cancelledByUser = 1;
constexpr int32_t generalError = 2;
constexpr int32_t checksumFailed = 4;
constexpr int32_t httpStatusError = 6;
constexpr int32_t sizeCheckFailed = 7;
constexpr int32_t networkProblem = 8;

std::string withSixDecimals(double fraction) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(6) << fraction;
    return text.str();
}

struct RangeNumbers {
    std::string first;
    std::string last;
    std::string total;
};

bool isDigit(char character) {
    return character >= '0' && character <= '9';
}

// The first "digits-digits/digits" anywhere in `text`, as the pattern (\d+)-(\d+)/(\d+) finds
// it. Searched by hand in one pass: a pattern engine needs stack in proportion to the length of
// the text, and the text comes from the server.
std::optional<RangeNumbers> findRangeNumbers(const std::string& text) {
    const auto digitsEnd = [&text](std::size_t from) {
        while (from < text.size() && isDigit(text[from])) {
            ++from;
        }
        return from;
    };
    for (std::size_t start = 0; start < text.size(); ++start) {
        // A match found inside a run of digits would also be found from the run's start.
        if (!isDigit(text[start]) || (start > 0 && isDigit(text[start - 1]))) {
            continue;
        }
        const std::size_t dash = digitsEnd(start);
        if (dash == text.size() || text[dash] != '-') {
            continue;
        }
        const std::size_t slash = digitsEnd(dash + 1);
        if (slash == dash + 1 || slash == text.size() || text[slash] != '/') {
            continue;
        }
        const std::size_t end = digitsEnd(slash + 1);
        if (end > slash + 1) {
            return RangeNumbers{text.substr(start, dash - start),
                                text.substr(dash + 1, slash - dash - 1),
                                text.substr(slash + 1, end - slash - 1)};
        }
    }
    return std::nullopt;
}

// The content type is reported, never enforced: servers label packages in several ways.
void logContentType(const kv::HttpProvider::HttpResponse& response, const Log& log) {
    const auto header = response.headers.find(headerContentType);
    if (header == response.headers.end()) {
        log.error("HTTP response does not return a content type");
        return;
    }
    const std::string& value = header->second;
    if (value.find(mediaTypeFotaUpdate) == std::string::npos &&
        value.find(mediaTypeArchive) == std::string::npos) {
        log.info("Content type header indicates non FOTA content: " + value);
    }
}

}  // namespace

class HttpService::Download {
public:
    Download(HttpService& service, InternalUpdateMetadata& metadata,
             const IdentifierCollection& identifiers);
    ~Download();
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    void run();

private:
    std::optional<platform::FileLock> waitForPackage();
    bool acceptCompleteFile();
    void fetchRemainingBytes();
    std::shared_ptr<HttpResponse> requestPackage(uint64_t current);
    std::shared_ptr<const kv::HttpProvider::HttpRequest> packageRequest(uint64_t current) const;
    HttpResult getPackage(const std::shared_ptr<const kv::HttpProvider::HttpRequest>& request,
                          std::shared_ptr<HttpResponse>& response);
    bool continuesFile(const HttpResponse& response, uint64_t current) const;
    void checkContentRange(const std::string& value, uint64_t current) const;
    void receiveBody();
    uint64_t readPiece(const std::shared_ptr<uint8_t[]>& buffer, bool& moreData);
    bool retryAfter(const std::exception_ptr& failure);
    void checkSize();
    void verifyChecksum();

    [[noreturn]] void failChecksum(const std::string& report);

    void throwIfCancelled() const;
    // Credits the bytes beyond the furthest point this call has reached; returns their count.
    uint64_t creditProgress(uint64_t bytesOnDisk);
    // Every event but the final success goes through here; once a final event is out, later
    // ones are only logged.
    void send(TrackingStatus status, int32_t phaseResult, const std::string& logText,
              int32_t number = noNumber);

    HttpService& service_;
    const Log& log_;
    InternalUpdateMetadata& metadata_;
    DeltaFile& file_;
    const IdentifierCollection& identifiers_;
    const std::shared_ptr<ProgressHandler> progress_;
    std::shared_ptr<TrackingService> tracking_;
    RetryRule retries_{retryDelays, pieceSize};
    PackageDigest digest_;
    bool finalSent_ = false;
    EmptyReads emptyReads_;
    // The most package bytes ever on disk during this call, as given to the progress handler.
    // Only bytes beyond it are progress, for the handler and for the retry rule alike: bytes
    // fetched again after a discard earn nothing.
    uint64_t credited_ = 0;
};

void HttpService::downloadDelta(const std::shared_ptr<InternalUpdateMetadata>& metadata,
                                const IdentifierCollection& identifiers) {
    if (!metadata) {
        throw IllegalArgumentException("No update given to download");
    }
    // Without a size there is no package to fetch and no range to ask for.
    if (metadata->deltaFile.fileSize() == 0) {
        throw IllegalStateException("Delta package size is 0, nothing to download from: " +
                                    metadata->deltaFile.url());
    }
    Download(*this, *metadata, identifiers).run();
}

HttpService::Download::Download(HttpService& service, InternalUpdateMetadata& metadata,
                                const IdentifierCollection& identifiers)
    : service_(service),
      log_(service.log_),
      metadata_(metadata),
      file_(metadata.deltaFile),
      identifiers_(identifiers),
      progress_(service.progress_->start(file_.fileSize(), service.log_)) {
    service_.downloadRuns_ = true;
    const uint64_t onDisk = file_.currentSize();
    // A file longer than the package is discarded by the first attempt and counts for nothing.
    credited_ = onDisk <= file_.fileSize() ? onDisk : 0;
    progress_->addWork(credited_);
    tracking_ = service_.trackingService();
}

HttpService::Download::~Download() {
    service_.downloadRuns_ = false;
}

void HttpService::Download::run() {
    send(TrackingStatus::Initiated, 0, "");
    const auto packageLock = waitForPackage();
    if (file_.isComplete() && acceptCompleteFile()) {
        return;
    }
    for (;;) {
        try {
            fetchRemainingBytes();
            break;
        } catch (...) {
            // Every failure closes the file, so the cache records the bytes that arrived.
            file_.close();
            if (!retryAfter(std::current_exception())) {
                throw;
            }
        }
    }
    checkSize();
    verifyChecksum();
}

// Sessions that share the working directory download one package one at a time: another that
// has it is waited for, showing how far it has come, until it is done or the host cancels; this
// session then finds the package whole or resumes from what is on disk.
std::optional<platform::FileLock> HttpService::Download::waitForPackage() {
    const std::string& path = file_.path();
    const auto slash = path.rfind('/');
    auto lock = lockfiles::open(path.substr(0, slash), path.substr(slash + 1), log_);
    if (!lock || lock->tryLock()) {
        return lock;
    }
    log_.info("Another session is downloading the package, waiting for it: " + path);
    do {
        try {
            throwIfCancelled();
        } catch (...) {
            retryAfter(std::current_exception());
            throw;
        }
        const uint64_t onDisk = file_.currentSize();
        creditProgress(onDisk <= file_.fileSize() ? onDisk : 0);
        platform::sleepMilliseconds(packageWaitMilliseconds);
    } while (!lock->tryLock());
    return lock;
}

// A package found whole on disk is hashed once and kept only when its checksum matches; one
// that does not match is removed and fetched again.
bool HttpService::Download::acceptCompleteFile() {
    log_.info("File already downloaded.");
    std::string report;
    switch (file_.verifyOrRemove(report, log_, digest_)) {
        case DeltaFile::Verdict::Verified:
            send(TrackingStatus::Ok, 0, "");
            return true;
        case DeltaFile::Verdict::Removed:
            log_.error(report);
            digest_.reset();
            return false;
        case DeltaFile::Verdict::Kept:
            break;
    }
    failChecksum(report);
}

void HttpService::Download::fetchRemainingBytes() {
    // An earlier attempt may have brought the last bytes before its connection failed.
    if (file_.isComplete()) {
        return;
    }
    log_.info("Downloading delta file from: " + file_.url() + ", to: " + file_.path());
    if (file_.currentSize() > file_.fileSize()) {
        log_.error("Delta file is corrupt, redownloading file");
        file_.discard();
    }
    // The bytes already on disk are hashed once, before the first request; the rest as it
    // arrives.
    if (!digest_.catchUp(file_)) {
        throw IllegalStateException("Delta file could not be read: " + file_.path());
    }
    const uint64_t current = file_.currentSize();
    const auto response = requestPackage(current);
    logContentType(*response, log_);
    if (!continuesFile(*response, current)) {
        file_.discard();
        digest_.reset();
    }
    receiveBody();
}

std::shared_ptr<const kv::HttpProvider::HttpRequest> HttpService::Download::packageRequest(
    uint64_t current) const {
    std::map<std::string, std::string> headers{{headerYavChecksum, metadata_.serverChecksum}};
    if (current != 0) {
        headers[headerRange] =
            "bytes=" + std::to_string(current) + "-" + std::to_string(file_.fileSize() - 1);
    }
    const std::string& url = file_.url();
    return std::make_shared<const kv::HttpProvider::HttpRequest>(
        kv::HttpProvider::HttpRequest{url, std::move(headers), trustedKeysFor(url)});
}

kv::HttpProvider::HttpResult HttpService::Download::getPackage(
    const std::shared_ptr<const kv::HttpProvider::HttpRequest>& request,
    std::shared_ptr<HttpResponse>& response) {
    const CancellableCall call(service_, true);
    return service_.provider_->get(request, response);
}

std::shared_ptr<HttpService::HttpResponse> HttpService::Download::requestPackage(uint64_t current) {
    auto request = packageRequest(current);
    return service_.sendWithRetries(
        [&](std::shared_ptr<HttpResponse>& answer) {
            // A cancelled download sends no further request, also after a retry wait.
            throwIfCancelled();
            HttpResult result = getPackage(request, answer);
            // The server's file ends before the bytes on disk do, so they are no start of it:
            // asking again would get the same answer after minutes of waits. They are dropped
            // and the whole package asked for at once.
            if (current != 0 && result == HttpResult::Success && answer &&
                answer->statusCode == statusRangeNotSatisfiable) {
                log_.error("Server cannot send the delta file from byte " +
                           std::to_string(current) + ", redownloading file");
                file_.discard();
                digest_.reset();
                current = 0;
                request = packageRequest(0);
                throwIfCancelled();
                result = getPackage(request, answer);
            }
            return result;
        },
        retries_);
}

// Whether the answer carries the package from `current` on; false when a range was asked for
// and the server sends the whole package instead (status 200). Throws when it names another
// range, or answers with part of the package without saying which part.
bool HttpService::Download::continuesFile(const HttpResponse& response, uint64_t current) const {
    if (current == 0) {
        return true;
    }
    if (response.statusCode != 206) {
        return false;
    }
    const auto contentRange = response.headers.find(headerContentRange);
    checkContentRange(contentRange == response.headers.end() ? "" : contentRange->second, current);
    return true;
}

void HttpService::Download::checkContentRange(const std::string& value, uint64_t current) const {
    const auto numbers = findRangeNumbers(value);
    if (!numbers) {
        throw IllegalStateException("Server responded with incorrect Range header : " + value);
    }
    log_.info("m[1]=" + numbers->first + ", m[2]=" + numbers->last + ", m[3]=" + numbers->total);
    const uint64_t size = file_.fileSize();
    if (numbers->first != std::to_string(current) || numbers->last != std::to_string(size - 1) ||
        numbers->total != std::to_string(size)) {
        throw IllegalStateException("Server responded with incorrect values in Range header : " +
                                    value);
    }
}

void HttpService::Download::receiveBody() {
    file_.open();
    const std::shared_ptr<uint8_t[]> buffer(new uint8_t[pieceSize]());
    // A connection that breaks once the body flows may be mended by asking for the rest.
    retries_.setRetryable(true);
    emptyReads_ = EmptyReads();
    uint64_t onDisk = file_.currentSize();
    bool moreData = false;
    do {
        const uint64_t bytesRead = readPiece(buffer, moreData);
        file_.write(buffer.get(), static_cast<int64_t>(bytesRead));
        digest_.add(buffer.get(), bytesRead);
        onDisk += bytesRead;
        retries_.creditData(creditProgress(onDisk));
        log_.verbose("Progress is: " + withSixDecimals(progress_->fraction()));
        // Only after the piece is on disk: a cancel never throws away what has arrived.
        throwIfCancelled();
    } while (moreData);
    file_.close();
}

uint64_t HttpService::Download::readPiece(const std::shared_ptr<uint8_t[]>& buffer,
                                          bool& moreData) {
    const uint64_t bytesRead = service_.readBodyPart(buffer, pieceSize, moreData);
    emptyReads_.count(bytesRead, moreData);
    return bytesRead;
}

// Sends the failure's event and returns false, or waits and returns true when a network
// failure may pass on another attempt.
bool HttpService::Download::retryAfter(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const IllegalStateException& error) {
        send(TrackingStatus::Error, generalError,
             std::string("Delta download failed due to illegal state exception: ") + error.what());
    } catch (const NetworkException& error) {
        const std::string message =
            std::string("Delta download failed due to network exception: ") + error.what();
        if (const auto delay = retries_.nextDelay()) {
            log_.error(message + ". Trying again after: " + std::to_string(*delay / 1000) +
                       " seconds.");
            platform::sleepMilliseconds(*delay);
            return true;
        }
        send(TrackingStatus::Error, error.isHttpStatus() ? httpStatusError : networkProblem,
             message, static_cast<int32_t>(error.code()));
    } catch (const CancelledException& error) {
        log_.error(std::string("Delta download failed due to cancellation from user: ") +
                   error.what());
        send(TrackingStatus::Cancelled, cancelledByUser, "");
    } catch (const std::exception& error) {
        send(TrackingStatus::Error, generalError,
             std::string("Delta download failed due to general exception: ") + error.what());
    } catch (...) {
        send(TrackingStatus::Error, generalError,
             "Delta download failed due to general(...) exception");
    }
    return false;
}

void HttpService::Download::checkSize() {
    if (file_.isComplete()) {
        return;
    }
    send(TrackingStatus::Error, sizeCheckFailed,
         "Size check of delta package failed. Actual size: " + std::to_string(file_.currentSize()) +
             ", expected size: " + std::to_string(file_.fileSize()));
    throw IllegalStateException("Size check of delta package failed");
}

void HttpService::Download::verifyChecksum() {
    std::string report;
    if (file_.verifyOrRemove(report, log_, digest_) != DeltaFile::Verdict::Verified) {
        failChecksum(report);
    }
    if (tracking_) {
        tracking_->downloadEvent(identifiers_, metadata_, TrackingStatus::Ok, 0, "", noNumber);
    }
}

void HttpService::Download::failChecksum(const std::string& report) {
    send(TrackingStatus::Error, checksumFailed, report);
    throw IllegalStateException("Checsum check of delta package failed");
}

void HttpService::Download::throwIfCancelled() const {
    if (progress_->isCancelled()) {
        throw CancelledException("Client has cancelled the download of delta package");
    }
}

// Bytes fetched again after a discard are not counted twice, so the fraction never reaches 1.0
// before the package is whole and never goes back, and a server that sends the same bytes again
// and again (it ignores Range, the connection breaks) runs out of attempts.
uint64_t HttpService::Download::creditProgress(uint64_t bytesOnDisk) {
    if (bytesOnDisk <= credited_) {
        return 0;
    }
    const uint64_t gained = bytesOnDisk - credited_;
    progress_->addWork(gained);
    credited_ = bytesOnDisk;
    return gained;
}

void HttpService::Download::send(TrackingStatus status, int32_t phaseResult,
                                 const std::string& logText, int32_t number) {
    if (!logText.empty()) {
        log_.error("Sending to tracking: " + logText);
    }
    if (finalSent_) {
        log_.info("Final event already sent, ignoring tracking message.");
        return;
    }
    if (tracking_) {
        tracking_->downloadEvent(identifiers_, metadata_, status, phaseResult, logText, number);
    }
    if (status != TrackingStatus::Initiated) {
        finalSent_ = true;
    }
}

}  // namespace kvinternal
