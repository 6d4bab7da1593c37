#include "UsbMtpFunction.h"

#include <algorithm>
#include <utility>

#include "MtpDatasetReader.h"
#include "MtpDatasetWriter.h"

namespace kvtest {

namespace {

constexpr std::size_t headerSize = 12;
constexpr uint32_t unknownLength = 0xFFFFFFFF;
constexpr uint16_t typeCommand = 1;
constexpr uint16_t typeData = 2;
constexpr uint16_t typeResponse = 3;
constexpr uint16_t responseOk = 0x2001;
constexpr uint16_t responseDeviceBusy = 0x2019;
// Phone-to-host data phases the phone sends at most.
constexpr uint64_t largestAnswer = 4u << 20;
// Operations whose command is followed by a host-to-phone data phase.
const std::set<uint16_t> operationsWithData{0x100C, 0x100D, 0x9175, 0x9178};

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t le32(const uint8_t* at) {
    return static_cast<uint32_t>(le16(at)) | (static_cast<uint32_t>(le16(at + 2)) << 16);
}

}  // namespace

UsbMtpFunction::UsbMtpFunction(std::shared_ptr<SimulatedPhone> phone, Identity identity)
    : phone_(std::move(phone)), identity_(std::move(identity)) {}

std::vector<uint8_t> UsbMtpFunction::descriptors() const {
    const uint8_t interfaceClass = identity_.stillImageClass ? 0x06 : 0xFF;
    const uint8_t subclass = identity_.stillImageClass ? 0x01 : 0xFF;
    const uint8_t protocol = identity_.stillImageClass ? 0x01 : 0x00;
    MtpDatasetWriter bytes;
    // Device: USB 2.0, class per interface, 64-byte control packets, strings 1 to 3.
    bytes.uint8(18).uint8(1).uint16(0x0200).uint8(0).uint8(0).uint8(0).uint8(64);
    bytes.uint16(identity_.vendorId).uint16(identity_.productId).uint16(0x0100);
    bytes.uint8(1).uint8(2).uint8(3).uint8(1);
    // Configuration 1 with one interface of three endpoints.
    bytes.uint8(9).uint8(2).uint16(9 + 9 + 3 * 7).uint8(1).uint8(1).uint8(0).uint8(0x80).uint8(250);
    bytes.uint8(9).uint8(4).uint8(0).uint8(0).uint8(3).uint8(interfaceClass).uint8(subclass);
    bytes.uint8(protocol).uint8(4);
    bytes.uint8(7).uint8(5).uint8(bulkInAddress).uint8(2).uint16(packetSize).uint8(0);
    bytes.uint8(7).uint8(5).uint8(bulkOutAddress).uint8(2).uint16(packetSize).uint8(0);
    bytes.uint8(7).uint8(5).uint8(interruptAddress).uint8(3).uint16(28).uint8(6);
    return bytes.bytes();
}

std::vector<uint8_t> UsbMtpFunction::container(uint16_t type, uint16_t code,
                                               const std::vector<uint8_t>& payload) const {
    MtpDatasetWriter bytes;
    bytes.uint32(static_cast<uint32_t>(headerSize + payload.size())).uint16(type).uint16(code);
    bytes.uint32(transactionId_);
    std::vector<uint8_t> whole = bytes.bytes();
    whole.insert(whole.end(), payload.begin(), payload.end());
    return whole;
}

void UsbMtpFunction::queue(std::vector<uint8_t> container) {
    const bool wholePackets = container.size() % packetSize == 0;
    inTransfers_.push_back(std::move(container));
    if (wholePackets && zeroLengthPackets_) {
        inTransfers_.emplace_back();
    }
}

void UsbMtpFunction::idle() {
    phase_ = Phase::Command;
    command_.clear();
    dataHeader_.clear();
    payload_.clear();
    announced_.reset();
}

UsbMtpFunction::Status UsbMtpFunction::bulkOut(const uint8_t* data, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) {
        return Status::NoDevice;
    }
    switch (phase_) {
        case Phase::Command:
            return receiveCommand(data, length);
        case Phase::Data:
            return receiveData(data, length);
        case Phase::Answering:
            break;
    }
    // Only the zero-length packet that ends a data phase of whole packets may come now.
    return length == 0 ? Status::Ok : Status::Stall;
}

UsbMtpFunction::Status UsbMtpFunction::receiveCommand(const uint8_t* data, std::size_t length) {
    command_.insert(command_.end(), data, data + length);
    if (command_.size() < headerSize || command_.size() < le32(command_.data())) {
        return Status::Ok;
    }
    const uint32_t containerLength = le32(command_.data());
    if (command_.size() != containerLength || le16(command_.data() + 4) != typeCommand ||
        (containerLength - headerSize) % 4 != 0 || containerLength > headerSize + 20) {
        idle();
        return Status::Stall;
    }
    code_ = le16(command_.data() + 6);
    transactionId_ = le32(command_.data() + 8);
    transactionIds_.push_back(transactionId_);
    parameters_.clear();
    for (std::size_t at = headerSize; at < containerLength; at += 4) {
        parameters_.push_back(le32(command_.data() + at));
    }
    command_.clear();
    if (operationsWithData.count(code_) > 0) {
        phase_ = Phase::Data;
    } else {
        runOperation();
    }
    return Status::Ok;
}

UsbMtpFunction::Status UsbMtpFunction::receiveData(const uint8_t* data, std::size_t length) {
    if (holdAt_ && payload_.size() >= *holdAt_) {
        held_ = true;
        changed_.notify_all();
        return Status::Pending;
    }
    std::size_t used = 0;
    if (dataHeader_.size() < headerSize) {
        used = std::min(length, headerSize - dataHeader_.size());
        dataHeader_.insert(dataHeader_.end(), data, data + used);
        if (dataHeader_.size() == headerSize) {
            const uint32_t containerLength = le32(dataHeader_.data());
            if (le16(dataHeader_.data() + 4) != typeData || le16(dataHeader_.data() + 6) != code_ ||
                le32(dataHeader_.data() + 8) != transactionId_ || containerLength < headerSize) {
                idle();
                return Status::Stall;
            }
            if (containerLength != unknownLength) {
                announced_ = containerLength - headerSize;
            }
        }
    }
    payload_.insert(payload_.end(), data + used, data + length);
    const bool shortTransfer = length % packetSize != 0 || length == 0;
    if (announced_ && payload_.size() > *announced_) {
        idle();
        return Status::Stall;
    }
    if ((announced_ && payload_.size() == *announced_) || (!announced_ && shortTransfer)) {
        runOperation();
    }
    return Status::Ok;
}

void UsbMtpFunction::runOperation() {
    phase_ = Phase::Answering;
    if (silent_.count(code_) > 0) {
        return;
    }
    if (stallIn_.count(code_) > 0) {
        inHalted_ = true;
        return;
    }
    auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
    request->operationCode = code_;
    request->numberOfParameters = static_cast<uint16_t>(parameters_.size());
    std::copy(parameters_.begin(), parameters_.end(), request->parameters);
    if (!payload_.empty()) {
        request->data.reset(new uint8_t[payload_.size()]);
        std::copy(payload_.begin(), payload_.end(), request->data.get());
        request->dataLength = payload_.size();
    }
    auto response = std::make_shared<kv::MtpProvider::MtpResponse>();
    response->data.reset(new uint8_t[largestAnswer]);
    const auto result =
        phone_->execute(SimulatedPhone::defaultDeviceId, largestAnswer,
                        std::shared_ptr<const kv::MtpProvider::MtpRequest>(request), response);
    payload_.clear();
    dataHeader_.clear();
    announced_.reset();
    if (result == kv::MtpProvider::MtpResult::DeviceDisconnected) {
        unplugged_ = true;
        return;
    }
    if (result != kv::MtpProvider::MtpResult::Success) {
        inHalted_ = true;
        return;
    }
    if (response->dataLength > 0) {
        queue(container(typeData, code_,
                        {response->data.get(), response->data.get() + response->dataLength}));
    }
    MtpDatasetWriter parameters;
    for (uint16_t i = 0; i < std::min<uint16_t>(response->numberOfParameters, 5); ++i) {
        parameters.uint32(response->parameters[i]);
    }
    queue(container(typeResponse, response->responseCode, parameters.bytes()));
}

UsbMtpFunction::Status UsbMtpFunction::bulkIn(std::size_t capacity,
                                              std::vector<uint8_t>& transfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    transfer.clear();
    if (unplugged_) {
        return Status::NoDevice;
    }
    if (inHalted_) {
        return Status::Stall;
    }
    if (inTransfers_.empty()) {
        return Status::Pending;
    }
    std::vector<uint8_t>& next = inTransfers_.front();
    std::size_t length = next.size();
    if (length > capacity) {
        // Whole packets fill the buffer; a packet that does not fit overflows it.
        if (capacity % packetSize != 0 || capacity == 0) {
            return Status::Overflow;
        }
        length = capacity;
    }
    transfer.assign(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(length));
    next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(length));
    if (next.empty()) {
        inTransfers_.pop_front();
    }
    if (inTransfers_.empty()) {
        idle();
    }
    return Status::Ok;
}

std::vector<uint8_t> UsbMtpFunction::stringDescriptor(uint8_t index) const {
    std::u16string text;
    switch (index) {
        case 0:
            return {4, 3, 0x09, 0x04};  // US English only
        case 1:
            text.assign(identity_.manufacturer.begin(), identity_.manufacturer.end());
            break;
        case 2:
            text.assign(identity_.product.begin(), identity_.product.end());
            break;
        case 3:
            text.assign(identity_.serial.begin(), identity_.serial.end());
            break;
        case 4:
            text.assign(identity_.interfaceName.begin(), identity_.interfaceName.end());
            break;
        default:
            return {};
    }
    MtpDatasetWriter bytes;
    bytes.uint8(static_cast<uint8_t>(2 + 2 * text.size())).uint8(3);
    for (const char16_t unit : text) {
        bytes.uint16(unit);
    }
    return bytes.bytes();
}

UsbMtpFunction::Status UsbMtpFunction::control(const Setup& setup,
                                               const std::vector<uint8_t>& dataOut,
                                               std::vector<uint8_t>& dataIn) {
    std::lock_guard<std::mutex> lock(mutex_);
    dataIn.clear();
    if (unplugged_) {
        return Status::NoDevice;
    }
    if (setup.requestType == 0x80 && setup.request == 6 && setup.value >> 8 == 3) {
        dataIn = stringDescriptor(static_cast<uint8_t>(setup.value));
        if (dataIn.empty()) {
            return Status::Stall;
        }
    } else if (setup.requestType == 0x21 && setup.request == 0x64 && dataOut.size() == 6) {
        cancelled_.push_back(le32(dataOut.data() + 2));
        inTransfers_.clear();
        holdAt_.reset();
        held_ = false;
        busyPolls_ = busyAfterCancel_;
        idle();
        changed_.notify_all();
    } else if (setup.requestType == 0xA1 && setup.request == 0x67) {
        MtpDatasetWriter status;
        const uint16_t code = busyPolls_ > 0 ? responseDeviceBusy : responseOk;
        busyPolls_ = std::max(busyPolls_ - 1, 0);
        status.uint16(static_cast<uint16_t>(inHalted_ ? 8 : 4)).uint16(code);
        if (inHalted_) {
            status.uint32(bulkInAddress);
        }
        dataIn = status.bytes();
    } else {
        return Status::Stall;
    }
    if (dataIn.size() > setup.length) {
        dataIn.resize(setup.length);
    }
    return Status::Ok;
}

UsbMtpFunction::Status UsbMtpFunction::clearHalt(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) {
        return Status::NoDevice;
    }
    if (endpoint == bulkInAddress && inHalted_) {
        inHalted_ = false;
        inTransfers_.clear();
        idle();
    }
    return Status::Ok;
}

void UsbMtpFunction::holdDataAt(uint64_t payloadBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdAt_ = payloadBytes;
}

void UsbMtpFunction::waitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return held_ || unplugged_; });
}

void UsbMtpFunction::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
    changed_.notify_all();
}

bool UsbMtpFunction::unplugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged_;
}

void UsbMtpFunction::busyAfterCancel(int polls) {
    std::lock_guard<std::mutex> lock(mutex_);
    busyAfterCancel_ = polls;
}

void UsbMtpFunction::stallInOn(uint16_t operationCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallIn_.insert(operationCode);
}

void UsbMtpFunction::silentOn(uint16_t operationCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_.insert(operationCode);
}

void UsbMtpFunction::omitZeroLengthPackets() {
    std::lock_guard<std::mutex> lock(mutex_);
    zeroLengthPackets_ = false;
}

std::vector<uint32_t> UsbMtpFunction::cancelledTransactions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

std::vector<uint32_t> UsbMtpFunction::transactionIds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transactionIds_;
}

}  // namespace kvtest
