#include "control/KavrinImpl.h"

#include "common/BuildConfig.h"
#include "common/Platform.h"
#include "control/ExceptionTranslation.h"
#include "control/Exceptions.h"
#include "control/ServerChoice.h"

namespace kvinternal {

namespace {

constexpr uint16_t markerCode = 0xC340;

std::string bannerText(const std::string& words, size_t length) {
    std::string line = std::string(11, '-') + " " + words + " ";
    if (line.size() < length) {
        line.append(length - line.size(), '-');
    }
    return line;
}

// A working directory that is the root of a file system would put the caches and "tracking"
// there, once its trailing separators are dropped.
void checkWorkingDirectory(const std::string& directory) {
    if (platform::isFileSystemRoot(directory)) {
        throw IllegalArgumentException("Working directory is the root of the file system: " +
                                       directory);
    }
}

bool hasAllRequiredParameters(const kv::Kavrin::SessionParameters& parameters) {
    return parameters.httpProvider && parameters.mtpProvider && parameters.logger &&
           !parameters.deviceId.empty() && !parameters.workingDirectory.empty() &&
           !parameters.language.empty() && !parameters.clientName.empty() &&
           !parameters.clientVersion.empty();
}

}  // namespace

KavrinImpl::~KavrinImpl() {
    // Waits for a running operation; the session then goes without ending, as no host asked for
    // its caches to be written.
    std::lock_guard<std::mutex> operationLock(operationMutex_);
    std::lock_guard<std::mutex> sessionLock(sessionMutex_);
    setLog(Log());
    session_.reset();
}

Log KavrinImpl::currentLog() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

void KavrinImpl::setLog(Log log) {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_ = std::move(log);
}

void KavrinImpl::logBanner(Banner banner) {
    currentLog().infoNoThrow(bannerText(banner.words, banner.length));
}

KavrinImpl::Result KavrinImpl::runOnSession(const Log& log, const Routine& routine) {
    if (!session_) {
        return Result::IllegalState;
    }
    try {
        routine(*session_);
        return Result::Ok;
    } catch (...) {
        return translateCurrentException(log);
    }
}

KavrinImpl::Result KavrinImpl::runOperation(const Routine& routine) {
    return runOnSession(currentLog(), [&routine](Session& session) {
        session.beginOperation();
        routine(session);
        session.finishOperation();
    });
}

KavrinImpl::Result KavrinImpl::runSessionOperation(Banner banner, const Routine& routine) {
    std::lock_guard<std::mutex> operationLock(operationMutex_);
    logBanner(banner);
    return runOperation(routine);
}

KavrinImpl::Result KavrinImpl::runQueuedSessionOperation(Banner queued, Banner started,
                                                         const Routine& routine) {
    logBanner(queued);
    std::lock_guard<std::mutex> operationLock(operationMutex_);
    logBanner(started);
    return runOperation(routine);
}

KavrinImpl::Result KavrinImpl::CreateSession(const SessionParameters& parameters) {
    std::lock_guard<std::mutex> operationLock(operationMutex_);
    const Log log(parameters.logger);
    log.infoNoThrow(std::string("Running Kavrin version: ") + buildconfig::version);
    log.infoNoThrow(bannerText("Create session", 71));
    if (!hasAllRequiredParameters(parameters)) {
        return Result::IllegalArgument;
    }
    if (session_) {
        return Result::IllegalState;
    }
    std::unique_ptr<Session> session;
    try {
        // Checked here in this order, so a bad update server is reported even when the
        // image server is bad too.
        servers::yavClientKey(parameters.yavServer);
        servers::imageQueryUrl(parameters.zuntServer);
        checkWorkingDirectory(parameters.workingDirectory);
        session = std::make_unique<Session>(parameters);
    } catch (...) {
        return translateCurrentException(log);
    }
    std::lock_guard<std::mutex> sessionLock(sessionMutex_);
    session_ = std::move(session);
    setLog(log);
    return Result::Ok;
}

KavrinImpl::Result KavrinImpl::DestroySession() {
    logBanner({"Destroy session operation queued", 71});
    std::lock_guard<std::mutex> operationLock(operationMutex_);
    logBanner({"Destroy session operation started", 71});
    std::unique_ptr<Session> ending;
    {
        // Detached under the lock, ended outside it: saving the caches flushes files to disk,
        // and `Cancel` and `GetProgress` must not wait for that.
        std::lock_guard<std::mutex> sessionLock(sessionMutex_);
        ending = std::move(session_);
    }
    if (ending) {
        ending->endSession();
    }
    return Result::Ok;
}

KavrinImpl::Result KavrinImpl::Cancel() {
    const Log log = currentLog();
    log.infoNoThrow(bannerText("Cancel", 70));
    std::lock_guard<std::mutex> sessionLock(sessionMutex_);
    return runOnSession(log, [](Session& session) { session.cancel(); });
}

KavrinImpl::Result KavrinImpl::GetProgress(double& progress) {
    std::lock_guard<std::mutex> sessionLock(sessionMutex_);
    return runOnSession(currentLog(), [&](Session& session) { progress = session.progress(); });
}

KavrinImpl::Result KavrinImpl::IdentifyDevice(std::shared_ptr<std::string>& identificationId) {
    return runSessionOperation({"Identify device", 70},
                               [&](Session& session) { session.identifyDevice(identificationId); });
}

KavrinImpl::Result KavrinImpl::GetUpdates(const std::string& identificationId,
                                          std::shared_ptr<std::vector<UpdateMetadata>>& updates) {
    return runSessionOperation({"Get updates", 70}, [&](Session& session) {
        session.getUpdates(identificationId, updates);
    });
}

KavrinImpl::Result KavrinImpl::GetUpdatesFromDefaultCapabilityFile(
    const std::shared_ptr<uint8_t[]>& fileData, uint64_t fileLength,
    std::shared_ptr<std::vector<UpdateMetadata>>& updates) {
    return runSessionOperation(
        {"Get updates from default capability file", 70}, [&](Session& session) {
            session.getUpdatesFromDefaultCapabilityFile(fileData, fileLength, updates);
        });
}

KavrinImpl::Result KavrinImpl::DownloadDeltaUpdate(const std::string& updateId) {
    return runQueuedSessionOperation(
        {"Download delta update operation queued", 70},
        {"Download delta update operation started", 70},
        [&](Session& session) { session.downloadDeltaUpdate(updateId); });
}

KavrinImpl::Result KavrinImpl::TransferDeltaToDevice(const std::string& updateId) {
    return runQueuedSessionOperation(
        {"Transfer delta to device operation queued", 70},
        {"Transfer delta to device operation started", 70},
        [&](Session& session) { session.transferDeltaToDevice(updateId); });
}

KavrinImpl::Result KavrinImpl::UpdateDeviceWithDelta(const std::string& updateId,
                                                     bool deletePackageOnSuccess) {
    return runQueuedSessionOperation(
        {"Update device with delta operation queued", 71},
        {"Update device with delta operation started", 71},
        [&](Session& session) { session.updateDeviceWithDelta(updateId, deletePackageOnSuccess); });
}

KavrinImpl::Result KavrinImpl::GetFinalResult(bool deletePackageOnSuccess,
                                              std::shared_ptr<FinalResult>& result) {
    return runQueuedSessionOperation(
        {"Get final result operation queued", 71}, {"Get final result operation started", 71},
        [&](Session& session) { session.getFinalResult(deletePackageOnSuccess, result); });
}

KavrinImpl::Result KavrinImpl::GetImei(const std::string& identificationId,
                                       std::shared_ptr<std::string>& imei) {
    return runSessionOperation({"Get IMEI", 71},
                               [&](Session& session) { session.getImei(identificationId, imei); });
}

bool KavrinImpl::IsMarkerCode(const std::shared_ptr<const uint16_t>& code) {
    return code && *code == markerCode;
}

}  // namespace kvinternal

std::unique_ptr<kv::Kavrin> CreateKavrin() {
    return std::make_unique<kvinternal::KavrinImpl>();
}
