#include "server/ZuntService.h"

#include <pugixml.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <sstream>
#include <utility>
#include <vector>

#include "control/Exceptions.h"
#include "server/HttpService.h"
#include "server/QueryNoHits.h"

namespace kvinternal {

namespace {

constexpr uint64_t bytesPerMebibyte = 1048576;

// Two sessions may search on two threads; ids must stay unique across them.
std::atomic<uint64_t> updateCounter{0};

struct Release {
    std::string swVersion;
    std::string cdfVersion;
    std::string releaseNotesUrl;
    std::vector<int32_t> installTypes;
};

// Where the default capability file keeps each identifier, below "devices"/"device".
const std::pair<const char*, IdentifierId> capabilityPaths[] = {
    {"identification/model", IdentifierId::Model},
    {"identification/typeID", IdentifierId::HwType},
    {"software/vxecboot/productnumber", IdentifierId::BootLoaderProductNumber},
    {"software/vxecboot/productrevision", IdentifierId::BootLoaderRevision},
    {"software/app/productnumber", IdentifierId::AppSwId},
    {"software/app/productrevision", IdentifierId::AppSwVersion},
    {"software/cdf/productnumber", IdentifierId::CdfId},
    {"software/cdf/productrevision", IdentifierId::CdfVersion},
    {"systemserialnumbers/IMEI", IdentifierId::UnencryptedImei},
    {"systemserialnumbers/EIMEI", IdentifierId::EncryptedImei},
    {"securitystate", IdentifierId::HwConfigRevision},
};

// The first child named after each '/'-separated piece of `path` in turn.
pugi::xml_node childAtPath(pugi::xml_node node, const std::string& path) {
    std::istringstream pieces(path);
    std::string name;
    while (node && std::getline(pieces, name, '/')) {
        node = node.child(name.c_str());
    }
    return node;
}

std::string childText(const pugi::xml_node& node, const char* name) {
    return node.child(name).child_value();
}

std::vector<pugi::xml_node> childElements(const pugi::xml_node& node) {
    std::vector<pugi::xml_node> elements;
    for (const auto& child : node.children()) {
        if (child.type() == pugi::node_element) {
            elements.push_back(child);
        }
    }
    return elements;
}

std::string parseFailure(const std::string& title, const std::string& text,
                         const pugi::xml_parse_result& result) {
    const auto offset = std::min<std::size_t>(
        static_cast<std::size_t>(std::max<ptrdiff_t>(result.offset, 0)), text.size());
    return title + " [" + text +
           "] parsed with errors\nError description: " + result.description() +
           "\nError offset: " + std::to_string(result.offset) + " (error at [..." +
           text.substr(offset) + "]\n\n";
}

std::optional<int32_t> installType(const std::string& type) {
    if (type == "update") {
        return 0;
    }
    if (type == "cleanUpdate") {
        return 1;
    }
    if (type == "cleanReinstall") {
        return 2;
    }
    return std::nullopt;
}

// The install types of the image-over-cable entries; others are not ours to offer.
std::vector<int32_t> installTypes(const pugi::xml_node& updateTypes, const Log& log) {
    std::vector<int32_t> types;
    for (const auto& entry : childElements(updateTypes)) {
        if (childText(entry, "format") != "image" || childText(entry, "channel") != "cable") {
            continue;
        }
        const auto type = childText(entry, "type");
        if (const auto value = installType(type)) {
            types.push_back(*value);
        } else {
            log.error("Update type does not exist: " + type);
        }
    }
    return types;
}

// A release that can be offered, or nothing (and the reason logged).
std::optional<Release> readRelease(const pugi::xml_node& node, const Log& log) {
    Release release{childText(node, "swVersion"),
                    childText(node, "cdfVersion"),
                    childText(node, "releaseNotesUrl"),
                    {}};
    if (release.swVersion.empty()) {
        log.error("SW version could not be retrived");
        return std::nullopt;
    }
    if (release.cdfVersion.empty()) {
        log.error("CDF version could not be retrived");
        return std::nullopt;
    }
    release.installTypes = installTypes(node.child("updateTypes"), log);
    if (release.installTypes.empty()) {
        log.error("No update type specified");
        return std::nullopt;
    }
    return release;
}

// An image update's public record under a new id, with what the server says of the phone.
kv::Kavrin::UpdateMetadata imageMetadata(const std::string& ceParam,
                                         const std::string& securityStateType) {
    kv::Kavrin::UpdateMetadata metadata;
    metadata.id = "ZUNT:" + std::to_string(updateCounter++);
    metadata.type = 1;
    metadata.ceParam = ceParam;
    metadata.securityStateType = securityStateType;
    metadata.lowMemoryWarning = 0;
    metadata.minUAWorkSize = 0;
    return metadata;
}

uint64_t requiredSpace(const ProductSpace& space, const std::string& swVersion) {
    const bool newer = ZuntService::isVersionAtLeast(swVersion, space.fromVersion);
    return (newer ? space.space : space.baseSpace) * bytesPerMebibyte;
}

std::shared_ptr<InternalUpdateMetadata> releaseRecord(kv::Kavrin::UpdateMetadata metadata,
                                                      const Release& release,
                                                      const IdentifierCollection& identifiers,
                                                      const Log& log) {
    metadata.updateOptions = release.installTypes;
    metadata.releaseNotesUrl = release.releaseNotesUrl;
    metadata.version = release.swVersion;
    auto record =
        std::make_shared<InternalUpdateMetadataV1>(std::move(metadata), DeltaFile::none(log));
    record->identifierCacheId = identifierValue(identifiers, IdentifierId::IdentifierCacheId);
    record->currentSwVersion = identifierValue(identifiers, IdentifierId::AppSwVersion);
    record->targetSwVersion = release.swVersion;
    record->cdfVersion = identifierValue(identifiers, IdentifierId::CdfVersion);
    record->cdfRevision = release.cdfVersion;
    return record;
}

void add(UpdateRegistry& records, std::shared_ptr<InternalUpdateMetadata> record) {
    const auto id = record->metadata.id;
    records[id] = std::move(record);
}

std::optional<uint64_t> versionNumber(const std::string& piece) {
    uint64_t value = 0;
    const auto end = piece.data() + piece.size();
    const auto [stop, error] = std::from_chars(piece.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string> versionPieces(const std::string& version) {
    std::vector<std::string> pieces;
    std::istringstream stream(version);
    std::string piece;
    while (std::getline(stream, piece, '.')) {
        pieces.push_back(piece);
    }
    return pieces;
}

}  // namespace

ZuntService::ZuntService(Log log, std::shared_ptr<HttpService> http, std::string zuntUrl,
                         std::string clientName, std::string clientVersion)
    : log_(std::move(log)),
      lifetime_(log_, "ZUNT service", Lifetime::Announce::No),
      http_(std::move(http)),
      zuntUrl_(std::move(zuntUrl)),
      clientName_(std::move(clientName)),
      clientVersion_(std::move(clientVersion)),
      productTable_(buildProductTable()) {}

ZuntService::~ZuntService() {
    lifetime_.logDestruction();
}

bool ZuntService::isVersionAtLeast(const std::string& version, const std::string& minimum) {
    const auto ours = versionPieces(version);
    const auto theirs = versionPieces(minimum);
    for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
        const auto our = versionNumber(ours[i]);
        const auto their = versionNumber(theirs[i]);
        if (!our || !their) {
            return true;
        }
        if (*our != *their) {
            return *our > *their;
        }
    }
    return true;
}

std::map<std::string, std::string> ZuntService::queryParameters(
    const IdentifierCollection& identifiers) const {
    const auto value = [&identifiers](IdentifierId id) { return identifierValue(identifiers, id); };
    return {
        {"channel", "cable"},
        {"clientName", clientName_},
        {"clientVersion", clientVersion_},
        {"updateFormat", "image"},
        {"cdfId", value(IdentifierId::CdfId)},
        {"cdfVer", value(IdentifierId::CdfVersion)},
        {"devId", value(IdentifierId::CalculatedImei)},
        {"lang", value(IdentifierId::Language)},
        {"model", value(IdentifierId::Model)},
        {"securityState", value(IdentifierId::HwConfigRevision)},
        {"swId", value(IdentifierId::AppSwId)},
        {"swVer", value(IdentifierId::AppSwVersion)},
        {"tac_mc", value(IdentifierId::Tac)},
    };
}

std::optional<std::string> ZuntService::fetchResponse(const std::string& url) const {
    try {
        return http_->get(url, url, ContentType::Xml);
    } catch (const NetworkException& error) {
        log_.error("ZUNT caught a network exception");
        if (isNoHits(error, log_)) {
            return std::nullopt;
        }
        throw;
    }
}

void ZuntService::loadXml(const std::string& title, const std::string& text,
                          pugi::xml_document& document) const {
    const auto result = document.load_buffer(text.data(), text.size());
    if (!result) {
        throw IllegalStateException(parseFailure(title, text, result));
    }
    std::ostringstream saved;
    document.save(saved);
    log_.info(title + " [ " + saved.str() + "] parsed successfully");
}

void ZuntService::queryImageUpdates(const IdentifierCollection& identifiers,
                                    UpdateRegistry& records) const {
    const auto url = HttpService::composeUrl(zuntUrl_, "", queryParameters(identifiers));
    const auto body = fetchResponse(url);
    if (!body) {
        return;
    }
    pugi::xml_document document;
    loadXml("ZUNT XML response", *body, document);
    const auto response = document.child("updateAvailableResponse");
    const auto securityStateType = childText(response, "securityStateType");
    const auto ceParam = childText(response, "ceParam");
    const auto space =
        productSpace(productTable_, identifierValue(identifiers, IdentifierId::HwType));
    bool accepted = false;
    for (const auto& node : childElements(response.child("releaseList"))) {
        const auto release = readRelease(node, log_);
        if (!release) {
            continue;
        }
        auto metadata = imageMetadata(ceParam, securityStateType);
        metadata.requiredSpace = requiredSpace(space, release->swVersion);
        add(records, releaseRecord(std::move(metadata), *release, identifiers, log_));
        accepted = true;
    }
    if (!accepted) {
        // The host still learns the security state type and CE parameter.
        add(records, std::make_shared<InternalUpdateMetadataV1>(
                         imageMetadata(ceParam, securityStateType), DeltaFile::none(log_)));
    }
}

void ZuntService::readDefaultCapabilityFile(const uint8_t* data, uint64_t length,
                                            IdentifierCollection& identifiers) const {
    if (data == nullptr && length != 0) {
        throw IllegalArgumentException("Default capability file data is missing");
    }
    const auto text =
        length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), length);
    pugi::xml_document document;
    loadXml("Default capability XML", text, document);
    const auto device = document.child("devices").child("device");
    for (const auto& [path, id] : capabilityPaths) {
        std::string value = childAtPath(device, path).child_value();
        if (id == IdentifierId::HwConfigRevision && value == "unknown") {
            value.clear();
        }
        setIdentifier(identifiers, id, value, log_);
    }
}

}  // namespace kvinternal
