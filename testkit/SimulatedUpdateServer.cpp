#include "SimulatedUpdateServer.h"

#include <zlib.h>
#include <pugixml.hpp>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "PatternedBody.h"
#include "RequestUrl.h"
#include "common/JsonText.h"
#include "control/ServerChoice.h"
#include "server/HttpService.h"

namespace kvtest {

namespace {

using Method = RecordedHttpRequest::Method;
using kv::Kavrin;

constexpr char packagePrefix[] = "/packages/";
constexpr char packageSuffix[] = ".bin";

const std::map<std::string, std::pair<Endpoint, Protocol>>& updateHostPaths() {
    static const std::map<std::string, std::pair<Endpoint, Protocol>> paths{
        {"/yav/v3/updates", {Endpoint::Updates, Protocol::V3}},
        {"/yav/v4/updates", {Endpoint::Updates, Protocol::V4}},
        {"/trackingv3", {Endpoint::Tracking, Protocol::V3}},
        {"/trackingv4", {Endpoint::Tracking, Protocol::V4}},
    };
    return paths;
}

constexpr Kavrin::Server environments[] = {Kavrin::Server::Test, Kavrin::Server::Stage,
                                           Kavrin::Server::SysTest, Kavrin::Server::Release};

std::string hostOf(const std::string& url) {
    return RequestUrl::parse(url).value().host();
}

std::optional<std::string> findHeader(const std::map<std::string, std::string>& headers,
                                      const std::string& name) {
    const auto found = headers.find(name);
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

struct ByteRange {
    uint64_t first;
    std::optional<uint64_t> last;
};

// 1 to 19 decimal digits (so the value fits in 64 bits), nothing else.
std::optional<uint64_t> decimal(const std::string& text) {
    const bool digitsOnly =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (text.empty() || text.size() > 19 || !digitsOnly) {
        return std::nullopt;
    }
    return std::stoull(text);
}

// "bytes=a-b" or "bytes=a-"; nothing for any other form or for b < a. (Parsed by hand: GCC's
// std::regex draws false warnings in sanitizer builds.)
std::optional<ByteRange> parseRange(const std::string& value) {
    const std::string prefix = "bytes=";
    const auto dash = value.find('-', prefix.size());
    if (value.compare(0, prefix.size(), prefix) != 0 || dash == std::string::npos) {
        return std::nullopt;
    }
    const auto first = decimal(value.substr(prefix.size(), dash - prefix.size()));
    if (!first) {
        return std::nullopt;
    }
    ByteRange range{*first, std::nullopt};
    const std::string lastText = value.substr(dash + 1);
    if (lastText.empty()) {
        return range;
    }
    range.last = decimal(lastText);
    if (!range.last || *range.last < range.first) {
        return std::nullopt;
    }
    return range;
}

std::string crc32Text(const std::string& body) {
    const auto crc = crc32_z(0L, reinterpret_cast<const Bytef*>(body.data()), body.size());
    return std::to_string(crc);
}

// Elements with text content; an empty text leaves its element out.
void appendTextChildren(pugi::xml_node parent,
                        std::initializer_list<std::pair<const char*, std::string>> children) {
    for (const auto& [name, text] : children) {
        if (!text.empty()) {
            parent.append_child(name).text().set(text.c_str());
        }
    }
}

std::string imageXml(const ImageUpdates& updates) {
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("updateAvailableResponse");
    appendTextChildren(
        root, {{"securityStateType", updates.securityStateType}, {"ceParam", updates.ceParam}});
    pugi::xml_node releaseList = root.append_child("releaseList");
    for (const ImageRelease& release : updates.releases) {
        pugi::xml_node element = releaseList.append_child("release");
        appendTextChildren(element, {{"swVersion", release.swVersion},
                                     {"cdfVersion", release.cdfVersion},
                                     {"releaseNotesUrl", release.releaseNotesUrl}});
        pugi::xml_node types = element.append_child("updateTypes");
        for (const ImageUpdateType& type : release.updateTypes) {
            appendTextChildren(
                types.append_child("updateType"),
                {{"channel", type.channel}, {"format", type.format}, {"type", type.type}});
        }
    }
    std::ostringstream text;
    document.save(text);
    return text.str();
}

Json::Value fwElement(const SimulatedPackage& package) {
    Json::Value fw;
    fw["id"] = package.fwId;
    fw["checksum"] = package.checksum;
    fw["name"] = package.name;
    fw["version"] = package.version;
    fw["extendedInfo"]["releaseNotesUrl"] = package.releaseNotesUrl;
    if (!package.dynConf.isNull()) {
        fw["dynConf"] = package.dynConf;
    }
    fw["installElements"]["fotas"] = Json::arrayValue;
    return fw;
}

bool offers(const SimulatedPackage& package, Protocol protocol, const std::string& model) {
    const auto& protocols = package.protocols;
    const auto& models = package.models;
    return std::find(protocols.begin(), protocols.end(), protocol) != protocols.end() &&
           (models.empty() || std::find(models.begin(), models.end(), model) != models.end());
}

}  // namespace

SimulatedPackage SimulatedPackage::example(const std::string& id, uint64_t size) {
    SimulatedPackage package;
    package.id = id;
    package.fwId = "fw-" + id;
    package.name = "Update " + id;
    package.version = "2.0 " + id;
    package.releaseNotesUrl = "https://notes.kavrin.example/" + id;
    package.checksum = "checksum-" + id;
    package.swVersion = "2.0.0." + id;
    package.size = size;
    package.swVariant = "variant-" + id;
    package.swId = "sw-" + id;
    package.cdfId = "cdf-" + id;
    package.cdfRevision = "cdf-rev-" + id;
    return package;
}

namespace {

template <typename Member, typename Value>
ServerFault faultWith(Member ServerFault::*member, Value value) {
    ServerFault fault;
    fault.*member = std::move(value);
    return fault;
}

}  // namespace

ServerFault ServerFault::withStatus(int32_t status) {
    return faultWith(&ServerFault::status, status);
}

ServerFault ServerFault::providerFailure(HttpResult result) {
    return faultWith(&ServerFault::failure, result);
}

ServerFault ServerFault::cutBodyAfter(uint64_t bytes) {
    return faultWith(&ServerFault::cutAfter, bytes);
}

ServerFault ServerFault::holdBodyAt(uint64_t offset, std::shared_ptr<ReadGate> gate) {
    ServerFault fault = faultWith(&ServerFault::gate, std::move(gate));
    fault.holdAt = offset;
    return fault;
}

ServerFault ServerFault::holdAnswer(std::shared_ptr<ReadGate> gate) {
    return faultWith(&ServerFault::answerGate, std::move(gate));
}

ServerFault ServerFault::dripBody(std::chrono::milliseconds interval) {
    return faultWith(&ServerFault::dripInterval, interval);
}

ServerFault ServerFault::rangeIgnored() {
    return faultWith(&ServerFault::ignoreRange, true);
}

ServerFault ServerFault::wrongContentRange(std::string value) {
    return faultWith(&ServerFault::contentRange, std::move(value));
}

ServerFault ServerFault::withoutContentRange() {
    return faultWith(&ServerFault::dropContentRange, true);
}

ServerFault ServerFault::withoutContentType() {
    return faultWith(&ServerFault::dropContentType, true);
}

ServerFault ServerFault::withContentType(std::string value) {
    return faultWith(&ServerFault::contentType, std::move(value));
}

ServerFault ServerFault::withBody(std::string body) {
    return faultWith(&ServerFault::body, std::move(body));
}

SimulatedUpdateServer::SimulatedUpdateServer() {
    for (const Kavrin::Server environment : environments) {
        hosts_[hostOf(kvinternal::servers::updateServerBase(environment))] = {environment, false};
        const std::string imageUrl = kvinternal::servers::imageQueryUrl(environment);
        hosts_[hostOf(imageUrl)] = {environment, true};
        imagePath_ = RequestUrl::parse(imageUrl).value().path();
    }
}

void SimulatedUpdateServer::addPackage(SimulatedPackage package) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto sameId = [&](const SimulatedPackage& known) { return known.id == package.id; };
    const auto found = std::find_if(packages_.begin(), packages_.end(), sameId);
    if (found != packages_.end()) {
        *found = std::move(package);
    } else {
        packages_.push_back(std::move(package));
    }
}

void SimulatedUpdateServer::setImageUpdates(ImageUpdates updates) {
    std::lock_guard<std::mutex> lock(mutex_);
    imageUpdates_ = std::move(updates);
}

void SimulatedUpdateServer::setPackageBase(std::string baseUrl) {
    std::lock_guard<std::mutex> lock(mutex_);
    packageBase_ = std::move(baseUrl);
}

void SimulatedUpdateServer::setPieceLimit(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pieceLimit_ = std::max<uint64_t>(bytes, 1);
}

void SimulatedUpdateServer::injectFault(Endpoint endpoint, ServerFault fault, std::size_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (times > 0) {
        faults_[endpoint].push_back({std::move(fault), times});
    }
}

ServerAnswer SimulatedUpdateServer::answer(const RecordedHttpRequest& request) {
    ServedRequest served = understand(request);
    std::lock_guard<std::mutex> lock(mutex_);
    const ServerFault fault = takeFault(served.endpoint);
    ServerAnswer answer;
    if (fault.failure) {
        answer.failure = fault.failure;
    } else if (fault.status) {
        answer = statusAnswer(*fault.status);
    } else {
        answer = modelAnswer(served, fault.ignoreRange);
        applyFault(fault, answer);
    }
    answer.body.pieceLimit = pieceLimit_;
    served.status = answer.failure ? 0 : answer.status;
    requests_.push_back(std::move(served));
    return answer;
}

ServedRequest SimulatedUpdateServer::understand(const RecordedHttpRequest& request) const {
    ServedRequest served;
    served.request = request;
    const auto url = RequestUrl::parse(request.url);
    if (!url) {
        return served;
    }
    served.host = url->host();
    served.path = url->path();
    if (const auto query = url->query()) {
        served.clientKey = query->clientKey;
        served.query = query->parameters;
    } else {
        served.malformedQuery = true;
    }
    route(served);
    return served;
}

void SimulatedUpdateServer::route(ServedRequest& served) const {
    const auto host = hosts_.find(served.host);
    if (host == hosts_.end()) {
        return;
    }
    served.environment = host->second.environment;
    const std::string& path = served.path;
    if (host->second.images) {
        served.endpoint = path == imagePath_ ? Endpoint::ImageUpdates : Endpoint::Unknown;
        return;
    }
    if (const auto known = updateHostPaths().find(path); known != updateHostPaths().end()) {
        served.endpoint = known->second.first;
        served.protocol = known->second.second;
        return;
    }
    const std::size_t prefix = sizeof(packagePrefix) - 1;
    const std::size_t suffix = sizeof(packageSuffix) - 1;
    if (path.size() > prefix + suffix && path.compare(0, prefix, packagePrefix) == 0 &&
        path.compare(path.size() - suffix, suffix, packageSuffix) == 0) {
        served.endpoint = Endpoint::Package;
        served.packageId = path.substr(prefix, path.size() - prefix - suffix);
    }
}

std::optional<int32_t> SimulatedUpdateServer::refusal(const ServedRequest& served, Method method,
                                                      bool keyed) {
    if (served.request.method != method) {
        return 405;
    }
    if (served.malformedQuery) {
        return 400;
    }
    if (keyed && served.clientKey != kvinternal::servers::yavClientKey(*served.environment)) {
        return 401;
    }
    return std::nullopt;
}

ServerAnswer SimulatedUpdateServer::statusAnswer(int32_t status) {
    ServerAnswer answer;
    answer.status = status;
    return answer;
}

ServerAnswer SimulatedUpdateServer::textAnswer(std::string text, const std::string& contentType) {
    ServerAnswer answer;
    answer.headers[kvinternal::headerContentType] = contentType;
    answer.body = AnswerBody::text(std::move(text));
    return answer;
}

void SimulatedUpdateServer::applyFault(const ServerFault& fault, ServerAnswer& answer) {
    if (fault.body) {
        answer.body = AnswerBody::text(*fault.body);
    }
    if (fault.contentRange) {
        answer.headers[kvinternal::headerContentRange] = *fault.contentRange;
    }
    if (fault.dropContentRange) {
        answer.headers.erase(kvinternal::headerContentRange);
    }
    if (fault.contentType) {
        answer.headers[kvinternal::headerContentType] = *fault.contentType;
    }
    if (fault.dropContentType) {
        answer.headers.erase(kvinternal::headerContentType);
    }
    answer.body.cutAfter = fault.cutAfter;
    answer.body.holdAt = fault.holdAt;
    answer.body.gate = fault.gate;
    answer.body.byteInterval = fault.dripInterval;
    answer.gate = fault.answerGate;
}

ServerFault SimulatedUpdateServer::takeFault(Endpoint endpoint) {
    auto& queue = faults_[endpoint];
    if (queue.empty()) {
        return {};
    }
    ServerFault fault = queue.front().fault;
    std::size_t& remaining = queue.front().remaining;
    if (remaining != forever && --remaining == 0) {
        queue.pop_front();
    }
    return fault;
}

ServerAnswer SimulatedUpdateServer::modelAnswer(const ServedRequest& served, bool ignoreRange) {
    switch (served.endpoint) {
        case Endpoint::Updates:
            return updatesAnswer(served);
        case Endpoint::ImageUpdates:
            return imageAnswer(served);
        case Endpoint::Package:
            return packageAnswer(served, ignoreRange);
        case Endpoint::Tracking:
            return trackingAnswer(served);
        case Endpoint::Unknown:
            break;
    }
    if (served.environment) {
        return statusAnswer(404);
    }
    // No such host: the name does not resolve.
    ServerAnswer answer;
    answer.failure = kv::HttpProvider::HttpResult::UrlError;
    return answer;
}

ServerAnswer SimulatedUpdateServer::updatesAnswer(const ServedRequest& served) {
    if (const auto status = refusal(served, Method::Get, true)) {
        return statusAnswer(*status);
    }
    return textAnswer(kvinternal::json::styled(manifest(served)), kvinternal::mediaTypeJson);
}

Json::Value SimulatedUpdateServer::manifest(const ServedRequest& served) {
    const Protocol protocol = *served.protocol;
    const auto model = served.query.find("model");
    const std::string phoneModel = model == served.query.end() ? "" : model->second;
    Json::Value root;
    root["checksum"] = "simulated-manifest-1";
    Json::Value& fw = root["fw"] = Json::arrayValue;
    std::map<std::string, Json::ArrayIndex> elementOfFwId;
    for (const SimulatedPackage& package : packages_) {
        if (!offers(package, protocol, phoneModel)) {
            continue;
        }
        const auto [element, added] = elementOfFwId.emplace(package.fwId, fw.size());
        if (added) {
            fw.append(fwElement(package));
        }
        fw[element->second]["installElements"]["fotas"].append(
            fota(package, protocol, served.host));
    }
    return root;
}

Json::Value SimulatedUpdateServer::fota(const SimulatedPackage& package, Protocol protocol,
                                        const std::string& host) {
    Json::Value fota;
    fota["swVersion"] = package.swVersion;
    fota["downloadUrl"] =
        (packageBase_.empty() ? "https://" + host + packagePrefix : packageBase_ + "/") +
        package.id + packageSuffix;
    fota["size"] = Json::UInt64{package.size};
    fota["hash"] = package.statedHash ? *package.statedHash : bodyHash(package.size);
    if (protocol == Protocol::V4) {
        fota["swVariant"] = package.swVariant;
    } else {
        fota["swId"] = package.swId;
        fota["cdfId"] = package.cdfId;
        fota["cdfRevision"] = package.cdfRevision;
    }
    return fota;
}

ServerAnswer SimulatedUpdateServer::imageAnswer(const ServedRequest& served) const {
    if (const auto status = refusal(served, Method::Get, false)) {
        return statusAnswer(*status);
    }
    return textAnswer(imageXml(imageUpdates_), kvinternal::mediaTypeXml);
}

ServerAnswer SimulatedUpdateServer::packageAnswer(const ServedRequest& served, bool ignoreRange) {
    if (const auto status = refusal(served, Method::Get, false)) {
        return statusAnswer(*status);
    }
    const SimulatedPackage* package = findPackage(served.packageId);
    if (!package) {
        return statusAnswer(404);
    }
    const uint64_t size = package->size;
    const auto rangeHeader = findHeader(served.request.headers, kvinternal::headerRange);
    ServerAnswer answer;
    answer.headers[kvinternal::headerContentType] = kvinternal::mediaTypeFotaUpdate;
    if (!rangeHeader || ignoreRange) {
        answer.body = packageBody(package->id, 0, size);
        return answer;
    }
    const auto range = parseRange(*rangeHeader);
    if (!range) {
        return statusAnswer(400);
    }
    if (range->first >= size) {
        answer.status = 416;
        answer.headers[kvinternal::headerContentRange] = "bytes */" + std::to_string(size);
        return answer;
    }
    const uint64_t last = std::min(range->last.value_or(size - 1), size - 1);
    answer.status = 206;
    answer.headers[kvinternal::headerContentRange] = "bytes " + std::to_string(range->first) + "-" +
                                                     std::to_string(last) + "/" +
                                                     std::to_string(size);
    answer.body = packageBody(package->id, range->first, last + 1 - range->first);
    return answer;
}

ServerAnswer SimulatedUpdateServer::trackingAnswer(const ServedRequest& served) {
    if (const auto status = refusal(served, Method::Post, true)) {
        return statusAnswer(*status);
    }
    const std::string& body = served.request.body;
    const auto checksum = findHeader(served.request.headers, kvinternal::headerYavChecksum);
    if (!checksum || *checksum != crc32Text(body)) {
        return statusAnswer(400);
    }
    const auto parsed = kvinternal::json::parse(body);
    if (!parsed.ok || !parsed.root.isObject()) {
        return statusAnswer(400);
    }
    trackingDocuments_.push_back({*served.protocol, parsed.root, body});
    return statusAnswer(200);
}

const SimulatedPackage* SimulatedUpdateServer::findPackage(const std::string& id) const {
    for (const SimulatedPackage& package : packages_) {
        if (package.id == id) {
            return &package;
        }
    }
    return nullptr;
}

const std::string& SimulatedUpdateServer::bodyHash(uint64_t size) {
    auto found = hashes_.find(size);
    if (found == hashes_.end()) {
        found = hashes_.emplace(size, PatternedBody::sha256Hex(size)).first;
    }
    return found->second;
}

AnswerBody SimulatedUpdateServer::packageBody(const std::string& id, uint64_t first,
                                              uint64_t length) {
    AnswerBody body;
    body.size = length;
    body.copy = [this, id, first](uint64_t offset, uint8_t* out, uint64_t count) {
        PatternedBody::fill(first + offset, out, count);
        std::lock_guard<std::mutex> lock(mutex_);
        bytesServed_[id] += count;
    };
    return body;
}

std::vector<ServedRequest> SimulatedUpdateServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<ServedRequest> SimulatedUpdateServer::requests(Endpoint endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ServedRequest> matching;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(matching),
                 [endpoint](const ServedRequest& served) { return served.endpoint == endpoint; });
    return matching;
}

std::size_t SimulatedUpdateServer::count(Endpoint endpoint) const {
    return requests(endpoint).size();
}

std::vector<TrackingDocument> SimulatedUpdateServer::trackingDocuments() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trackingDocuments_;
}

uint64_t SimulatedUpdateServer::bytesServed(const std::string& packageId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = bytesServed_.find(packageId);
    return found == bytesServed_.end() ? 0 : found->second;
}

std::string SimulatedUpdateServer::packageUrl(const std::string& packageId, Kavrin::Server server) {
    return kvinternal::servers::updateServerBase(server) + packagePrefix + packageId +
           packageSuffix;
}

std::string SimulatedUpdateServer::packageHash(const std::string& packageId) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SimulatedPackage* package = findPackage(packageId);
    if (!package) {
        throw std::invalid_argument("No simulated package " + packageId);
    }
    return bodyHash(package->size);
}

}  // namespace kvtest
