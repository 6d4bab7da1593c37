#include <algorithm>

#include "control/CurrentProgress.h"
#include "control/DeviceTables.h"
#include "control/Exceptions.h"
#include "control/Session.h"
#include "mtp/MtpService.h"
#include "server/YavService.h"
#include "server/ZuntService.h"

namespace kvinternal {

namespace {

constexpr uint64_t searchWork = 100;
constexpr uint64_t workPerQuery = 33;
constexpr int32_t imageUpdate = 1;
constexpr int32_t plainUpdateOption = 0;

bool isTrue(const IdentifierCollection& collection, IdentifierId id) {
    return identifierValue(collection, id) == "true";
}

}  // namespace

void Session::getUpdates(const std::string& identificationId, Updates& updates) {
    const auto progress = progress_->start(searchWork, log_);
    updates = std::make_shared<std::vector<UpdateMetadata>>();
    const IdentifierCollection collection = fetchCollection(identificationId);
    createProtocolServices(collection);
    if (isTrue(collection, IdentifierId::HasDeltaSupport) ||
        isTrue(collection, IdentifierId::HasGotaV3Support) ||
        isTrue(collection, IdentifierId::HasGotaV4Support)) {
        yav_->queryUpdates(collection, updates_);
    }
    progress->addWork(workPerQuery);
    if (identifierValue(collection, IdentifierId::HasGotaV4Support) == "false") {
        zunt_->queryImageUpdates(collection, updates_);
    }
    progress->addWork(workPerQuery);
    copyUpdatesPreferringDelta(collection, updates);
}

void Session::copyUpdatesPreferringDelta(const IdentifierCollection& collection, Updates& updates) {
    bool deltaExists = false;
    for (const auto& [id, entry] : updates_) {
        if (entry->metadata.type != imageUpdate) {
            updates->push_back(entry->metadata);
            deltaExists = true;
        }
    }
    for (const auto& [id, entry] : updates_) {
        if (entry->metadata.type != imageUpdate) {
            continue;
        }
        UpdateMetadata image = entry->metadata;
        if (image.securityStateType.empty()) {
            log_.info("Image update is lacking security state type, let's generate one...");
            image.securityStateType =
                securityStateFromImei(identifierValue(collection, IdentifierId::CalculatedImei));
        }
        if (image.securityStateType != "DEVELOPMENT" && mtp_->isDeviceRooted()) {
            throw DeviceException("Boot loader is unlocked. Updates not allowed.", 0, true);
        }
        if (deltaExists) {
            auto& options = image.updateOptions;
            const auto plain = std::find(options.begin(), options.end(), plainUpdateOption);
            if (plain != options.end()) {
                options.erase(plain);
            }
            log_.info(
                "Found both an image and delta update; prioritizing delta, so update option for "
                "image is removed");
        }
        updates->push_back(std::move(image));
    }
}

void Session::getUpdatesFromDefaultCapabilityFile(const std::shared_ptr<uint8_t[]>& fileData,
                                                  uint64_t fileLength, Updates& updates) {
    const auto progress = progress_->start(searchWork, log_);
    updates = std::make_shared<std::vector<UpdateMetadata>>();
    if (!fileData && fileLength > 0) {
        throw IllegalArgumentException("Default capability file data is missing");
    }
    IdentifierCollection collection;
    zunt_->readDefaultCapabilityFile(fileData.get(), fileLength, collection);
    deriveIdentifiers(collection);
    zunt_->queryImageUpdates(collection, updates_);
    for (const auto& [id, entry] : updates_) {
        updates->push_back(entry->metadata);
    }
}

}  // namespace kvinternal
