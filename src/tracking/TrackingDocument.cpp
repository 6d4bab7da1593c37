#include "tracking/TrackingDocument.h"

#include <cstddef>

#include "common/Base64.h"
#include "server/InternalUpdateMetadata.h"

namespace kvinternal {

namespace {

constexpr std::size_t maximumLogBytes = 70000;

void setIfNotEmpty(Json::Value& object, const char* key, const std::string& value) {
    if (!value.empty()) {
        object[key] = value;
    }
}

Json::Value timed(uint64_t time) {
    Json::Value document(Json::objectValue);
    document["time"] = Json::UInt64(time);
    return document;
}

Json::Value deviceMembers(const IdentifierCollection& identifiers, const TrackingClient& client) {
    const auto value = [&](IdentifierId id) { return identifierValue(identifiers, id); };
    Json::Value device(Json::objectValue);
    device["id"] = value(IdentifierId::CalculatedImei);
    device["clientVersion"] = client.version;
    setIfNotEmpty(device, "securityState", value(IdentifierId::HwConfigRevision));
    device["model"] = value(IdentifierId::Model);
    device["buildVariant"] = value(IdentifierId::BuildVariant);
    device["carrierId"] = value(IdentifierId::CarrierId);
    device["vexaProductCode"] = value(IdentifierId::VexaProductCode);
    device["swVariant"] = value(IdentifierId::SwVariant);
    device["cdfId"] = value(IdentifierId::CdfId);
    device["cdfRevision"] = value(IdentifierId::CdfVersion);
    device["swVersion"] = value(IdentifierId::AppSwVersion);
    return device;
}

// The source and target members that only one metadata version has.
void addVersionMembers(Json::Value& fw, const InternalUpdateMetadata& metadata) {
    if (const auto* v2 = dynamic_cast<const InternalUpdateMetadataV2*>(&metadata)) {
        fw["sourceSwVariant"] = v2->swVariant;
        fw["targetSwVariant"] = v2->targetSwVariant;
    } else if (const auto* v1 = dynamic_cast<const InternalUpdateMetadataV1*>(&metadata)) {
        fw["sourceCdfRevision"] = v1->cdfVersion;
        fw["targetCdfRevision"] = v1->cdfRevision;
    }
}

Json::Value fwMembers(const InternalUpdateMetadata& metadata, const PhaseReport& report,
                      const TrackingClient& client) {
    Json::Value fw(Json::objectValue);
    fw["id"] = metadata.fwId;
    fw["checksum"] = metadata.serverChecksum;
    fw["channelType"] = "cable";
    fw["initiator"] = client.name;
    fw["phase"] = report.phase;
    fw["status"] = report.outcome.status;
    setIfNotEmpty(fw, "statusCode", report.outcome.statusCode);
    fw["sourceSwVersion"] = metadata.currentSwVersion;
    fw["targetSwVersion"] = metadata.targetSwVersion;
    addVersionMembers(fw, metadata);
    setIfNotEmpty(fw, "network", report.network);
    setIfNotEmpty(fw, "downloadMode", report.downloadMode);
    if (!report.logText.empty()) {
        fw["log"] = base64Encode(report.logText.substr(0, maximumLogBytes));
    }
    return fw;
}

Json::Value hit(const InternalUpdateMetadata& metadata) {
    Json::Value hit(Json::objectValue);
    hit["id"] = metadata.fwId;
    hit["swVersion"] = metadata.targetSwVersion;
    if (const auto* v2 = dynamic_cast<const InternalUpdateMetadataV2*>(&metadata)) {
        hit["swVariant"] = v2->targetSwVariant;
    } else if (const auto* v1 = dynamic_cast<const InternalUpdateMetadataV1*>(&metadata)) {
        hit["cdfRevision"] = v1->cdfRevision;
    }
    hit["checksum"] = metadata.serverChecksum;
    return hit;
}

Json::Value manifestDocument(uint64_t time, const IdentifierCollection& identifiers,
                             const std::string& updateUrl, const TrackingClient& client,
                             const std::string& status) {
    Json::Value document = timed(time);
    Json::Value& sync = document["yavSync"];
    sync["deviceId"] = identifierValue(identifiers, IdentifierId::CalculatedImei);
    sync["updateUrl"] = updateUrl;
    sync["network"] = "cable";
    sync["initiator"] = client.name;
    sync["clientVersion"] = client.version;
    sync["trigger"] = "manual";
    sync["status"] = status;
    return document;
}

}  // namespace

Json::Value updateEventDocument(uint64_t time, const std::string& sessionId,
                                const IdentifierCollection& identifiers,
                                const InternalUpdateMetadata& metadata, const PhaseReport& report,
                                const TrackingClient& client) {
    Json::Value document = timed(time);
    Json::Value& update = document["update"];
    update["sessionId"] = sessionId;
    update["device"] = deviceMembers(identifiers, client);
    update["fw"] = fwMembers(metadata, report, client);
    return document;
}

Json::Value manifestReceivedDocument(
    uint64_t time, const IdentifierCollection& identifiers, const std::string& updateUrl,
    const TrackingClient& client, const std::string& checksum,
    const std::vector<std::shared_ptr<const InternalUpdateMetadata>>& hits) {
    Json::Value document = manifestDocument(time, identifiers, updateUrl, client, "ok");
    Json::Value& sync = document["yavSync"];
    sync["checksum"] = checksum;
    Json::Value& fw = sync["hits"]["fw"] = Json::Value(Json::arrayValue);
    for (const auto& metadata : hits) {
        if (metadata) {
            fw.append(hit(*metadata));
        }
    }
    return document;
}

Json::Value manifestErrorDocument(uint64_t time, const IdentifierCollection& identifiers,
                                  const std::string& updateUrl, const TrackingClient& client,
                                  const TrackingOutcome& outcome) {
    Json::Value document = manifestDocument(time, identifiers, updateUrl, client, outcome.status);
    document["yavSync"]["statusCode"] = outcome.statusCode;
    return document;
}

}  // namespace kvinternal
