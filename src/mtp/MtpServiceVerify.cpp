// Verify-and-update: the phone's update agent is told to check and install a transferred package.
#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>

#include "common/JsonText.h"
#include "common/Utf.h"
#include "control/Exceptions.h"
#include "mtp/MtpCodec.h"
#include "mtp/MtpService.h"
#include "mtp/PhaseTracking.h"
#include "server/InternalUpdateMetadata.h"

namespace kvinternal {

namespace {

const FailureRows verifyFailures{
    "Sending verify failed tracking event due to client cancelled",
    {4, 5, 2, 1, 1},
    "Verify and update failed due to device exception: ",
    "Verify failed due to general error",
    "Verify and update failed due to general (...) exception",
};

// The JSON messages of both operations name this one.
const char jsonOperationName[] = "0x9175";

std::string versionText(int32_t version) {
    switch (version) {
        case 1:
            return "1.0";
        case 2:
            return "2.0";
        default:
            return "";
    }
}

// Why the phone refused; `operation` names the operation as the message shows it.
std::string refusalMessage(uint16_t responseCode, const std::string& operation) {
    const std::string prefix = "Verify and update MTP operation";
    switch (responseCode) {
        case mtpresponse::generalError:
            return prefix + " (" + operation + ") caused general error";
        case mtpresponse::operationNotSupported:
            return prefix + " (" + operation + ") not supported";
        case mtpresponse::parameterNotSupported:
            return prefix + "(" + operation + ") reported parameter not supported";
        case mtpresponse::invalidObjectHandle:
            return prefix + " (" + operation +
                   ") reported that an invalid object handle was used in the call";
        default:
            return prefix + " returned unknown MTP response code : " + std::to_string(responseCode);
    }
}

struct EncodedDocument {
    std::shared_ptr<uint8_t[]> data;
    uint64_t length;
};

// One line and a line feed, as UTF-16 in a long string.
EncodedDocument encode(const Json::Value& document) {
    const auto bytes = writeLongString(utf8ToUtf16(json::oneLine(document) + "\n"));
    EncodedDocument encoded{std::shared_ptr<uint8_t[]>(new uint8_t[bytes.size()]), bytes.size()};
    std::copy(bytes.begin(), bytes.end(), encoded.data.get());
    return encoded;
}

}  // namespace

uint32_t MtpService::objectHandleFor(const std::string& updateId) const {
    const auto found = objectHandles_.find(updateId);
    if (found == objectHandles_.end()) {
        throw IllegalStateException("Could not find MTP object handle for update id: " + updateId);
    }
    return found->second;
}

void MtpService::verifyAndUpdate(const InternalUpdateMetadata& metadata,
                                 const IdentifierCollection& identifiers) {
    const std::string& updateId = metadata.metadata.id;
    log_.info("Triggering verify and update MTP operation (0x9170) for update id: " + updateId);
    const PhaseTracking tracking(log_, trackingServiceReference(), identifiers, metadata);
    const uint32_t handle = objectHandleFor(updateId);
    triggerVerify(createRequest(mtpoperation::verifyAndUpdate, handle), "0x9170", tracking);
    tracking.install({TrackingStatus::Initiated, 0, ""});
}

void MtpService::verifyAndUpdateJson(const InternalUpdateMetadata& metadata,
                                     const IdentifierCollection& identifiers,
                                     const std::string& sessionId, const std::string& initiator) {
    const std::string& updateId = metadata.metadata.id;
    log_.info("Triggering verify and update MTP operation for update id: " + updateId);
    const PhaseTracking tracking(log_, trackingServiceReference(), identifiers, metadata);
    const uint32_t handle = objectHandleFor(updateId);
    Json::Value document;
    const int32_t version = createJsonData(sessionId, updateId, initiator, metadata, document);
    auto encoded = encode(document);
    const uint64_t size = metadata.metadata.size;
    const uint16_t operation =
        version == 2 ? mtpoperation::verifyAndUpdateJsonV4 : mtpoperation::verifyAndUpdateJsonV3;
    const std::array<uint32_t, 3> parameters{handle, static_cast<uint32_t>(size),
                                             static_cast<uint32_t>(size >> 32)};
    triggerVerify(createRequest(operation, parameters, std::move(encoded.data), encoded.length),
                  jsonOperationName, tracking);
}

int32_t MtpService::createJsonData(const std::string& sessionId, const std::string& updateId,
                                   const std::string& initiator,
                                   const InternalUpdateMetadata& metadata,
                                   Json::Value& document) const {
    const int32_t version = metadata.dataVersion;
    const std::string text = versionText(version);
    log_.info("Creating JSON data of version: " + text);
    document = Json::Value(Json::objectValue);
    document["version"] = text;
    document["sessionId"] = sessionId;
    document["Id"] = updateId;
    document["checksum"] = metadata.serverChecksum;
    document["targetSwVersion"] = metadata.targetSwVersion;
    // The variant key is read from the record only when it really is of that version's kind.
    const auto* v1 = dynamic_cast<const InternalUpdateMetadataV1*>(&metadata);
    const auto* v2 = dynamic_cast<const InternalUpdateMetadataV2*>(&metadata);
    if (version == 1 && v1) {
        document["targetCdfRevision"] = v1->cdfRevision;
    } else if (version == 2 && v2) {
        document["targetSwVariant"] = v2->targetSwVariant;
    }
    document["initiator"] = initiator;
    document["updateDisplayName"] = metadata.metadata.name;
    document["updateDisplayVersion"] = metadata.metadata.version;
    document["hash"] = metadata.hash;
    return version;
}

void MtpService::triggerVerify(const std::shared_ptr<const MtpRequest>& request,
                               const std::string& operationName, const PhaseTracking& tracking) {
    const Exchange exchange = execute(request, false);
    checkMtpResultReported(exchange.result, verifyFailures,
                           [&tracking](const PhaseRow& row) { tracking.preverification(row); });
    const uint16_t responseCode = exchange.response->responseCode;
    if (responseCode == mtpresponse::ok) {
        tracking.preverification({TrackingStatus::Ok, 0, ""});
        return;
    }
    const std::string message = refusalMessage(responseCode, operationName);
    tracking.preverification({TrackingStatus::Error, 3, message, responseCode});
    throw IllegalStateException(message);
}

}  // namespace kvinternal
