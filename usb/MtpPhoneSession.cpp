#include "MtpPhoneSession.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace kvusb {

namespace {

using MtpResult = kv::MtpProvider::MtpResult;

constexpr uint16_t operationOpenSession = 0x1002;
constexpr uint16_t operationCloseSession = 0x1003;
constexpr uint16_t operationGetStorageIds = 0x1004;
constexpr uint16_t operationGetObjectHandles = 0x1007;
constexpr uint16_t operationGetObjectInfo = 0x1008;
constexpr uint16_t operationDeleteObject = 0x100B;
constexpr uint16_t operationSendObjectInfo = 0x100C;
constexpr uint16_t operationSendObject = 0x100D;
constexpr uint16_t responseOk = 0x2001;
constexpr uint16_t responseSessionAlreadyOpen = 0x201E;
constexpr uint32_t sessionId = 1;
constexpr uint32_t rootFolder = 0xFFFFFFFF;
// Bounds of the datasets read while resolving a path.
constexpr uint64_t largestHandleList = 16u << 20;
constexpr uint64_t largestObjectInfo = 64u << 10;

std::string hex(uint16_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", code);
    return text;
}

// "/recovery/update_package" as its folders and its name; false for anything else than an
// absolute path of non-empty components.
bool splitPath(const std::string& path, std::vector<std::u16string>& folders,
               std::u16string& name) {
    if (path.size() < 2 || path.front() != '/' || path.back() == '/') {
        return false;
    }
    std::vector<std::u16string> components;
    for (std::size_t start = 1; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end == start) {
            return false;
        }
        components.push_back(MtpDatasets::utf16(path.substr(start, end - start)));
        start = end + 1;
    }
    name = components.back();
    components.pop_back();
    folders = std::move(components);
    return true;
}

}  // namespace

MtpPhoneSession::MtpPhoneSession(std::unique_ptr<UsbTransport> transport,
                                 MtpTransactionEngine::Options options)
    : transport_(std::move(transport)), engine_(*transport_, std::move(options)) {}

MtpOutcome MtpPhoneSession::run(const MtpOperation& operation, const std::string& name) {
    MtpOutcome outcome = engine_.run(operation);
    if (outcome.result != MtpResult::Success) {
        problem_ = name + ": " + outcome.problem;
    }
    return outcome;
}

bool MtpPhoneSession::succeeded(const MtpOutcome& outcome, const char* name) {
    if (outcome.result != MtpResult::Success) {
        return false;
    }
    if (outcome.responseCode != responseOk) {
        problem_ = std::string(name) + ": the phone answered " + hex(outcome.responseCode);
        return false;
    }
    return true;
}

MtpResult MtpPhoneSession::open() {
    problem_.clear();
    MtpOutcome outcome = run({operationOpenSession, {sessionId}, nullptr, nullptr}, "OpenSession");
    if (outcome.result == MtpResult::Success &&
        outcome.responseCode == responseSessionAlreadyOpen) {
        run({operationCloseSession, {}, nullptr, nullptr}, "CloseSession");
        outcome = run({operationOpenSession, {sessionId}, nullptr, nullptr}, "OpenSession");
    }
    if (outcome.result != MtpResult::Success) {
        return outcome.result;
    }
    return succeeded(outcome, "OpenSession") ? MtpResult::Success : MtpResult::UsbSetupError;
}

void MtpPhoneSession::close() {
    if (engine_.usable()) {
        transport_->resetInterrupt();
        run({operationCloseSession, {}, nullptr, nullptr}, "CloseSession");
    }
}

void MtpPhoneSession::beginCall() {
    transport_->resetInterrupt();
}

MtpResult MtpPhoneSession::execute(uint64_t maxDataLength, const MtpRequest& request,
                                   MtpResponse& response) {
    problem_.clear();
    const auto count = std::min<uint16_t>(request.numberOfParameters, 5);
    MtpOperation operation{
        request.operationCode, {request.parameters, request.parameters + count}, nullptr, nullptr};
    MemorySource source(request.data.get(), request.data ? request.dataLength : 0);
    if (request.data && request.dataLength > 0) {
        operation.dataOut = &source;
    }
    // Into the caller's buffer when there is one; a buffer of our own otherwise.
    const bool callersBuffer = response.data != nullptr;
    BufferSink buffer(response.data.get(), callersBuffer ? maxDataLength : 0);
    VectorSink own(callersBuffer ? 0 : maxDataLength);
    operation.dataIn = callersBuffer ? static_cast<DataSink*>(&buffer) : &own;
    const MtpOutcome outcome = run(operation, "operation " + hex(request.operationCode));
    if (outcome.result != MtpResult::Success) {
        return outcome.result;
    }
    if (callersBuffer) {
        response.dataLength = buffer.length();
    } else if (!own.bytes().empty()) {
        response.data.reset(new uint8_t[own.bytes().size()]);
        std::copy(own.bytes().begin(), own.bytes().end(), response.data.get());
        response.dataLength = own.bytes().size();
    } else {
        response.dataLength = 0;
    }
    response.responseCode = outcome.responseCode;
    response.numberOfParameters = static_cast<uint16_t>(outcome.parameters.size());
    std::fill(std::begin(response.parameters), std::end(response.parameters), 0);
    std::copy(outcome.parameters.begin(), outcome.parameters.end(), response.parameters);
    return MtpResult::Success;
}

std::optional<std::vector<uint8_t>> MtpPhoneSession::fetch(uint16_t code,
                                                           std::vector<uint32_t> parameters,
                                                           const char* name, MtpResult& result) {
    VectorSink sink(code == operationGetObjectInfo ? largestObjectInfo : largestHandleList);
    const MtpOutcome outcome = run({code, std::move(parameters), nullptr, &sink}, name);
    result = outcome.result;
    if (!succeeded(outcome, name)) {
        if (result == MtpResult::Success) {
            result = MtpResult::GeneralError;
        }
        return std::nullopt;
    }
    return sink.bytes();
}

std::optional<uint32_t> MtpPhoneSession::findChild(uint32_t storage, uint32_t parent,
                                                   const std::u16string& name, bool folder,
                                                   MtpResult& result) {
    const auto handles =
        fetch(operationGetObjectHandles, {storage, 0, parent}, "GetObjectHandles", result);
    if (!handles) {
        return std::nullopt;
    }
    try {
        for (const uint32_t handle : MtpDatasets::decodeUint32Array(*handles)) {
            const auto info = fetch(operationGetObjectInfo, {handle}, "GetObjectInfo", result);
            if (!info) {
                return std::nullopt;
            }
            const ObjectInfo object = MtpDatasets::decodeObjectInfo(*info);
            if (object.filename == name &&
                (object.format == MtpDatasets::formatAssociation) == folder) {
                return handle;
            }
        }
    } catch (const std::invalid_argument& error) {
        problem_ = std::string("resolving the destination: ") + error.what();
        result = MtpResult::UsbReadDataError;
    }
    return std::nullopt;
}

MtpResult MtpPhoneSession::resolveFolder(const std::vector<std::u16string>& folders,
                                         uint32_t& storage, uint32_t& parent) {
    MtpResult result = MtpResult::Success;
    const auto storages = fetch(operationGetStorageIds, {}, "GetStorageIDs", result);
    if (!storages) {
        return result;
    }
    std::vector<uint32_t> ids;
    try {
        ids = MtpDatasets::decodeUint32Array(*storages);
    } catch (const std::invalid_argument& error) {
        problem_ = std::string("GetStorageIDs: ") + error.what();
        return MtpResult::UsbReadDataError;
    }
    // The first storage on which the whole folder path exists.
    for (const uint32_t id : ids) {
        uint32_t folder = rootFolder;
        bool found = true;
        for (const std::u16string& name : folders) {
            const auto child = findChild(id, folder, name, true, result);
            if (result != MtpResult::Success) {
                return result;
            }
            found = child.has_value();
            if (!found) {
                break;
            }
            folder = *child;
        }
        if (found) {
            storage = id;
            parent = folder;
            return MtpResult::Success;
        }
    }
    // A locked phone shows no storage at all.
    problem_ = ids.empty() ? "the phone shows no storage: unlock it and allow file transfer"
                           : "the phone has no such folder on any of its " +
                                 std::to_string(ids.size()) + " storages; none is created";
    return MtpResult::InvalidArgument;
}

MtpResult MtpPhoneSession::sendObject(uint32_t storage, uint32_t parent, const std::u16string& name,
                                      DataSource& source, uint32_t& objectHandle) {
    ObjectInfo info{storage, MtpDatasets::formatUndefined,
                    static_cast<uint32_t>(std::min<uint64_t>(source.size(), 0xFFFFFFFF)), parent,
                    name};
    const std::vector<uint8_t> dataset = MtpDatasets::encodeObjectInfo(info);
    MemorySource infoSource(dataset);
    const MtpOutcome announced =
        run({operationSendObjectInfo, {storage, parent}, &infoSource, nullptr}, "SendObjectInfo");
    if (!succeeded(announced, "SendObjectInfo")) {
        return announced.result == MtpResult::Success ? MtpResult::GeneralError : announced.result;
    }
    if (announced.parameters.size() < 3) {
        problem_ = "SendObjectInfo: the phone named no object handle";
        return MtpResult::UsbResponseError;
    }
    const MtpOutcome sent = run({operationSendObject, {}, &source, nullptr}, "SendObject");
    if (!succeeded(sent, "SendObject")) {
        return sent.result == MtpResult::Success ? MtpResult::GeneralError : sent.result;
    }
    objectHandle = announced.parameters[2];
    return MtpResult::Success;
}

MtpResult MtpPhoneSession::sendFile(const std::string& localPath,
                                    const std::string& destinationPath, uint32_t& objectHandle) {
    problem_.clear();
    std::vector<std::u16string> folders;
    std::u16string name;
    try {
        if (!splitPath(destinationPath, folders, name)) {
            problem_ = "the destination " + destinationPath + " is not an absolute file path";
            return MtpResult::InvalidArgument;
        }
    } catch (const std::invalid_argument& error) {
        problem_ = error.what();
        return MtpResult::InvalidArgument;
    }
    FileSource file(localPath, sent_);
    if (!file.isOpen()) {
        problem_ = "cannot read " + localPath;
        return MtpResult::InvalidArgument;
    }
    sent_ = 0;
    total_ = file.size();
    sending_ = true;
    uint32_t storage = 0;
    uint32_t parent = 0;
    MtpResult result = resolveFolder(folders, storage, parent);
    MtpResult replaced = MtpResult::Success;
    const auto existing = result == MtpResult::Success
                              ? findChild(storage, parent, name, false, replaced)
                              : std::nullopt;
    if (result == MtpResult::Success) {
        result = replaced;
    }
    if (result == MtpResult::Success && existing) {
        const MtpOutcome deleted =
            run({operationDeleteObject, {*existing}, nullptr, nullptr}, "DeleteObject");
        if (!succeeded(deleted, "DeleteObject")) {
            result =
                deleted.result == MtpResult::Success ? MtpResult::GeneralError : deleted.result;
        }
    }
    if (result == MtpResult::Success) {
        result = sendObject(storage, parent, name, file, objectHandle);
    }
    sending_ = false;
    return result;
}

void MtpPhoneSession::cancel() {
    transport_->interrupt();
}

bool MtpPhoneSession::progress(double& fraction) const {
    if (!sending_) {
        return true;
    }
    const uint64_t total = total_;
    fraction = total == 0 ? 0.0 : static_cast<double>(sent_) / static_cast<double>(total);
    return false;
}

}  // namespace kvusb
