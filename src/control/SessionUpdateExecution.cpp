#include "control/Exceptions.h"
#include "control/Session.h"
#include "mtp/MtpService.h"
#include "server/HttpService.h"
#include "store/IdentifierCache.h"
#include "store/PackageDigest.h"
#include "store/UpdateSessionIdCache.h"

namespace kvinternal {

namespace {

constexpr char devicePackagePath[] = "/recovery/update_package";
constexpr int32_t imageUpdate = 1;

constexpr char unknownIdForDownload[] = "Update id does not exist : ";
constexpr char unknownId[] = "Update id does not exist: ";
constexpr char aImageUpdate[] = "Update id points to a image based update, which isn't supported.";
constexpr char anImageUpdate[] =
    "Update id points to an image based update, which isn't supported.";

bool isTrue(const IdentifierCollection& collection, IdentifierId id) {
    return identifierValue(collection, id) == "true";
}

bool installsByItself(const IdentifierCollection& collection) {
    return isTrue(collection, IdentifierId::HasGotaV3Support) ||
           isTrue(collection, IdentifierId::HasGotaV4Support);
}

}  // namespace

std::shared_ptr<InternalUpdateMetadata> Session::lookupDeltaUpdate(
    const std::string& updateId, const char* unknownIdText, const char* imageUpdateText) const {
    const auto found = updates_.find(updateId);
    if (found == updates_.end()) {
        throw IllegalArgumentException(unknownIdText + updateId);
    }
    if (found->second->metadata.type == imageUpdate) {
        throw IllegalArgumentException(imageUpdateText);
    }
    return found->second;
}

void Session::downloadDeltaUpdate(const std::string& updateId) {
    const auto entry = lookupDeltaUpdate(updateId, unknownIdForDownload, aImageUpdate);
    http_->downloadDelta(entry, fetchCollection(entry->identifierCacheId));
}

void Session::transferDeltaToDevice(const std::string& updateId) {
    const auto entry = lookupDeltaUpdate(updateId, unknownId, aImageUpdate);
    DeltaFile& package = entry->deltaFile;
    if (!package.isComplete()) {
        throw IllegalStateException(
            "Package file has not been successfully downloaded for update id: " + updateId);
    }
    // A package from an earlier session, or one this session has not checked, is hashed once
    // before it goes to the phone: the disk may have changed it since it was downloaded.
    if (!package.isVerified()) {
        std::string report;
        PackageDigest digest;
        if (package.verifyOrRemove(report, log_, digest) != DeltaFile::Verdict::Verified) {
            log_.error(report);
            throw IllegalStateException(
                "Package file does not match its checksum, download it again for update id: " +
                updateId);
        }
    }
    mtp_->transferFile(*entry, fetchCollection(entry->identifierCacheId), updateId,
                       entry->deltaFile, devicePackagePath);
}

void Session::updateDeviceWithDelta(const std::string& updateId, bool deletePackageOnSuccess) {
    const auto entry = lookupDeltaUpdate(updateId, unknownId, anImageUpdate);
    const IdentifierCollection collection = fetchCollection(entry->identifierCacheId);
    if (!installsByItself(collection)) {
        mtp_->verifyAndUpdate(*entry, collection);
        pendingFinalResultUpdateId_ = updateId;
        return;
    }
    const std::string sessionId = updateSessionIds_->getSessionId(
        identifierValue(collection, IdentifierId::EncryptedImei),
        identifierValue(collection, IdentifierId::CalculatedImei), entry->fwId, false);
    mtp_->verifyAndUpdateJson(*entry, collection, sessionId, clientName_);
    if (deletePackageOnSuccess && deletePackage(updateId)) {
        updates_.erase(updateId);
        pendingFinalResultUpdateId_.clear();
    } else {
        pendingFinalResultUpdateId_ = updateId;
    }
}

void Session::getFinalResult(bool deletePackageOnSuccess,
                             std::shared_ptr<kv::Kavrin::FinalResult>& result) {
    const auto found = updates_.find(pendingFinalResultUpdateId_);
    if (found == updates_.end()) {
        throw IllegalArgumentException(
            "Update id does not exist: " + pendingFinalResultUpdateId_ +
            ". NOTE! The \"GetFinalResult\" function shall not be called for GOTA devices." +
            " This should only be considered as an error if the device is NOT a GOTA device.");
    }
    const auto entry = found->second;
    if (installsByItself(fetchCollection(entry->identifierCacheId))) {
        log_.error("GetFinalResult operation not supported for this device.");
        log_.error("Nothing to do. Flow has been transferred to device already.");
        return;
    }
    // The phone has rebooted into its new software: identify it afresh, under the same id.
    IdentifierCollection rebooted = identifyCollection();
    setIdentifier(rebooted, IdentifierId::IdentifierCacheId, entry->identifierCacheId, log_);
    const std::string identificationId = identifiers_->addCollection(std::move(rebooted));
    mtp_->getFinalResult(*entry, fetchCollection(identificationId), result);
    if (result->success && deletePackageOnSuccess && !pendingFinalResultUpdateId_.empty() &&
        deletePackage(pendingFinalResultUpdateId_)) {
        updates_.erase(pendingFinalResultUpdateId_);
        pendingFinalResultUpdateId_.clear();
    }
}

bool Session::deletePackage(const std::string& updateId) {
    log_.info("Deleting package after successful delta update.");
    const auto found = updates_.find(updateId);
    if (found == updates_.end()) {
        log_.error("Could not find file to delete for update id: " + updateId);
        return false;
    }
    DeltaFile& package = found->second->deltaFile;
    if (!package.remove()) {
        log_.error("Could not delete package file at location: " + package.path() +
                   " with id: " + updateId);
        return false;
    }
    return true;
}

}  // namespace kvinternal
