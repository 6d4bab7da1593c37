#include "SimulatedPhone.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "ImeiEncryption.h"
#include "MtpDatasetReader.h"
#include "MtpDatasetWriter.h"
#include "PatternedBody.h"
#include "common/Platform.h"
#include "common/Utf.h"

namespace kvtest {

namespace {

constexpr uint16_t responseOk = 0x2001;
constexpr uint16_t responseGeneralError = 0x2002;
constexpr uint16_t responseOperationNotSupported = 0x2005;
constexpr uint16_t responseParameterNotSupported = 0x2006;
constexpr uint16_t responseInvalidObjectHandle = 0x2009;
constexpr uint16_t responseInvalidStorageId = 0x2008;
constexpr uint16_t responseNoValidObjectInfo = 0x2015;
constexpr uint16_t responseInvalidParentObject = 0x201A;
constexpr uint16_t responseSessionAlreadyOpen = 0x201E;
constexpr uint16_t responseSessionNotOpen = 0x2003;
constexpr uint16_t responsePropertyNotSupported = 0x200A;
constexpr uint16_t operationOpenSession = 0x1002;
constexpr uint16_t operationCloseSession = 0x1003;
constexpr uint16_t operationGetStorageIds = 0x1004;
constexpr uint16_t operationGetStorageInfo = 0x1005;
constexpr uint16_t operationGetObjectHandles = 0x1007;
constexpr uint16_t operationGetObjectInfo = 0x1008;
constexpr uint16_t operationGetObject = 0x1009;
constexpr uint16_t operationDeleteObject = 0x100B;
constexpr uint16_t operationSendObjectInfo = 0x100C;
constexpr uint16_t operationSendObject = 0x100D;
constexpr uint16_t operationGetDevicePropDesc = 0x1014;
constexpr uint16_t operationGetDevicePropValue = 0x1015;
constexpr uint16_t formatUndefined = 0x3000;
constexpr uint16_t formatAssociation = 0x3001;
constexpr uint32_t everyObject = 0;
constexpr uint32_t rootObjects = 0xFFFFFFFF;
constexpr uint16_t operationGetDeviceInfo = 0x1001;
constexpr uint16_t operationVerifyAndUpdate = 0x9170;
constexpr uint16_t operationReadFotaStatus = 0x9171;
constexpr uint16_t operationVerifyAndUpdateJsonV3 = 0x9175;
constexpr uint16_t operationVerifyAndUpdateJsonV4 = 0x9178;
constexpr uint16_t operationGetVendorProperty = 0x9187;
constexpr uint16_t propertyAppSwVersion = 0xD039;
constexpr uint16_t propertyEncryptedImei = 0xD044;
constexpr uint16_t propertyUnencryptedImei = 0xD037;
constexpr uint16_t propertyRootingStatus = 0xD04C;

// The standard operations every phone lists, GetVendorProperty included; each one works.
const std::vector<uint16_t> standardOperations{0x1001, 0x1002, 0x1003, 0x1004, 0x1005,
                                               0x1007, 0x1008, 0x1009, 0x100B, 0x100C,
                                               0x100D, 0x1014, 0x1015, 0x9187};

// The device properties the DeviceInfo lists, read-only.
constexpr uint16_t propertyBatteryLevel = 0x5001;
constexpr uint16_t propertyFriendlyName = 0xD402;
constexpr uint8_t batteryLevel = 87;
constexpr char16_t friendlyName[] = u"Kestrel 5";
constexpr uint16_t typeUint8 = 0x0002;
constexpr uint16_t typeString = 0xFFFF;
constexpr uint8_t formNone = 0;
constexpr uint8_t formRange = 1;
constexpr char notesText[] = "phone notes\n";

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

// The request's parameter, 0 beyond those it carries; a count above five reads no further.
uint32_t parameter(const kv::MtpProvider::MtpRequest& request, uint16_t index) {
    return index < std::min<uint16_t>(request.numberOfParameters, 5) ? request.parameters[index]
                                                                     : 0;
}

// The JSON document of a verify-and-update request; false when it is not one.
bool decodeDocument(const kv::MtpProvider::MtpRequest& request, SimulatedPhone::VerifyCall& call) {
    if (!request.data) {
        return false;
    }
    MtpDatasetReader reader({request.data.get(), request.data.get() + request.dataLength});
    try {
        call.documentText = kvinternal::utf16ToUtf8(reader.sizedLongString());
    } catch (const std::invalid_argument&) {
        return false;
    }
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::string errors;
    const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
    const char* text = call.documentText.data();
    return reader.atEnd() &&
           parser->parse(text, text + call.documentText.size(), &call.document, &errors) &&
           call.document.isObject();
}

}  // namespace

void SimulatedPhone::ReceivedFile::add(const uint8_t* data, size_t length) {
    sha256_.add(data, length);
    if (keepContent_ && content_.size() < keptContent) {
        content_.insert(content_.end(), data,
                        data + std::min<uint64_t>(length, keptContent - content_.size()));
    }
    size_ += length;
}

SimulatedPhone::StoredObject SimulatedPhone::ReceivedFile::finish(std::string destinationPath) {
    return {std::move(destinationPath), size_, sha256_.finishHex(), std::move(content_)};
}

SimulatedPhone::FotaStatus SimulatedPhone::FotaStatus::withReport(uint32_t resultCode,
                                                                  const std::string& utf8Text) {
    return {responseOk, resultCode,
            MtpDatasetWriter().longString(kvinternal::utf8ToUtf16(utf8Text)).bytes()};
}

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
    for (const uint16_t verify : {operationVerifyAndUpdate, operationVerifyAndUpdateJsonV3,
                                  operationVerifyAndUpdateJsonV4}) {
        handlers_[verify] = [this](const MtpRequest& request) { return verifyAnswer(request); };
    }
    handlers_[operationReadFotaStatus] = [this](const MtpRequest& request) {
        return fotaStatusAnswer(request);
    };
    handlers_[operationOpenSession] = [this](const MtpRequest& request) {
        return openSessionAnswer(request);
    };
    handlers_[operationCloseSession] = [this](const MtpRequest&) {
        const bool wasOpen = sessionOpen_;
        sessionOpen_ = false;
        return Answer{wasOpen ? responseOk : responseSessionNotOpen, {}, {}};
    };
    handlers_[operationGetStorageIds] = [this](const MtpRequest&) { return storageIdsAnswer(); };
    handlers_[operationGetObjectHandles] = [this](const MtpRequest& request) {
        return objectHandlesAnswer(request);
    };
    handlers_[operationGetObjectInfo] = [this](const MtpRequest& request) {
        return objectInfoAnswer(request);
    };
    handlers_[operationDeleteObject] = [this](const MtpRequest& request) {
        return deleteObjectAnswer(request);
    };
    handlers_[operationSendObjectInfo] = [this](const MtpRequest& request) {
        return sendObjectInfoAnswer(request);
    };
    handlers_[operationSendObject] = [this](const MtpRequest& request) {
        return sendObjectAnswer(request);
    };
    handlers_[operationGetStorageInfo] = [this](const MtpRequest& request) {
        return storageInfoAnswer(request);
    };
    handlers_[operationGetObject] = [this](const MtpRequest& request) {
        return objectAnswer(request);
    };
    handlers_[operationGetDevicePropDesc] = [this](const MtpRequest& request) {
        return propertyDescriptionAnswer(request);
    };
    handlers_[operationGetDevicePropValue] = [this](const MtpRequest& request) {
        return propertyValueAnswer(request);
    };
    entries_[0x101] = {0, formatAssociation, u"DCIM", 0, {}};
    entries_[0x102] = {0, formatUndefined, u"notes.txt", sizeof notesText - 1,
                       [](uint64_t offset, uint8_t* into, size_t length) {
                           std::copy_n(notesText + offset, length, into);
                       }};
    entries_[0x103] = {0, formatAssociation, u"recovery", 0, {}};
    entries_[0x104] = {0x101, formatUndefined, kvinternal::utf8ToUtf16(clipName), clipSize,
                       &PatternedBody::fill};
}

SimulatedPhone::Answer SimulatedPhone::openSessionAnswer(const MtpRequest& request) {
    if (request.numberOfParameters != 1 || request.parameters[0] == 0) {
        return {responseParameterNotSupported, {}, {}};
    }
    if (sessionOpen_) {
        return {responseSessionAlreadyOpen, {request.parameters[0]}, {}};
    }
    sessionOpen_ = true;
    return {responseOk, {}, {}};
}

SimulatedPhone::Answer SimulatedPhone::storageIdsAnswer() const {
    return {responseOk, {}, MtpDatasetWriter().uint32(1).uint32(storageId).bytes()};
}

SimulatedPhone::Answer SimulatedPhone::storageInfoAnswer(const MtpRequest& request) const {
    if (parameter(request, 0) != storageId) {
        return {responseInvalidStorageId, {}, {}};
    }
    // Fixed RAM with a hierarchical file system, read-write: 64 GiB, half of it free.
    MtpDatasetWriter dataset;
    dataset.uint16(0x0003).uint16(0x0002).uint16(0x0000);
    dataset.uint64(64ull << 30).uint64(32ull << 30).uint32(0xFFFFFFFF);
    dataset.mtpString(u"Internal shared storage").mtpString(u"");
    return {responseOk, {}, dataset.bytes()};
}

uint16_t SimulatedPhone::objectBytes(uint32_t handle, ObjectBytes& bytes) const {
    const auto found = entries_.find(handle);
    if (found == entries_.end() || found->second.format == formatAssociation) {
        return responseInvalidObjectHandle;
    }
    if (!found->second.read) {
        return responseGeneralError;
    }
    bytes = {found->second.size, found->second.read};
    return responseOk;
}

SimulatedPhone::Answer SimulatedPhone::objectAnswer(const MtpRequest& request) const {
    ObjectBytes bytes;
    const uint16_t code = objectBytes(parameter(request, 0), bytes);
    std::vector<uint8_t> data(code == responseOk ? bytes.size : 0);
    if (!data.empty()) {
        bytes.read(0, data.data(), data.size());
    }
    return {code, {}, std::move(data)};
}

SimulatedPhone::Answer SimulatedPhone::propertyDescriptionAnswer(const MtpRequest& request) const {
    MtpDatasetWriter dataset;
    switch (parameter(request, 0)) {
        case propertyBatteryLevel:
            dataset.uint16(propertyBatteryLevel).uint16(typeUint8).uint8(0);
            dataset.uint8(100).uint8(batteryLevel).uint8(formRange).uint8(0).uint8(100).uint8(1);
            break;
        case propertyFriendlyName:
            dataset.uint16(propertyFriendlyName).uint16(typeString).uint8(0);
            dataset.mtpString(u"").mtpString(friendlyName).uint8(formNone);
            break;
        default:
            return {responsePropertyNotSupported, {}, {}};
    }
    return {responseOk, {}, dataset.bytes()};
}

SimulatedPhone::Answer SimulatedPhone::propertyValueAnswer(const MtpRequest& request) const {
    switch (parameter(request, 0)) {
        case propertyBatteryLevel:
            return {responseOk, {}, {batteryLevel}};
        case propertyFriendlyName:
            return {responseOk, {}, MtpDatasetWriter().mtpString(friendlyName).bytes()};
        default:
            return {responsePropertyNotSupported, {}, {}};
    }
}

SimulatedPhone::Answer SimulatedPhone::objectHandlesAnswer(const MtpRequest& request) const {
    const uint32_t storage = parameter(request, 0);
    if (storage != storageId && storage != 0xFFFFFFFF) {
        return {responseInvalidStorageId, {}, {}};
    }
    const uint32_t parent = parameter(request, 2);
    std::vector<uint32_t> handles;
    for (const auto& [handle, entry] : entries_) {
        if (parent == everyObject || entry.parent == (parent == rootObjects ? 0 : parent)) {
            handles.push_back(handle);
        }
    }
    MtpDatasetWriter dataset;
    dataset.uint32(static_cast<uint32_t>(handles.size()));
    for (const uint32_t handle : handles) {
        dataset.uint32(handle);
    }
    return {responseOk, {}, dataset.bytes()};
}

SimulatedPhone::Answer SimulatedPhone::objectInfoAnswer(const MtpRequest& request) const {
    const auto found = entries_.find(parameter(request, 0));
    if (found == entries_.end()) {
        return {responseInvalidObjectHandle, {}, {}};
    }
    const Entry& entry = found->second;
    MtpDatasetWriter dataset;
    dataset.uint32(storageId)
        .uint16(entry.format)
        .uint16(0)
        .uint32(static_cast<uint32_t>(std::min<uint64_t>(entry.size, 0xFFFFFFFF)))
        .uint16(0);
    for (int field = 0; field < 6; ++field) {
        dataset.uint32(0);
    }
    dataset.uint32(entry.parent)
        .uint16(entry.format == formatAssociation ? 1 : 0)
        .uint32(0)
        .uint32(0)
        .mtpString(entry.name)
        .mtpString(u"")
        .mtpString(u"")
        .mtpString(u"");
    return {responseOk, {}, dataset.bytes()};
}

SimulatedPhone::Answer SimulatedPhone::deleteObjectAnswer(const MtpRequest& request) {
    const uint32_t handle = parameter(request, 0);
    if (entries_.erase(handle) == 0) {
        return {responseInvalidObjectHandle, {}, {}};
    }
    objects_.erase(handle);
    return {responseOk, {}, {}};
}

SimulatedPhone::Answer SimulatedPhone::sendObjectInfoAnswer(const MtpRequest& request) {
    // Storage 0 lets the phone choose: it has one.
    if (parameter(request, 0) != storageId && parameter(request, 0) != 0) {
        return {responseInvalidStorageId, {}, {}};
    }
    uint32_t parent = parameter(request, 1);
    parent = parent == rootObjects ? 0 : parent;
    const auto folder = entries_.find(parent);
    if (parent != 0 && (folder == entries_.end() || folder->second.format != formatAssociation)) {
        return {responseInvalidParentObject, {}, {}};
    }
    PendingObject pending{nextObjectHandle_++, {parent, 0, {}, 0, {}}};
    try {
        MtpDatasetReader dataset(
            request.data
                ? std::vector<uint8_t>(request.data.get(), request.data.get() + request.dataLength)
                : std::vector<uint8_t>());
        dataset.uint32();
        pending.entry.format = dataset.uint16();
        dataset.uint16();
        pending.entry.size = dataset.uint32();
        dataset.uint16();
        for (int field = 0; field < 7; ++field) {
            dataset.uint32();  // thumb and image fields, then the parent the parameter names
        }
        dataset.uint16();
        dataset.uint32();
        dataset.uint32();
        pending.entry.name = dataset.mtpString();
    } catch (const std::invalid_argument&) {
        return {responseGeneralError, {}, {}};
    }
    pendingObject_ = pending;
    return {responseOk, {storageId, parent == 0 ? rootObjects : parent, pending.handle}, {}};
}

SimulatedPhone::Answer SimulatedPhone::sendObjectAnswer(const MtpRequest& request) {
    ReceivedFile file(transferMode_);
    if (request.data) {
        file.add(request.data.get(), static_cast<size_t>(request.dataLength));
    }
    return {storeObject(file), {}, {}};
}

uint16_t SimulatedPhone::storeObject(ReceivedFile& file) {
    if (!pendingObject_) {
        return responseNoValidObjectInfo;
    }
    PendingObject pending = std::move(*pendingObject_);
    pendingObject_.reset();
    StoredObject stored = file.finish("");
    // 0xFFFFFFFF announces an object of 4 GiB or more.
    if (pending.entry.size != 0xFFFFFFFF && stored.size != pending.entry.size) {
        return responseGeneralError;
    }
    pending.entry.size = stored.size;
    if (stored.content.size() == stored.size) {
        auto content = std::make_shared<const std::vector<uint8_t>>(stored.content);
        pending.entry.read = [content](uint64_t offset, uint8_t* into, size_t length) {
            std::copy_n(content->begin() + static_cast<std::ptrdiff_t>(offset), length, into);
        };
    }
    entries_[pending.handle] = pending.entry;
    stored.destinationPath = pathOf(pending.handle);
    objects_[pending.handle] = std::move(stored);
    return responseOk;
}

std::unique_ptr<SimulatedPhone::ReceivedFile> SimulatedPhone::startSendObject() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::make_unique<ReceivedFile>(transferMode_);
}

uint16_t SimulatedPhone::finishSendObject(std::unique_ptr<ReceivedFile> file) {
    std::lock_guard<std::mutex> lock(mutex_);
    MtpRequest request;
    request.operationCode = operationSendObject;
    record(request);
    const auto fault = faults_.find(operationSendObject);
    if (fault != faults_.end() && fault->second.responseCode) {
        return *fault->second.responseCode;
    }
    return storeObject(*file);
}

uint16_t SimulatedPhone::getObject(uint32_t objectHandle, ObjectBytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    MtpRequest request;
    request.operationCode = operationGetObject;
    request.numberOfParameters = 1;
    request.parameters[0] = objectHandle;
    record(request);
    const auto fault = faults_.find(operationGetObject);
    if (fault != faults_.end() && fault->second.responseCode) {
        return *fault->second.responseCode;
    }
    return objectBytes(objectHandle, bytes);
}

std::string SimulatedPhone::pathOf(uint32_t handle) const {
    std::string path;
    for (auto found = entries_.find(handle); found != entries_.end();
         found = entries_.find(found->second.parent)) {
        path = "/" + kvinternal::utf16ToUtf8(found->second.name) + path;
    }
    return path;
}

void SimulatedPhone::removeRootObject(const std::string& utf8Name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::u16string name = kvinternal::utf8ToUtf16(utf8Name);
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (entry->second.parent == 0 && entry->second.name == name) {
            entries_.erase(entry);
            return;
        }
    }
}

bool SimulatedPhone::lists(uint16_t operationCode) const {
    return std::find(operations_.begin(), operations_.end(), operationCode) != operations_.end();
}

SimulatedPhone::Answer SimulatedPhone::verifyAnswer(const MtpRequest& request) {
    if (!lists(request.operationCode)) {
        return {responseOperationNotSupported, {}, {}};
    }
    const bool legacy = request.operationCode == operationVerifyAndUpdate;
    VerifyCall call{request.operationCode,
                    parameter(request, 0),
                    parameter(request, 1),
                    parameter(request, 2),
                    {},
                    {}};
    const bool documentOk = legacy || decodeDocument(request, call);
    verifyCalls_.push_back(call);
    if (request.numberOfParameters != (legacy ? 1 : 3)) {
        return {responseParameterNotSupported, {}, {}};
    }
    if (objects_.count(call.objectHandle) == 0) {
        return {responseInvalidObjectHandle, {}, {}};
    }
    if (!documentOk) {
        return {responseGeneralError, {}, {}};
    }
    if (installation_) {
        properties_[propertyAppSwVersion] = mtpStringBytes(installation_->appSwVersion);
        fotaStatus_ = std::move(installation_->status);
        installation_.reset();
    }
    return {responseOk, {}, {}};
}

SimulatedPhone::Answer SimulatedPhone::fotaStatusAnswer(const MtpRequest& request) const {
    if (!lists(request.operationCode)) {
        return {responseOperationNotSupported, {}, {}};
    }
    Answer answer{fotaStatus_.responseCode, {}, fotaStatus_.report};
    if (fotaStatus_.resultCode) {
        answer.parameters.push_back(*fotaStatus_.resultCode);
    }
    return answer;
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
        .array({propertyFriendlyName, propertyBatteryLevel})
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

void SimulatedPhone::failSendFileWith(MtpResult result, uint64_t afterBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendFileFault_ = result;
    sendFileFaultAfter_ = afterBytes;
}

void SimulatedPhone::setTransferChunkSize(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    chunkSize_ = std::max<size_t>(bytes, 1);
}

void SimulatedPhone::setTransferMode(TransferMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    transferMode_ = mode;
}

void SimulatedPhone::setFotaStatus(FotaStatus status) {
    std::lock_guard<std::mutex> lock(mutex_);
    fotaStatus_ = std::move(status);
}

void SimulatedPhone::installOnVerify(Installation installation) {
    std::lock_guard<std::mutex> lock(mutex_);
    installation_ = std::move(installation);
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

std::vector<SimulatedPhone::VerifyCall> SimulatedPhone::verifyCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return verifyCalls_;
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
    record(*request);
    const auto fault = faults_.find(request->operationCode);
    if (fault != faults_.end() && fault->second.result) {
        return *fault->second.result;
    }
    return deliver(answer(*request), maxDataLength, *response);
}

void SimulatedPhone::record(const MtpRequest& request) {
    const auto* data = request.data.get();
    requests_.push_back(
        {request.operationCode,
         {request.parameters,
          request.parameters + std::min<uint16_t>(request.numberOfParameters, 5)},
         data ? std::vector<uint8_t>(data, data + request.dataLength) : std::vector<uint8_t>()});
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

SimulatedPhone::MtpResult SimulatedPhone::transfer(std::unique_lock<std::mutex>& lock,
                                                   std::istream& input, ReceivedFile& file) {
    std::vector<uint8_t> chunk;
    for (;;) {
        waitWhileHeld(lock);
        if (transfer_.cancelRequested) {
            return MtpResult::Cancelled;
        }
        if (transfer_.sent == transfer_.total) {
            return MtpResult::Success;
        }
        if (sendFileFault_ && transfer_.sent >= sendFileFaultAfter_) {
            return *sendFileFault_;
        }
        chunk.resize(std::min<uint64_t>(chunkSize_, transfer_.total - transfer_.sent));
        // Reads without the lock, so that `cancel` and `progress` answer meanwhile.
        lock.unlock();
        const bool read = static_cast<bool>(input.read(reinterpret_cast<char*>(chunk.data()),
                                                       static_cast<std::streamsize>(chunk.size())));
        if (read) {
            file.add(chunk.data(), chunk.size());
        }
        lock.lock();
        if (!read) {
            return MtpResult::GeneralError;  // the file shrank under the transfer
        }
        transfer_.sent += chunk.size();
    }
}

SimulatedPhone::MtpResult SimulatedPhone::sendFile(const std::string& deviceId,
                                                   const std::string& localPath,
                                                   const std::string& destinationPath,
                                                   uint32_t& objectHandle) {
    if (deviceId != deviceId_) {
        return MtpResult::DeviceDisconnected;
    }
    std::ifstream input(kvinternal::platform::toPath(localPath), std::ios::binary);
    const auto size = kvinternal::platform::fileSize(localPath);
    std::unique_lock<std::mutex> lock(mutex_);
    if (sendFileFault_ && sendFileFaultAfter_ == 0) {
        return *sendFileFault_;
    }
    if (!input || !size) {
        return MtpResult::InvalidArgument;
    }
    ReceivedFile file(transferMode_);
    transfer_ = Transfer{true, false, 0, *size};
    const MtpResult result = transfer(lock, input, file);
    transfer_.active = false;
    if (result == MtpResult::Success) {
        objectHandle = nextObjectHandle_++;
        objects_[objectHandle] = file.finish(destinationPath);
    }
    return result;
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
