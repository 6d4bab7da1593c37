#pragma once

#include <json/json.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ReadGate.h"
#include "ScriptedHttpProvider.h"
#include "ServerAnswer.h"
#include "kavrin/HttpProvider.h"
#include "kavrin/Kavrin.h"

namespace kvtest {

enum class Endpoint { Updates, ImageUpdates, Package, Tracking, Unknown };
enum class Protocol { V3, V4 };

// One delta package of the catalogue. Its body is patterned (see PatternedBody) and `size`
// bytes long; it is served at "/packages/" + id + ".bin" on every update host.
struct SimulatedPackage {
    // Catalogue key, also the file name in the download address: keep it URL-safe.
    std::string id;
    // Packages with the same fwId share one "fw" element, whose checksum, name, version, release
    // notes and dynConf come from the first of them.
    std::string fwId;
    std::string name;
    std::string version;
    std::string releaseNotesUrl;
    std::string checksum;
    // The "dynConf" object; null leaves the member out.
    Json::Value dynConf;
    // The target software version ("swVersion" of the package).
    std::string swVersion;
    uint64_t size = 0;
    std::string swVariant;  // protocol 4
    std::string swId;       // protocol 3, with cdfId and cdfRevision
    std::string cdfId;
    std::string cdfRevision;
    std::vector<Protocol> protocols{Protocol::V3, Protocol::V4};
    // The phones ("model" query parameter) offered the package; empty offers it to every phone.
    std::vector<std::string> models;
    // The "hash" the manifest states instead of the body's SHA-256 (a wrong or empty one).
    std::optional<std::string> statedHash;

    // A package with every text filled from `id`, offered to every phone by both protocols.
    static SimulatedPackage example(const std::string& id, uint64_t size);
};

// The image-update endpoint's answer. Empty texts leave their element out.
struct ImageUpdateType {
    std::string channel = "cable";
    std::string format = "image";
    std::string type = "update";
};

struct ImageRelease {
    std::string swVersion;
    std::string cdfVersion;
    std::string releaseNotesUrl;
    std::vector<ImageUpdateType> updateTypes;
};

struct ImageUpdates {
    std::string securityStateType;
    std::string ceParam;
    std::vector<ImageRelease> releases;
};

// A misbehaviour for one request of an endpoint. The members combine; `failure` and `status`
// replace the answer, the others change it. Body offsets count from the start of the body of
// that answer (after any Range).
struct ServerFault {
    using HttpResult = kv::HttpProvider::HttpResult;

    // The exchange fails without a response.
    std::optional<HttpResult> failure;
    // Answers with this status and no body; the request is not served.
    std::optional<int32_t> status;
    // The connection fails (CommunicationFailed) once this many body bytes are delivered.
    std::optional<uint64_t> cutAfter;
    // Delivery stops at body offset `holdAt` until `gate` opens or the exchange is cancelled.
    std::shared_ptr<ReadGate> gate;
    uint64_t holdAt = 0;
    // The answer itself waits until this gate opens or the exchange is cancelled: a server that
    // takes the request and never answers (the in-process front end only).
    std::shared_ptr<ReadGate> answerGate;
    // A front end on a socket sends the body a byte at a time, this long apart.
    std::chrono::milliseconds dripInterval{0};
    // A Range header is ignored: 200 with the whole body.
    bool ignoreRange = false;
    // Sent as "Content-Range" instead of the right value.
    std::optional<std::string> contentRange;
    bool dropContentRange = false;
    bool dropContentType = false;
    // Sent as "Content-Type" instead of the endpoint's media type.
    std::optional<std::string> contentType;
    // Sent instead of the body (a malformed manifest, say), with the endpoint's content type.
    std::optional<std::string> body;

    static ServerFault withStatus(int32_t status);
    static ServerFault providerFailure(HttpResult result);
    static ServerFault cutBodyAfter(uint64_t bytes);
    static ServerFault holdBodyAt(uint64_t offset, std::shared_ptr<ReadGate> gate);
    static ServerFault holdAnswer(std::shared_ptr<ReadGate> gate);
    static ServerFault dripBody(std::chrono::milliseconds interval);
    static ServerFault rangeIgnored();
    static ServerFault wrongContentRange(std::string value);
    static ServerFault withoutContentRange();
    static ServerFault withoutContentType();
    static ServerFault withContentType(std::string value);
    static ServerFault withBody(std::string body);
};

// A request as the server understood it, and the status it answered (0 when the exchange
// failed without a response).
struct ServedRequest {
    RecordedHttpRequest request;
    Endpoint endpoint = Endpoint::Unknown;
    // The environment whose host was asked; empty for an unknown host.
    std::optional<kv::Kavrin::Server> environment;
    // The protocol of an update or tracking endpoint.
    std::optional<Protocol> protocol;
    std::string host;
    std::string path;
    std::string packageId;
    // The query, percent-decoded; `malformedQuery` when it could not be (answered 400).
    std::string clientKey;
    std::map<std::string, std::string> query;
    bool malformedQuery = false;
    int32_t status = 0;
};

struct TrackingDocument {
    Protocol protocol;
    Json::Value document;
    std::string text;
};

// One model of the update, image-update, package and tracking endpoints of the four server
// environments: requests in, answers out, so that every front end (the in-process provider,
// a real server) serves the same behaviour. It records every request and injects faults per
// endpoint. All members may be called from any thread; answers call back into the server while
// their bodies are delivered, so it must outlive them.
class SimulatedUpdateServer {
public:
    static constexpr std::size_t forever = std::numeric_limits<std::size_t>::max();

    SimulatedUpdateServer();

    // Adds a package, or replaces the one with the same id in its place.
    void addPackage(SimulatedPackage package);
    void setImageUpdates(ImageUpdates updates);
    // The manifest names each package at `baseUrl` + "/" + id + ".bin", on a server that serves
    // the files itself (a web server or a CDN), instead of on the update host that answers.
    void setPackageBase(std::string baseUrl);
    // Bodies are handed over in pieces of at most this many bytes (at least 1), and at most the
    // reader's buffer.
    void setPieceLimit(uint64_t bytes);
    // Queues a fault for the next `times` requests of the endpoint, after those queued before.
    void injectFault(Endpoint endpoint, ServerFault fault, std::size_t times = 1);

    ServerAnswer answer(const RecordedHttpRequest& request);

    std::vector<ServedRequest> requests() const;
    std::vector<ServedRequest> requests(Endpoint endpoint) const;
    std::size_t count(Endpoint endpoint) const;
    std::vector<TrackingDocument> trackingDocuments() const;
    // Body bytes of the package handed to front ends so far, over all requests.
    uint64_t bytesServed(const std::string& packageId) const;

    static std::string packageUrl(const std::string& packageId,
                                  kv::Kavrin::Server server = kv::Kavrin::Server::Test);
    // The SHA-256 of the package's body (not a stated hash); throws for an unknown id.
    std::string packageHash(const std::string& packageId);

private:
    struct Host {
        kv::Kavrin::Server environment;
        bool images;
    };
    struct QueuedFault {
        ServerFault fault;
        std::size_t remaining;
    };

    ServedRequest understand(const RecordedHttpRequest& request) const;
    void route(ServedRequest& served) const;
    // The status that refuses the request before the endpoint looks at it, if any.
    static std::optional<int32_t> refusal(const ServedRequest& served,
                                          RecordedHttpRequest::Method method, bool keyed);
    static ServerAnswer statusAnswer(int32_t status);
    static ServerAnswer textAnswer(std::string text, const std::string& contentType);
    static void applyFault(const ServerFault& fault, ServerAnswer& answer);

    // The members below run under `mutex_`.
    ServerFault takeFault(Endpoint endpoint);
    ServerAnswer modelAnswer(const ServedRequest& served, bool ignoreRange);
    ServerAnswer updatesAnswer(const ServedRequest& served);
    ServerAnswer imageAnswer(const ServedRequest& served) const;
    ServerAnswer packageAnswer(const ServedRequest& served, bool ignoreRange);
    ServerAnswer trackingAnswer(const ServedRequest& served);
    Json::Value manifest(const ServedRequest& served);
    Json::Value fota(const SimulatedPackage& package, Protocol protocol, const std::string& host);
    const SimulatedPackage* findPackage(const std::string& id) const;
    const std::string& bodyHash(uint64_t size);
    AnswerBody packageBody(const std::string& id, uint64_t first, uint64_t length);

    std::map<std::string, Host> hosts_;
    std::string imagePath_;

    mutable std::mutex mutex_;
    std::vector<SimulatedPackage> packages_;
    ImageUpdates imageUpdates_;
    std::string packageBase_;
    uint64_t pieceLimit_ = AnswerBody::unlimited;
    std::map<Endpoint, std::deque<QueuedFault>> faults_;
    std::vector<ServedRequest> requests_;
    std::vector<TrackingDocument> trackingDocuments_;
    std::map<std::string, uint64_t> bytesServed_;
    std::map<uint64_t, std::string> hashes_;
};

}  // namespace kvtest
