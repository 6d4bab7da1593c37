#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "kavrin/Kavrin.h"

namespace kvinternal {

// The one implementation of kv::Kavrin: logs each operation's banner, serialises operations
// under `operationMutex_`, and turns every failure into a Result. `Cancel` and `GetProgress`
// take only `sessionMutex_`, so they answer while a long operation runs. Lock order everywhere:
// `operationMutex_` before `sessionMutex_`.
class KavrinImpl : public kv::Kavrin {
public:
    KavrinImpl() = default;
    ~KavrinImpl() override;

    Result CreateSession(const SessionParameters& parameters) override;
    Result DestroySession() override;
    Result Cancel() override;
    Result GetProgress(double& progress) override;
    Result IdentifyDevice(std::shared_ptr<std::string>& identificationId) override;
    Result GetUpdates(const std::string& identificationId,
                      std::shared_ptr<std::vector<UpdateMetadata>>& updates) override;
    Result GetUpdatesFromDefaultCapabilityFile(
        const std::shared_ptr<uint8_t[]>& fileData, uint64_t fileLength,
        std::shared_ptr<std::vector<UpdateMetadata>>& updates) override;
    Result DownloadDeltaUpdate(const std::string& updateId) override;
    Result TransferDeltaToDevice(const std::string& updateId) override;
    Result UpdateDeviceWithDelta(const std::string& updateId, bool deletePackageOnSuccess) override;
    Result GetFinalResult(bool deletePackageOnSuccess,
                          std::shared_ptr<FinalResult>& result) override;
    Result GetImei(const std::string& identificationId,
                   std::shared_ptr<std::string>& imei) override;
    bool IsMarkerCode(const std::shared_ptr<const uint16_t>& code) override;

private:
    struct Banner {
        const char* words;
        size_t length;
    };

    // The frame of the operations that work on the session: banner(s), the operation lock,
    // and the answer for a missing session.
    Result runSessionOperation(Banner banner);
    Result runQueuedSessionOperation(Banner queued, Banner started);

    // The logger is written by CreateSession and read by operations that have not taken
    // `operationMutex_` yet; `sessionMutex_` guards it.
    Log currentLog();
    void logBanner(Banner banner);

    Log log_;
    std::mutex operationMutex_;
    std::mutex sessionMutex_;
};

}  // namespace kvinternal
