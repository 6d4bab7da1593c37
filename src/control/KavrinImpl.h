#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "control/Session.h"
#include "kavrin/Kavrin.h"

namespace kvinternal {

// The one implementation of kv::Kavrin: logs each operation's banner, serialises operations
// under `operationMutex_`, and turns every failure into a Result. `Cancel` and `GetProgress`
// take only `sessionMutex_`, so they answer while a long operation runs. Lock order everywhere:
// `operationMutex_` before `sessionMutex_`; `logMutex_` is taken alone and only for a moment,
// so every banner is logged before its operation waits for a lock.
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

    using Routine = std::function<void(Session&)>;

    // The frame of the operations that work on the session: banner(s), the operation lock,
    // the answer for a missing session, and the translation of every failure.
    Result runSessionOperation(Banner banner, const Routine& routine);
    Result runQueuedSessionOperation(Banner queued, Banner started, const Routine& routine);
    // Runs the routine on the open session; the caller holds the lock that keeps it open.
    Result runOnSession(const Log& log, const Routine& routine);
    // The same as one operation of the host, which a cancel ends wherever it lands.
    Result runOperation(const Routine& routine);

    // The session is written under both locks and read under either: the long operations read
    // it under `operationMutex_`, `Cancel` and `GetProgress` under `sessionMutex_`. The logger
    // is written under all three and read under `logMutex_`.
    Log currentLog();
    void logBanner(Banner banner);
    void setLog(Log log);

    std::unique_ptr<Session> session_;
    Log log_;
    std::mutex operationMutex_;
    std::mutex sessionMutex_;
    std::mutex logMutex_;
};

}  // namespace kvinternal
