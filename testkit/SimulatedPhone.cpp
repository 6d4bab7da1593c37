#include "SimulatedPhone.h"

#include <algorithm>

#include "ImeiEncryption.h"
#include "MtpDatasetWriter.h"
#include "common/Platform.h"
#include "common/Utf.h"

namespace kvtest {

namespace {

constexpr uint16_t responseOk = 0x2001;
constexpr uint16_t responseOperationNotSupported = 0x2005;
constexpr uint16_t responseParameterNotSupported = 0x2006;
constexpr uint16_t operationGetDeviceInfo = 0x1001;
constexpr uint16_t operationGetVendorProperty = 0x9187;
constexpr uint16_t propertyEncryptedImei = 0xD044;
constexpr uint16_t propertyUnencryptedImei = 0xD037;
constexpr uint16_t propertyRootingStatus = 0xD04C;

// The standard operations every phone lists, GetVendorProperty included.
const std::vector<uint16_t> standardOperations{0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1007,
                                               0x1008, 0x1009, 0x100B, 0x100C, 0x100D, 0x1014,
                                               0x1015, 0x1016, 0x101B, 0x9187};

std::vector<uint16_t> updateOperations(SimulatedPhone::Kind kind) {
    switch (kind) {
        case SimulatedPhone::Kind::GotaV4:
            return {0x9178};
        case SimulatedPhone::Kind::GotaV3:
            return {0x9175};
        case SimulatedPhone::Kind::LegacyFota:
            return {0x9170, 0x9171};
        case SimulatedPhone::Kind::NoDeltaSupport:
            return {};
        case SimulatedPhone::Kind::SeveralApis:
            return {0x9170, 0x9171, 0x9175};
    }
    return {};
}

std::vector<uint8_t> mtpStringBytes(const std::string& utf8Value) {
    return MtpDatasetWriter().mtpString(kvinternal::utf8ToUtf16(utf8Value)).bytes();
}

// A plausible phone; the IMEI properties and rooting status are set separately.
const std::map<uint16_t, std::string> defaultProperties{
    {0xD047, "14"},       {0xD038, "1309-4211"},       {0xD039, "5.2.0.118"},
    {0x5001, "87"},       {0xD03E, "1316-3426"},       {0xD03F, "BL 1.2"},
    {0xD04A, "user"},     {0xD04D, "carrier-7"},       {0xD03C, "1318-9001"},
    {0xD03D, "R4A"},      {0xD036, "Kestrel 5 Black"}, {0xD042, "encrypted"},
    {0xD040, "3"},        {0xD045, "HWC 11"},          {0xD034, "PM-1234"},
    {0xD035, "K-5"},      {0xD04B, "cert-42"},         {0xD048, "true"},
    {0xD04E, "VX-1001"},  {0xD04F, "GLOBAL"},          {0xD041, "unlocked"},
    {0xD043, "consumer"},
};

std::optional<std::vector<uint8_t>> readLocalFile(const std::string& path) {
    const auto text = kvinternal::platform::readFile(path);
    if (!text) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(text->begin(), text->end());
}

}  // namespace

SimulatedPhone::SimulatedPhone(Kind kind, std::string deviceId) : deviceId_(std::move(deviceId)) {
    operations_ = standardOperations;
    const auto updates = updateOperations(kind);
    operations_.insert(operations_.end(), updates.begin(), updates.end());
    for (const auto& [code, value] : defaultProperties) {
        properties_[code] = mtpStringBytes(value);
    }
    properties_[propertyRootingStatus] = {0};
    setImei(defaultImei);
    handlers_[operationGetDeviceInfo] = [this](const MtpRequest&) { return deviceInfoAnswer(); };
    handlers_[operationGetVendorProperty] = [this](const MtpRequest& request) {
        return vendorPropertyAnswer(request);
    };
}

void SimulatedPhone::setOperationsSupported(std::vector<uint16_t> operations) {
    std::lock_guard<std::mutex> lock(mutex_);
    operations_ = std::move(operations);
}

std::vector<uint8_t> SimulatedPhone::deviceInfoDataset() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceInfoAnswer().data;
}

SimulatedPhone::Answer SimulatedPhone::deviceInfoAnswer() const {
    MtpDatasetWriter dataset;
    dataset.uint16(100)
        .uint32(6)
        .uint16(100)
        .mtpString(u"kavrin.example: 1.0;")
        .uint16(0)
        .array(operations_)
        .array({0x4002, 0x4003, 0x4004, 0x4005})
        .array({0xD401, 0xD402, 0x5001})
        .array({})
        .array({0x3000, 0x3001, 0x3004, 0x3009, 0x380B, 0xB982})
        .mtpString(u"Kavrin Test Devices")
        .mtpString(u"Kestrel 5")
        .mtpString(u"1.0")
        .mtpString(u"KT0123456789");
    return {responseOk, {}, dataset.bytes()};
}

SimulatedPhone::Answer SimulatedPhone::vendorPropertyAnswer(const MtpRequest& request) const {
    if (request.numberOfParameters != 1 || request.parameters[0] > 0xFFFF) {
        return {responseParameterNotSupported, {}, {}};
    }
    const auto found = properties_.find(static_cast<uint16_t>(request.parameters[0]));
    if (found == properties_.end()) {
        return {responseParameterNotSupported, {}, {}};
    }
    return {responseOk, {}, found->second};
}

void SimulatedPhone::setProperty(uint16_t propertyCode, const std::string& utf8Value) {
    setRawProperty(propertyCode, mtpStringBytes(utf8Value));
}

void SimulatedPhone::setRawProperty(uint16_t propertyCode, std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_[propertyCode] = std::move(data);
}

void SimulatedPhone::setRootingStatus(uint8_t status) {
    setRawProperty(propertyRootingStatus, {status});
}

void SimulatedPhone::setImei(const std::string& digits) {
    setProperty(propertyEncryptedImei, encryptImei(digits));
    setProperty(propertyUnencryptedImei, digits);
}

void SimulatedPhone::failWithResult(uint16_t operationCode, MtpResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[operationCode] = Fault{result, std::nullopt, false};
}

void SimulatedPhone::answerWithResponseCode(uint16_t operationCode, uint16_t responseCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[operationCode] = Fault{std::nullopt, responseCode, false};
}

void SimulatedPhone::answerOkWithoutData(uint16_t operationCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[operationCode] = Fault{std::nullopt, std::nullopt, true};
}

void SimulatedPhone::failSendFileWith(MtpResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendFileFault_ = result;
}

void SimulatedPhone::setTransferChunkSize(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    chunkSize_ = std::max<size_t>(bytes, 1);
}

void SimulatedPhone::holdTransferAt(uint64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdOffset_ = offset;
}

void SimulatedPhone::waitUntilTransferHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
}

void SimulatedPhone::releaseTransfer() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_all();
}

std::vector<SimulatedPhone::RecordedRequest> SimulatedPhone::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::optional<SimulatedPhone::StoredObject> SimulatedPhone::storedObject(
    uint32_t objectHandle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = objects_.find(objectHandle);
    if (found == objects_.end()) {
        return std::nullopt;
    }
    return found->second;
}

int SimulatedPhone::cancelCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelCalls_;
}

int SimulatedPhone::progressCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return progressCalls_;
}

SimulatedPhone::Answer SimulatedPhone::answer(const MtpRequest& request) {
    const auto fault = faults_.find(request.operationCode);
    if (fault != faults_.end() && fault->second.responseCode) {
        return {*fault->second.responseCode, {}, {}};
    }
    const auto handler = handlers_.find(request.operationCode);
    if (handler == handlers_.end()) {
        return {responseOperationNotSupported, {}, {}};
    }
    Answer result = handler->second(request);
    if (fault != faults_.end() && fault->second.withoutData) {
        result.data.clear();
    }
    return result;
}

SimulatedPhone::MtpResult SimulatedPhone::deliver(const Answer& answer, uint64_t maxDataLength,
                                                  MtpResponse& response) {
    if (!answer.data.empty() && (answer.data.size() > maxDataLength || !response.data)) {
        return MtpResult::NotEnoughMemory;
    }
    std::copy(answer.data.begin(), answer.data.end(), response.data.get());
    response.dataLength = answer.data.size();
    response.responseCode = answer.responseCode;
    response.numberOfParameters =
        static_cast<uint16_t>(std::min<size_t>(answer.parameters.size(), 5));
    std::copy_n(answer.parameters.begin(), response.numberOfParameters, response.parameters);
    return MtpResult::Success;
}

SimulatedPhone::MtpResult SimulatedPhone::execute(const std::string& deviceId,
                                                  uint64_t maxDataLength,
                                                  const std::shared_ptr<const MtpRequest>& request,
                                                  std::shared_ptr<MtpResponse>& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (deviceId != deviceId_ || !request || !response) {
        return MtpResult::DeviceDisconnected;
    }
    const auto* data = request->data.get();
    requests_.push_back(
        {request->operationCode,
         {request->parameters, request->parameters + request->numberOfParameters},
         data ? std::vector<uint8_t>(data, data + request->dataLength) : std::vector<uint8_t>()});
    const auto fault = faults_.find(request->operationCode);
    if (fault != faults_.end() && fault->second.result) {
        return *fault->second.result;
    }
    return deliver(answer(*request), maxDataLength, *response);
}

void SimulatedPhone::waitWhileHeld(std::unique_lock<std::mutex>& lock) {
    if (!holdOffset_ || transfer_.sent < *holdOffset_) {
        return;
    }
    holdOffset_.reset();
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !held_ || transfer_.cancelRequested; });
    held_ = false;
}

bool SimulatedPhone::transfer(std::unique_lock<std::mutex>& lock, uint64_t size) {
    transfer_ = Transfer{true, false, 0, size};
    for (;;) {
        waitWhileHeld(lock);
        if (transfer_.cancelRequested || transfer_.sent == size) {
            break;
        }
        transfer_.sent += std::min<uint64_t>(chunkSize_, size - transfer_.sent);
        // Lets `cancel` and `progress` in between chunks, as a USB transfer would.
        lock.unlock();
        lock.lock();
    }
    transfer_.active = false;
    return !transfer_.cancelRequested;
}

SimulatedPhone::MtpResult SimulatedPhone::sendFile(const std::string& deviceId,
                                                   const std::string& localPath,
                                                   const std::string& destinationPath,
                                                   uint32_t& objectHandle) {
    if (deviceId != deviceId_) {
        return MtpResult::DeviceDisconnected;
    }
    auto content = readLocalFile(localPath);
    std::unique_lock<std::mutex> lock(mutex_);
    if (sendFileFault_) {
        return *sendFileFault_;
    }
    if (!content) {
        return MtpResult::InvalidArgument;
    }
    if (!transfer(lock, content->size())) {
        return MtpResult::Cancelled;
    }
    objectHandle = nextObjectHandle_++;
    objects_[objectHandle] = {destinationPath, std::move(*content)};
    return MtpResult::Success;
}

SimulatedPhone::MtpResult SimulatedPhone::cancel(const std::string& deviceId) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancelCalls_;
    if (deviceId != deviceId_ || !transfer_.active) {
        return MtpResult::GeneralError;
    }
    transfer_.cancelRequested = true;
    changed_.notify_all();
    return MtpResult::Success;
}

bool SimulatedPhone::progress(const std::string& deviceId, double& fraction) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++progressCalls_;
    if (deviceId != deviceId_ || !transfer_.active) {
        return true;
    }
    fraction = transfer_.total == 0
                   ? 0.0
                   : static_cast<double>(transfer_.sent) / static_cast<double>(transfer_.total);
    return false;
}

}  // namespace kvtest
