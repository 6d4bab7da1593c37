#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kv {

// Implemented by the host: executes MTP operations on the phone over its own USB stack.
//
// Ownership: the library holds the provider through the shared pointer of the session parameters
// and releases it when the session ends. Requests and responses are created per call and shared
// with the provider only while the call runs.
//
// Threads: `execute` and `sendFile` run on the thread of the current library operation, one at a
// time. `cancel` and `progress` may be called from the host's second thread while `sendFile` (or
// `execute`) runs for the same device id, and must be safe to call then.
class MtpProvider {
public:
    enum class MtpResult : uint8_t {
        Success = 0,
        GeneralError,
        Cancelled,
        InvalidArgument,
        DeviceDisconnected,
        NotEnoughMemory,
        UsbSetupError,
        UsbAccessError,
        UsbCommunicationError,
        UsbParameterError,
        UsbCommandError,
        UsbReadDataError,
        UsbDataError,
        UsbResponseError
    };

    // Built by the library and immutable once handed over. Parameters beyond
    // `numberOfParameters` are 0; `data` and `dataLength` describe an optional host-to-phone data
    // phase (empty and 0 when there is none).
    struct MtpRequest {
        uint16_t operationCode = 0;
        uint16_t numberOfParameters = 0;
        uint32_t parameters[5] = {};
        std::shared_ptr<uint8_t[]> data;
        uint64_t dataLength = 0;
    };

    // Allocated by the library before the call. When a phone-to-host data phase is expected,
    // `data` already holds a buffer of `maxDataLength` bytes; the provider stores at most that
    // many bytes and sets `dataLength` to the number stored. The provider may also replace the
    // whole record; the library reads whatever the reference holds after the call.
    struct MtpResponse {
        uint16_t responseCode = 0;
        uint16_t numberOfParameters = 0;
        uint32_t parameters[5] = {};
        std::shared_ptr<uint8_t[]> data;
        uint64_t dataLength = 0;
    };

    virtual ~MtpProvider() = default;

    // Performs one MTP operation: request phase, optional data phases, response phase.
    virtual MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                              const std::shared_ptr<const MtpRequest>& request,
                              std::shared_ptr<MtpResponse>& response) = 0;

    // Sends the whole local file (UTF-8 path) to `destinationPath` on the phone and reports the
    // MTP object handle under which the phone stored it.
    virtual MtpResult sendFile(const std::string& deviceId, const std::string& localPath,
                               const std::string& destinationPath, uint32_t& objectHandle) = 0;

    // Aborts the call running for this device; the running call should then return Cancelled.
    // The library ignores the value returned here.
    virtual MtpResult cancel(const std::string& deviceId) = 0;

    // Reports how far the running call has come (0.0 to 1.0). Returning true means the call has
    // finished; the library then reports 1.0 whatever was written to `fraction`.
    virtual bool progress(const std::string& deviceId, double& fraction) = 0;
};

}  // namespace kv
