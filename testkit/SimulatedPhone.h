#pragma once

#include <json/json.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ReferenceCrypto.h"
#include "kavrin/MtpProvider.h"

namespace kvtest {

// A kv::MtpProvider that behaves like a phone: it answers GetDeviceInfo with a real DeviceInfo
// dataset listing the update operations of its kind, GetVendorProperty from a table of property
// values, stores sent files under object handles, takes verify-and-update requests for the
// objects it holds (recording what they carried) and answers ReadFotaStatus. Update operations
// its DeviceInfo does not list are answered "operation not supported". Its storage answers the
// standard object operations (see `storageId`), and every standard operation and device property
// its DeviceInfo lists works. Tests inject faults per operation code. Every member is safe to
// call from several threads; `cancel` and `progress` answer while `sendFile` runs.
//
// A whole legacy update, phone side:
//     SimulatedPhone phone(SimulatedPhone::Kind::LegacyFota);
//     phone.installOnVerify({"5.3.0.201", SimulatedPhone::FotaStatus::withReport(0, "done")});
//     // the library sends the package, then 0x9170 with its handle; the phone now reports AppSw
//     // version 5.3.0.201 and ReadFotaStatus answers result 0 with the report "done".
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

    // What `sendFile` and SendObject keep of a file: always its size and SHA-256 (lowercase hex),
    // and in TransferMode::KeepContent its first `keptContent` bytes.
    struct StoredObject {
        std::string destinationPath;
        uint64_t size = 0;
        std::string sha256;
        std::vector<uint8_t> content;
    };
    enum class TransferMode { KeepContent, DigestOnly };
    static constexpr uint64_t keptContent = 1u << 20;

    // A file as it arrives, in pieces of any size: counted and hashed, its content kept as the
    // mode says, so that objects over 4 GiB pass in bounded memory.
    class ReceivedFile {
    public:
        explicit ReceivedFile(TransferMode mode)
            : keepContent_(mode == TransferMode::KeepContent) {}
        void add(const uint8_t* data, size_t length);
        StoredObject finish(std::string destinationPath);

    private:
        bool keepContent_;
        ReferenceSha256 sha256_;
        std::vector<uint8_t> content_;
        uint64_t size_ = 0;
    };

    // An object's bytes as GetObject sends them, read piece by piece from any thread.
    struct ObjectBytes {
        uint64_t size = 0;
        std::function<void(uint64_t offset, uint8_t* into, size_t length)> read;
    };

    // The answer to ReadFotaStatus (0x9171).
    struct FotaStatus {
        uint16_t responseCode = 0x2001;
        // Response parameter 1; the response has no parameter when it is empty.
        std::optional<uint32_t> resultCode = 0;
        // The data phase exactly as sent (a long string, malformed bytes, or nothing).
        std::vector<uint8_t> report;

        // OK with `resultCode` and the report `utf8Text` as a long string.
        static FotaStatus withReport(uint32_t resultCode, const std::string& utf8Text);
    };

    // What an accepted verify-and-update does: the phone installs the package and reboots into
    // `appSwVersion` (its AppSw version property from then on), after which ReadFotaStatus
    // answers `status`.
    struct Installation {
        std::string appSwVersion;
        FotaStatus status;
    };

    // One verify-and-update request as the phone understood it. The size parameters are 0 for
    // 0x9170; the document is the JSON operations' text as received and its parsed form (null
    // when it could not be decoded or parsed).
    struct VerifyCall {
        uint16_t operationCode = 0;
        uint32_t objectHandle = 0;
        uint32_t sizeLow = 0;
        uint32_t sizeHigh = 0;
        std::string documentText;
        Json::Value document;
    };

    static constexpr char defaultDeviceId[] = "simulated-phone-1";
    // The phone's one storage, as MTP sees it: its root holds the folders "recovery" and "DCIM"
    // and the file "notes.txt"; "DCIM" holds `clipName`, `clipSize` patterned bytes (see
    // PatternedBody). GetStorageIDs, GetStorageInfo, GetObjectHandles, GetObjectInfo, GetObject,
    // DeleteObject, SendObjectInfo and SendObject work on it; an object sent with SendObject is
    // kept like a file that `sendFile` received, under the path of its folder, and can be read
    // back while its whole content is kept.
    static constexpr uint32_t storageId = 0x00010001;
    static constexpr char clipName[] = "clip.mp4";
    static constexpr uint64_t clipSize = (5u << 20) + 7;
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
    // Removes an object of the storage's root by name (a phone without a "recovery" folder).
    void removeRootObject(const std::string& utf8Name);
    // Sets the encrypted (build key) and the plain IMEI properties.
    void setImei(const std::string& digits);

    // Faults for one operation code; each replaces an earlier fault of that code.
    void failWithResult(uint16_t operationCode, MtpResult result);
    void answerWithResponseCode(uint16_t operationCode, uint16_t responseCode);
    void answerOkWithoutData(uint16_t operationCode);
    // `sendFile` fails with `result` once `afterBytes` of the file have reached the phone (at
    // once for 0): a phone unplugged in the middle of a transfer.
    void failSendFileWith(MtpResult result, uint64_t afterBytes = 0);

    // `sendFile` reads and moves this many bytes between progress updates.
    void setTransferChunkSize(size_t bytes);
    // KeepContent (the default) keeps each file's bytes; DigestOnly keeps size and SHA-256 only,
    // for large files.
    void setTransferMode(TransferMode mode);
    // The next `sendFile` stops once `offset` bytes are sent, until `releaseTransfer` or `cancel`.
    void holdTransferAt(uint64_t offset);
    void waitUntilTransferHeld();
    void releaseTransfer();

    // The ReadFotaStatus answer from now on; until then OK with result 0 and no report.
    void setFotaStatus(FotaStatus status);
    // What the next accepted verify-and-update installs; nothing changes without it.
    void installOnVerify(Installation installation);

    std::vector<RecordedRequest> requests() const;
    std::vector<VerifyCall> verifyCalls() const;
    std::optional<StoredObject> storedObject(uint32_t objectHandle) const;
    int cancelCalls() const;
    int progressCalls() const;

    // SendObject with its data phase streamed in by the caller (the phone's USB function), so that
    // no object is ever held whole: `finishSendObject` stores what `file` received and returns
    // the response code.
    std::unique_ptr<ReceivedFile> startSendObject() const;
    uint16_t finishSendObject(std::unique_ptr<ReceivedFile> file);
    // GetObject with its data phase read by the caller as it sends it: the response code, and
    // with OK the object's bytes.
    uint16_t getObject(uint32_t objectHandle, ObjectBytes& bytes);

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

    // An object of the storage; root objects have parent 0. `read` is empty when the phone
    // cannot read the object back (it kept only a digest).
    struct Entry {
        uint32_t parent = 0;
        uint16_t format = 0;
        std::u16string name;
        uint64_t size = 0;
        std::function<void(uint64_t offset, uint8_t* into, size_t length)> read;
    };
    // Announced by SendObjectInfo, awaiting its SendObject.
    struct PendingObject {
        uint32_t handle = 0;
        Entry entry;
    };

    Answer answer(const MtpRequest& request);
    Answer deviceInfoAnswer() const;
    Answer vendorPropertyAnswer(const MtpRequest& request) const;
    Answer verifyAnswer(const MtpRequest& request);
    Answer fotaStatusAnswer(const MtpRequest& request) const;
    Answer openSessionAnswer(const MtpRequest& request);
    Answer storageIdsAnswer() const;
    Answer objectHandlesAnswer(const MtpRequest& request) const;
    Answer objectInfoAnswer(const MtpRequest& request) const;
    Answer deleteObjectAnswer(const MtpRequest& request);
    Answer sendObjectInfoAnswer(const MtpRequest& request);
    Answer sendObjectAnswer(const MtpRequest& request);
    Answer storageInfoAnswer(const MtpRequest& request) const;
    Answer objectAnswer(const MtpRequest& request) const;
    Answer propertyDescriptionAnswer(const MtpRequest& request) const;
    Answer propertyValueAnswer(const MtpRequest& request) const;
    uint16_t objectBytes(uint32_t handle, ObjectBytes& bytes) const;
    uint16_t storeObject(ReceivedFile& file);
    void record(const MtpRequest& request);
    std::string pathOf(uint32_t handle) const;
    bool lists(uint16_t operationCode) const;
    static MtpResult deliver(const Answer& answer, uint64_t maxDataLength, MtpResponse& response);
    void waitWhileHeld(std::unique_lock<std::mutex>& lock);
    // Moves the file chunk by chunk into `file`, reading without the lock; the lock is held
    // again on return.
    MtpResult transfer(std::unique_lock<std::mutex>& lock, std::istream& input, ReceivedFile& file);

    const std::string deviceId_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint16_t> operations_;
    std::map<uint16_t, std::vector<uint8_t>> properties_;
    std::map<uint16_t, Handler> handlers_;
    std::map<uint16_t, Fault> faults_;
    std::optional<MtpResult> sendFileFault_;
    uint64_t sendFileFaultAfter_ = 0;
    std::vector<RecordedRequest> requests_;
    std::map<uint32_t, StoredObject> objects_;
    std::map<uint32_t, Entry> entries_;
    std::optional<PendingObject> pendingObject_;
    bool sessionOpen_ = false;
    std::vector<VerifyCall> verifyCalls_;
    FotaStatus fotaStatus_;
    std::optional<Installation> installation_;
    TransferMode transferMode_ = TransferMode::KeepContent;
    uint32_t nextObjectHandle_ = 0x00010001;
    Transfer transfer_;
    size_t chunkSize_ = 4096;
    std::optional<uint64_t> holdOffset_;
    bool held_ = false;
    int cancelCalls_ = 0;
    int progressCalls_ = 0;
};

}  // namespace kvtest
