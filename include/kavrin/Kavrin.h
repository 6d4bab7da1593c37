#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kavrin/HttpProvider.h"
#include "kavrin/Logger.h"
#include "kavrin/MtpProvider.h"

#if defined(_WIN32)
#if defined(KAVRIN_BUILDING_LIBRARY)
#define KAVRIN_EXPORT __declspec(dllexport)
#elif defined(KAVRIN_STATIC)  // linked with the library's objects rather than Kavrin.dll
#define KAVRIN_EXPORT
#else
#define KAVRIN_EXPORT __declspec(dllimport)
#endif
#else
#define KAVRIN_EXPORT __attribute__((visibility("default")))
#endif

namespace kv {

// Updates the software of one phone attached by USB. Obtain one object from `CreateKavrin` and
// call, in this order: CreateSession; IdentifyDevice; GetUpdates (or
// GetUpdatesFromDefaultCapabilityFile); DownloadDeltaUpdate; TransferDeltaToDevice;
// UpdateDeviceWithDelta; for a legacy FOTA phone, after its reboot and in the same session,
// GetFinalResult; DestroySession.
//
// Threads: every operation runs on the thread that calls it; operations are serialised, so a
// second caller waits. `Cancel` and `GetProgress` may be called from another thread at any time
// and answer without waiting for the running operation.
//
// No exception leaves an operation: each returns a `Result` and logs one error line on failure.
// Outputs go through the reference parameters; the library allocates them.
class Kavrin {
public:
    enum class Result : int32_t {
        Ok = 0,
        GeneralError = 1,
        IllegalState = 2,
        NetworkError = 3,
        DeviceError = 4,
        BootLoaderUnlocked = 5,
        IllegalArgument = 6,
        Cancelled = 7,
        UserNotAuthorized = 8
    };

    // Server environment; any other value of the underlying type is refused by CreateSession.
    enum class Server : int32_t { Test, Stage, SysTest, Release };

    // Build variant reported to the servers; FromDevice uses what the phone reports.
    enum class BuildVariant : int32_t { FromDevice, User, UserDebug, Eng };

    // MTP application certificate reported to the servers; any value other than FromDevice and
    // Live selects the test certificate.
    enum class CertificateChoice : int32_t { FromDevice, Live, Test };

    // Everything the library is configured with. The three services are shared with the library
    // for the length of the session; the strings are copied.
    struct SessionParameters {
        std::shared_ptr<Logger> logger;
        std::shared_ptr<HttpProvider> httpProvider;
        std::shared_ptr<MtpProvider> mtpProvider;
        std::string deviceId;            // passed unchanged to every MtpProvider call
        std::string workingDirectory;    // UTF-8; holds the caches, packages and stored events
        std::string queryServiceOption;  // optional "group" of the update query
        Server yavServer = Server::Test;
        Server zuntServer = Server::Test;
        std::string language;
        BuildVariant buildVariant = BuildVariant::FromDevice;
        CertificateChoice certificateChoice = CertificateChoice::FromDevice;
        std::string clientName;
        std::string clientVersion;
    };

    // One update offered by a server. `type`: 0 delta for a legacy FOTA phone, 1 image update,
    // 2 delta for a GOTA phone. `updateOptions`: 0 update, 1 clean update, 2 clean reinstall.
    struct UpdateMetadata {
        std::string id;
        int32_t type = 0;
        std::vector<int32_t> updateOptions;
        uint64_t requiredSpace = 0;
        std::string releaseNotesUrl;
        uint64_t size = 0;
        std::string version;
        std::string name;
        std::string ceParam;
        std::string securityStateType;
        uint64_t lowMemoryWarning = 524288000;
        uint64_t reservedBytesForUpdate = 0;
        uint64_t reservedBytesForRepartitioning = 0;
        uint64_t minUAWorkSize = 104857600;
        int32_t minBatteryLevel = -1;
        int64_t installationDuration = -1;
    };

    // Outcome reported by a legacy FOTA phone's update agent after the installation.
    struct FinalResult {
        bool success = false;
        uint32_t resultCode = 0;
    };

    virtual ~Kavrin() = default;

    // Opens the session: 6 for a missing parameter or server choice, 2 when one is open already.
    virtual Result CreateSession(const SessionParameters& parameters) = 0;
    // Ends the session, writing the caches in the working directory. Waits for a running
    // operation.
    virtual Result DestroySession() = 0;
    // Asks the running operation to stop; it then returns Cancelled. Any thread, never waits.
    virtual Result Cancel() = 0;
    // Fraction done of the running operation, 0.0 to 1.0 (1.0 when none runs). Any thread.
    virtual Result GetProgress(double& progress) = 0;
    // Reads the phone's identity and returns the identification id that names it later.
    virtual Result IdentifyDevice(std::shared_ptr<std::string>& identificationId) = 0;
    // Asks the servers for updates of an identified phone; delta updates come first.
    virtual Result GetUpdates(const std::string& identificationId,
                              std::shared_ptr<std::vector<UpdateMetadata>>& updates) = 0;
    // Asks the image-update server for a phone described by a default capability file (XML).
    virtual Result GetUpdatesFromDefaultCapabilityFile(
        const std::shared_ptr<uint8_t[]>& fileData, uint64_t fileLength,
        std::shared_ptr<std::vector<UpdateMetadata>>& updates) = 0;
    // Downloads (or resumes) a delta package into the working directory and verifies it.
    virtual Result DownloadDeltaUpdate(const std::string& updateId) = 0;
    // Sends a downloaded delta package to the phone.
    virtual Result TransferDeltaToDevice(const std::string& updateId) = 0;
    // Tells the phone to verify and install a transferred package.
    virtual Result UpdateDeviceWithDelta(const std::string& updateId,
                                         bool deletePackageOnSuccess) = 0;
    // Reads the outcome of the installation from a legacy FOTA phone that has rebooted.
    virtual Result GetFinalResult(bool deletePackageOnSuccess,
                                  std::shared_ptr<FinalResult>& result) = 0;
    // The IMEI calculated for an identified phone (empty when the phone reported none).
    virtual Result GetImei(const std::string& identificationId,
                           std::shared_ptr<std::string>& imei) = 0;
    // True when the code is the marker code 0xC340; false for a null pointer. Touches nothing.
    virtual bool IsMarkerCode(const std::shared_ptr<const uint16_t>& code) = 0;
};

}  // namespace kv

// The library's only export: a new object with no session.
KAVRIN_EXPORT std::unique_ptr<kv::Kavrin> CreateKavrin();
