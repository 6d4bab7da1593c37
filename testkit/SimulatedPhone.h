#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kavrin/MtpProvider.h"

namespace kvtest {

// A kv::MtpProvider that behaves like a phone: it answers GetDeviceInfo with a real DeviceInfo
// dataset listing the update operations of its kind, GetVendorProperty from a table of property
// values, and stores sent files under object handles. Tests inject faults per operation code.
// Every member is safe to call from several threads; `cancel` and `progress` answer while
// `sendFile` runs.
class SimulatedPhone : public kv::MtpProvider {
public:
    // Which update operations the DeviceInfo lists.
    enum class Kind {
        GotaV4,          // 0x9178
        GotaV3,          // 0x9175
        LegacyFota,      // 0x9170 and 0x9171
        NoDeltaSupport,  // none of them
        SeveralApis      // 0x9170, 0x9171 and 0x9175
    };

    struct RecordedRequest {
        uint16_t operationCode;
        std::vector<uint32_t> parameters;
        std::vector<uint8_t> data;
    };

    struct StoredObject {
        std::string destinationPath;
        std::vector<uint8_t> content;
    };

    static constexpr char defaultDeviceId[] = "simulated-phone-1";
    // The IMEI the phone reports unless a test sets another.
    static constexpr char defaultImei[] = "490154203237518";

    explicit SimulatedPhone(Kind kind = Kind::GotaV4, std::string deviceId = defaultDeviceId);

    // The operations the DeviceInfo lists, replacing those of the kind.
    void setOperationsSupported(std::vector<uint16_t> operations);
    // The DeviceInfo dataset the phone sends now.
    std::vector<uint8_t> deviceInfoDataset() const;

    // A vendor property value sent as an MTP string.
    void setProperty(uint16_t propertyCode, const std::string& utf8Value);
    // A vendor property answered with exactly these bytes.
    void setRawProperty(uint16_t propertyCode, std::vector<uint8_t> data);
    void setRootingStatus(uint8_t status);
    // Sets the encrypted (build key) and the plain IMEI properties.
    void setImei(const std::string& digits);

    // Faults for one operation code; each replaces an earlier fault of that code.
    void failWithResult(uint16_t operationCode, MtpResult result);
    void answerWithResponseCode(uint16_t operationCode, uint16_t responseCode);
    void answerOkWithoutData(uint16_t operationCode);
    void failSendFileWith(MtpResult result);

    // `sendFile` moves this many bytes between progress updates.
    void setTransferChunkSize(size_t bytes);
    // The next `sendFile` stops once `offset` bytes are sent, until `releaseTransfer` or `cancel`.
    void holdTransferAt(uint64_t offset);
    void waitUntilTransferHeld();
    void releaseTransfer();

    std::vector<RecordedRequest> requests() const;
    std::optional<StoredObject> storedObject(uint32_t objectHandle) const;
    int cancelCalls() const;
    int progressCalls() const;

    MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                      const std::shared_ptr<const MtpRequest>& request,
                      std::shared_ptr<MtpResponse>& response) override;
    MtpResult sendFile(const std::string& deviceId, const std::string& localPath,
                       const std::string& destinationPath, uint32_t& objectHandle) override;
    MtpResult cancel(const std::string& deviceId) override;
    bool progress(const std::string& deviceId, double& fraction) override;

private:
    struct Answer {
        uint16_t responseCode = 0x2001;
        std::vector<uint32_t> parameters;
        std::vector<uint8_t> data;
    };
    // Runs under `mutex_`.
    using Handler = std::function<Answer(const MtpRequest&)>;

    struct Fault {
        std::optional<MtpResult> result;
        std::optional<uint16_t> responseCode;
        bool withoutData = false;
    };

    struct Transfer {
        bool active = false;
        bool cancelRequested = false;
        uint64_t sent = 0;
        uint64_t total = 0;
    };

    Answer answer(const MtpRequest& request);
    Answer deviceInfoAnswer() const;
    Answer vendorPropertyAnswer(const MtpRequest& request) const;
    static MtpResult deliver(const Answer& answer, uint64_t maxDataLength, MtpResponse& response);
    void waitWhileHeld(std::unique_lock<std::mutex>& lock);
    // Counts `size` bytes across chunk by chunk; false when cancelled.
    bool transfer(std::unique_lock<std::mutex>& lock, uint64_t size);

    const std::string deviceId_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint16_t> operations_;
    std::map<uint16_t, std::vector<uint8_t>> properties_;
    std::map<uint16_t, Handler> handlers_;
    std::map<uint16_t, Fault> faults_;
    std::optional<MtpResult> sendFileFault_;
    std::vector<RecordedRequest> requests_;
    std::map<uint32_t, StoredObject> objects_;
    uint32_t nextObjectHandle_ = 0x00010001;
    Transfer transfer_;
    size_t chunkSize_ = 4096;
    std::optional<uint64_t> holdOffset_;
    bool held_ = false;
    int cancelCalls_ = 0;
    int progressCalls_ = 0;
};

}  // namespace kvtest
