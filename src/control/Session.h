#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Lifetime.h"
#include "common/Log.h"
#include "control/IdentifierCatalogue.h"
#include "kavrin/Kavrin.h"
#include "server/InternalUpdateMetadata.h"

namespace kvinternal {

class CurrentProgress;
class DeltaFileCache;
class HttpService;
class IdentifierCache;
class MtpService;
class ProgressHandler;
class TrackingPostRule;
class TrackingService;
class UpdateSessionIdCache;
class YavService;
class ZuntService;

// One update session, from CreateSession to DestroySession: the host's parameters, every service
// of the library, and the updates found so far. The flows of identification, update search and
// update execution are its routines; the dispatcher calls them under its operation lock, except
// `cancel` and `progress`, which it calls from the host's second thread.
class Session {
public:
    using UpdateMetadata = kv::Kavrin::UpdateMetadata;
    using Updates = std::shared_ptr<std::vector<UpdateMetadata>>;

    // Throws IllegalArgumentException for a server choice outside the four environments, before
    // anything is built.
    explicit Session(const kv::Kavrin::SessionParameters& parameters);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Releases every service in a fixed order, so that the caches write their files.
    void endSession();
    // Around every operation of the host but Cancel and GetProgress: a cancel that lands anywhere
    // in an operation, a tracking post or a call without progress included, ends it with
    // CancelledException once the call it met has returned.
    void beginOperation();
    void finishOperation() const;
    void cancel();
    double progress();

    void identifyDevice(std::shared_ptr<std::string>& identificationId);
    void getUpdates(const std::string& identificationId, Updates& updates);
    void getUpdatesFromDefaultCapabilityFile(const std::shared_ptr<uint8_t[]>& fileData,
                                             uint64_t fileLength, Updates& updates);
    void getImei(const std::string& identificationId, std::shared_ptr<std::string>& imei);

    void downloadDeltaUpdate(const std::string& updateId);
    void transferDeltaToDevice(const std::string& updateId);
    void updateDeviceWithDelta(const std::string& updateId, bool deletePackageOnSuccess);
    void getFinalResult(bool deletePackageOnSuccess,
                        std::shared_ptr<kv::Kavrin::FinalResult>& result);

private:
    // Identification.
    IdentifierCollection identifyCollection();
    void setDeviceApiFlags(IdentifierCollection& collection);
    void completeIdentifiers(IdentifierCollection& collection);
    std::string readIdentifier(ProgressHandler& progress, IdentifierId id);
    std::string buildVariantFor(const std::string& reported) const;
    std::string certificateIdFor(const std::string& reported) const;
    IdentifierCollection fetchCollection(const std::string& identificationId);
    void deriveIdentifiers(IdentifierCollection& collection) const;

    // Update search.
    void createProtocolServices(const IdentifierCollection& collection);
    void copyUpdatesPreferringDelta(const IdentifierCollection& collection, Updates& updates);

    // Update execution.
    // The delta update of that id; the failure texts differ between the operations.
    std::shared_ptr<InternalUpdateMetadata> lookupDeltaUpdate(const std::string& updateId,
                                                              const char* unknownIdText,
                                                              const char* imageUpdateText) const;
    bool deletePackage(const std::string& updateId);

    // Created first and released last: the services start their operations' handlers in it.
    std::shared_ptr<CurrentProgress> progress_;
    UpdateRegistry updates_;
    std::shared_ptr<HttpService> http_;
    std::shared_ptr<DeltaFileCache> deltaFiles_;
    std::unique_ptr<MtpService> mtp_;
    std::unique_ptr<YavService> yav_;
    std::unique_ptr<ZuntService> zunt_;
    std::unique_ptr<IdentifierCache> identifiers_;
    std::shared_ptr<UpdateSessionIdCache> updateSessionIds_;
    std::shared_ptr<TrackingService> tracking_;
    std::shared_ptr<TrackingPostRule> trackingPostRule_;
    Log log_;
    std::shared_ptr<kv::HttpProvider> httpProvider_;
    std::shared_ptr<kv::MtpProvider> mtpProvider_;
    std::string deviceId_;
    std::string imageQueryUrl_;
    std::string queryServiceOption_;
    std::string yavClientKey_;
    std::string language_;
    kv::Kavrin::BuildVariant buildVariant_;
    kv::Kavrin::CertificateChoice certificateChoice_;
    std::string clientName_;
    std::string clientVersion_;
    kv::Kavrin::Server yavServer_;
    std::string workingDirectory_;
    std::string pendingFinalResultUpdateId_;
    std::string updateQueryUrl_;
    std::string trackingUrl_;
    Lifetime lifetime_;
};

}  // namespace kvinternal
