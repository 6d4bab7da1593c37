#include "server/YavService.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "common/JsonText.h"
#include "control/Exceptions.h"
#include "server/HttpService.h"
#include "server/QueryNoHits.h"
#include "tracking/TrackingService.h"

namespace kvinternal {

namespace {

// Two sessions may search on two threads; ids must stay unique across them.
std::atomic<uint64_t> updateCounter{0};

// Manifest error phase results.
constexpr int32_t phaseCancelled = 0;
constexpr int32_t phaseGeneral = 1;
constexpr int32_t phaseParser = 2;
constexpr int32_t phaseHttpStatus = 3;
constexpr int32_t phaseProvider = 4;
constexpr int32_t noNumber = -1;

std::string lowerCase(std::string text) {
    for (auto& byte : text) {
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<char>(byte - 'A' + 'a');
        }
    }
    return text;
}

std::string memberPath(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "." + name;
}

// JsonCpp reports a member of the wrong type with a bare logic error, or, for a wrong array or
// object, not at all; the query names the member instead.
[[noreturn]] void malformed(const std::string& path, const std::string& reason) {
    throw IllegalStateException(
        "Malformed YAV manifest: " + (path.empty() ? std::string("the document") : path) + ": " +
        reason);
}

// The member `name` of the object at `path`, or null when it has none. Whatever else stands
// where an object belongs makes the manifest malformed.
const Json::Value* find(const Json::Value& object, const std::string& path, const char* name) {
    if (!object.isNull() && !object.isObject()) {
        malformed(path, "not an object");
    }
    return object.find(name, name + std::strlen(name));
}

const Json::Value& member(const Json::Value& object, const std::string& path, const char* name) {
    const auto* value = find(object, path, name);
    return value == nullptr ? Json::Value::nullSingleton() : *value;
}

// An array member; an absent one has no elements.
const Json::Value& arrayMember(const Json::Value& object, const std::string& path,
                               const char* name) {
    const auto& value = member(object, path, name);
    if (!value.isNull() && !value.isArray()) {
        malformed(memberPath(path, name), "not an array");
    }
    return value;
}

// A member as JsonCpp converts it, or `fallback` when absent.
template <typename T, typename Convert>
T converted(const Json::Value& object, const std::string& path, const char* name, T fallback,
            Convert convert) {
    const auto* value = find(object, path, name);
    if (value == nullptr) {
        return fallback;
    }
    try {
        return convert(*value);
    } catch (const Json::LogicError& error) {
        malformed(memberPath(path, name), error.what());
    }
}

std::string text(const Json::Value& object, const std::string& path, const char* name) {
    return converted(object, path, name, std::string(),
                     [](const Json::Value& value) { return value.asString(); });
}

uint64_t unsigned64(const Json::Value& object, const std::string& path, const char* name,
                    uint64_t fallback) {
    return converted(object, path, name, fallback,
                     [](const Json::Value& value) { return value.asUInt64(); });
}

int32_t signed32(const Json::Value& object, const std::string& path, const char* name,
                 int32_t fallback) {
    return converted(object, path, name, fallback,
                     [](const Json::Value& value) { return value.asInt(); });
}

int64_t signed64(const Json::Value& object, const std::string& path, const char* name,
                 int64_t fallback) {
    return converted(object, path, name, fallback,
                     [](const Json::Value& value) { return value.asInt64(); });
}

std::string indexPath(const std::string& path, Json::ArrayIndex index) {
    return path + "[" + std::to_string(index) + "]";
}

// The installation requirements, with the defaults of those the server leaves out.
void readDynConf(const Json::Value& element, const std::string& path,
                 kv::Kavrin::UpdateMetadata& metadata) {
    const auto& dynConf = member(element, path, "dynConf");
    const auto at = memberPath(path, "dynConf");
    metadata.lowMemoryWarning = unsigned64(dynConf, at, "lowMemoryWarning", 524288000);
    metadata.reservedBytesForUpdate = unsigned64(dynConf, at, "reservedBytesForUpdate", 0);
    metadata.reservedBytesForRepartitioning =
        unsigned64(dynConf, at, "reservedBytesForRepartitioning", 0);
    metadata.minUAWorkSize = unsigned64(dynConf, at, "minUAWorkSize", 104857600);
    metadata.minBatteryLevel = signed32(dynConf, at, "minBatteryLevel", -1);
    metadata.installationDuration = signed64(dynConf, at, "installationDuration", -1);
}

}  // namespace

// What the packages of one "fw" element share.
struct YavService::Firmware {
    std::string id;
    std::string checksum;
    kv::Kavrin::UpdateMetadata metadata;
};

YavService::YavService(Log log, std::shared_ptr<HttpService> http,
                       std::shared_ptr<TrackingService> tracking, std::string yavClientKey,
                       std::string queryUrl, std::string rootDirectory, std::string group,
                       std::weak_ptr<DeltaFileCache> deltaFiles)
    : log_(std::move(log)),
      lifetime_(log_, "YAV service"),
      http_(std::move(http)),
      tracking_(std::move(tracking)),
      yavClientKey_(std::move(yavClientKey)),
      queryUrl_(std::move(queryUrl)),
      rootDirectory_(std::move(rootDirectory)),
      group_(std::move(group)),
      deltaFiles_(std::move(deltaFiles)) {}

YavService::~YavService() {
    lifetime_.logDestruction();
}

std::map<std::string, std::string> YavService::queryParameters(
    const IdentifierCollection& identifiers, bool protocol4) const {
    const auto value = [&identifiers](IdentifierId id) { return identifierValue(identifiers, id); };
    std::map<std::string, std::string> parameters{
        {"channelType", "cable"},
        {"clientcertid", value(IdentifierId::MtpApplicationCertificateId)},
        {"content", "fw"},
        {"group", group_},
        {"IMEI", value(IdentifierId::CalculatedImei)},
        {"lang", value(IdentifierId::Language)},
        {"model", value(IdentifierId::Model)},
        {"securityState", value(IdentifierId::HwConfigRevision)},
        {"sw-revision", value(IdentifierId::AppSwVersion)},
        {"sw-type", lowerCase(value(IdentifierId::BuildVariant))},
        {"tac", value(IdentifierId::Tac)},
    };
    if (protocol4) {
        parameters.insert({{"carrier-id", value(IdentifierId::CarrierId)},
                           {"vexa-product-code", value(IdentifierId::VexaProductCode)},
                           {"sw-variant", value(IdentifierId::SwVariant)}});
    } else {
        parameters.insert({{"cust-id", value(IdentifierId::CdfId)},
                           {"cust-revision", value(IdentifierId::CdfVersion)},
                           {"sw-id", value(IdentifierId::AppSwId)}});
    }
    return parameters;
}

void YavService::reportManifestError(int32_t phaseResult, const IdentifierCollection& identifiers,
                                     const std::string& logUrl, int32_t number) const {
    if (tracking_) {
        tracking_->manifestError(phaseResult, identifiers, logUrl, number);
    }
}

std::optional<std::string> YavService::fetchManifest(const IdentifierCollection& identifiers,
                                                     const std::string& url,
                                                     const std::string& logUrl) const {
    try {
        return http_->get(url, logUrl, ContentType::Json);
    } catch (const IllegalStateException& error) {
        log_.error(std::string("Get manifest failed: illegal state exception: ") + error.what());
        reportManifestError(phaseGeneral, identifiers, logUrl, noNumber);
        throw;
    } catch (const CancelledException& error) {
        log_.error(std::string("Get manifest failed: cancelled by user: ") + error.what());
        reportManifestError(phaseCancelled, identifiers, logUrl, noNumber);
        throw;
    } catch (const NetworkException& error) {
        log_.error(std::string("Get manifest failed: ") + error.what());
        if (error.code() == std::numeric_limits<uint32_t>::max()) {
            reportManifestError(phaseGeneral, identifiers, logUrl, noNumber);
        } else {
            reportManifestError(error.isHttpStatus() ? phaseHttpStatus : phaseProvider, identifiers,
                                logUrl, static_cast<int32_t>(error.code()));
        }
        if (isNoHits(error, log_)) {
            return std::nullopt;
        }
        throw;
    } catch (const std::exception& error) {
        log_.error(std::string("Sending manifest failed tracking event (general): ") +
                   error.what());
        reportManifestError(phaseGeneral, identifiers, logUrl, noNumber);
        throw;
    } catch (...) {
        log_.error("Sending manifest failed tracking event (...)");
        reportManifestError(phaseGeneral, identifiers, logUrl, noNumber);
        throw;
    }
}

Json::Value YavService::parseBody(const IdentifierCollection& identifiers, const std::string& body,
                                  const std::string& logUrl) const {
    auto parsed = json::parse(body);
    if (!parsed.ok) {
        log_.error("Get manifest failed: manifest parser error: ");
        reportManifestError(phaseParser, identifiers, logUrl, noNumber);
        throw IllegalStateException("YAV JSON response [" + body +
                                    "] failed to be parsed: " + parsed.errors);
    }
    log_.info("YAV JSON response [" + json::indented(parsed.root) + "] parsed successfully");
    return std::move(parsed.root);
}

std::shared_ptr<InternalUpdateMetadata> YavService::packageRecord(
    int32_t dataVersion, const Firmware& firmware, const Json::Value& fota, const std::string& path,
    const IdentifierCollection& identifiers) const {
    const auto targetSwVersion = text(fota, path, "swVersion");
    const auto downloadUrl = text(fota, path, "downloadUrl");
    const auto size = unsigned64(fota, path, "size", 0);
    const auto hash = text(fota, path, "hash");
    auto metadata = firmware.metadata;
    metadata.size = size;
    auto deltaFile =
        DeltaFile::create(rootDirectory_, log_, downloadUrl, size, hash, deltaFiles_.lock());
    std::shared_ptr<InternalUpdateMetadata> record;
    if (dataVersion == 2) {
        auto v2 =
            std::make_shared<InternalUpdateMetadataV2>(std::move(metadata), std::move(deltaFile));
        v2->carrierId = identifierValue(identifiers, IdentifierId::CarrierId);
        v2->vexaProductCode = identifierValue(identifiers, IdentifierId::VexaProductCode);
        v2->swVariant = identifierValue(identifiers, IdentifierId::SwVariant);
        v2->targetSwVariant = text(fota, path, "swVariant");
        record = std::move(v2);
    } else {
        auto v1 =
            std::make_shared<InternalUpdateMetadataV1>(std::move(metadata), std::move(deltaFile));
        v1->swId = text(fota, path, "swId");
        v1->cdfId = text(fota, path, "cdfId");
        v1->cdfVersion = identifierValue(identifiers, IdentifierId::CdfVersion);
        v1->cdfRevision = text(fota, path, "cdfRevision");
        record = std::move(v1);
    }
    record->serverChecksum = firmware.checksum;
    record->identifierCacheId = identifierValue(identifiers, IdentifierId::IdentifierCacheId);
    record->fwId = firmware.id;
    record->hash = hash;
    record->currentSwVersion = identifierValue(identifiers, IdentifierId::AppSwVersion);
    record->targetSwVersion = targetSwVersion;
    return record;
}

YavService::Records YavService::parseManifest(int32_t dataVersion, const Json::Value& root,
                                              const IdentifierCollection& identifiers) const {
    // GOTA phones install through the newer interface; their delta updates are type 2.
    const bool gota = identifierValue(identifiers, IdentifierId::HasGotaV3Support) == "true" ||
                      identifierValue(identifiers, IdentifierId::HasGotaV4Support) == "true";
    Records records;
    const auto& elements = arrayMember(root, "", "fw");
    for (Json::ArrayIndex i = 0; i < elements.size(); ++i) {
        const auto& element = elements[i];
        const auto path = indexPath("fw", i);
        Firmware firmware{text(element, path, "id"), text(element, path, "checksum"), {}};
        auto& metadata = firmware.metadata;
        metadata.type = gota ? 2 : 0;
        metadata.updateOptions = {0};
        metadata.releaseNotesUrl = text(member(element, path, "extendedInfo"),
                                        memberPath(path, "extendedInfo"), "releaseNotesUrl");
        metadata.version = text(element, path, "version");
        metadata.name = text(element, path, "name");
        readDynConf(element, path, metadata);
        const auto fotasPath = memberPath(path, "installElements");
        const auto& fotas =
            arrayMember(member(element, path, "installElements"), fotasPath, "fotas");
        for (Json::ArrayIndex j = 0; j < fotas.size(); ++j) {
            records.push_back(packageRecord(dataVersion, firmware, fotas[j],
                                            indexPath(memberPath(fotasPath, "fotas"), j),
                                            identifiers));
        }
    }
    return records;
}

void YavService::queryUpdates(const IdentifierCollection& identifiers,
                              UpdateRegistry& records) const {
    const bool protocol4 = identifierValue(identifiers, IdentifierId::HasGotaV4Support) == "true";
    const auto parameters = queryParameters(identifiers, protocol4);
    const auto url = HttpService::composeUrl(queryUrl_, yavClientKey_, parameters);
    const auto logUrl = HttpService::composeUrl(queryUrl_, "", parameters);
    const auto body = fetchManifest(identifiers, url, logUrl);
    if (!body) {
        return;
    }
    const auto root = parseBody(identifiers, *body, logUrl);
    const auto checksum = text(root, "", "checksum");
    // Read whole before anything is added, so a malformed manifest leaves no half in the
    // registry.
    const auto found = parseManifest(protocol4 ? 2 : 1, root, identifiers);
    std::vector<std::shared_ptr<const InternalUpdateMetadata>> hits;
    for (const auto& record : found) {
        record->metadata.id = "YAV:" + std::to_string(updateCounter++);
        records[record->metadata.id] = record;
        hits.push_back(record);
    }
    if (tracking_) {
        tracking_->manifestReceived(identifiers, hits, checksum, logUrl);
    }
}

}  // namespace kvinternal
