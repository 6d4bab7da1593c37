#include "UsbMtpFunction.h"

#include <algorithm>
#include <utility>

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
constexpr uint16_t cancellationCode = 0x4001;
constexpr uint16_t operationOpenSession = 0x1002;
constexpr uint16_t operationGetObject = 0x1009;
constexpr uint16_t operationSendObject = 0x100D;
// Phone-to-host data phases the phone answers through `execute` at most; GetObject streams.
constexpr uint64_t largestAnswer = 4u << 20;
// Host-to-phone data phases the phone keeps whole at most (datasets and documents); SendObject
// streams.
constexpr uint64_t largestDataset = 1u << 20;
// Operations whose command is followed by a host-to-phone data phase.
const std::set<uint16_t> operationsWithData{0x100C, 0x100D, 0x9175, 0x9178};

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t le32(const uint8_t* at) {
    return static_cast<uint32_t>(le16(at)) | (static_cast<uint32_t>(le16(at + 2)) << 16);
}

// Reads `length` bytes at `offset` of `bytes`.
std::function<void(uint64_t, uint8_t*, std::size_t)> reader(
    std::shared_ptr<const std::vector<uint8_t>> bytes) {
    return [bytes](uint64_t offset, uint8_t* into, std::size_t length) {
        std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(offset), length, into);
    };
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

std::vector<uint8_t> UsbMtpFunction::header(uint16_t type, uint16_t code,
                                            uint64_t payloadLength) const {
    const uint64_t length = headerSize + payloadLength;
    MtpDatasetWriter bytes;
    bytes.uint32(length >= unknownLength ? unknownLength : static_cast<uint32_t>(length));
    bytes.uint16(type).uint16(code).uint32(transactionId_.value_or(0));
    return bytes.bytes();
}

void UsbMtpFunction::queue(Segment segment) {
    const bool wholePackets = segment.length > 0 && segment.length % packetSize == 0;
    inSegments_.push_back(std::move(segment));
    if (wholePackets && zeroLengthPackets_) {
        inSegments_.push_back(Segment{});
    }
}

void UsbMtpFunction::queueResponse(uint16_t code, const std::vector<uint32_t>& parameters) {
    MtpDatasetWriter payload;
    for (const uint32_t parameter : parameters) {
        payload.uint32(parameter);
    }
    auto bytes =
        std::make_shared<std::vector<uint8_t>>(header(typeResponse, code, payload.bytes().size()));
    bytes->insert(bytes->end(), payload.bytes().begin(), payload.bytes().end());
    queue({bytes->size(), reader(bytes), 0});
}

void UsbMtpFunction::queueData(uint64_t length,
                               std::function<void(uint64_t, uint8_t*, std::size_t)> read) {
    auto head = std::make_shared<const std::vector<uint8_t>>(header(typeData, code_, length));
    if (splitDataHeaders_) {
        queue({headerSize, reader(head), 0});
        queue({length, std::move(read), 0});
        return;
    }
    auto readHead = reader(head);
    queue({headerSize + length,
           [readHead, read](uint64_t offset, uint8_t* into, std::size_t count) {
               const auto fromHead = static_cast<std::size_t>(
                   std::min<uint64_t>(count, headerSize - std::min<uint64_t>(offset, headerSize)));
               if (fromHead > 0) {
                   readHead(offset, into, fromHead);
               }
               if (count > fromHead) {
                   read(offset + fromHead - headerSize, into + fromHead, count - fromHead);
               }
           },
           0});
}

void UsbMtpFunction::idle() {
    phase_ = Phase::Command;
    command_.clear();
    dataHeader_.clear();
    payload_.clear();
    upload_.reset();
    announced_.reset();
    received_ = 0;
    refusing_ = false;
}

UsbMtpFunction::Status UsbMtpFunction::haltOut() {
    outHalted_ = true;
    idle();
    return Status::Stall;
}

UsbMtpFunction::Status UsbMtpFunction::bulkOut(const uint8_t* data, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) {
        return Status::NoDevice;
    }
    if (outHalted_) {
        return Status::Stall;
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
    return length == 0 ? Status::Ok : haltOut();
}

UsbMtpFunction::Status UsbMtpFunction::receiveCommand(const uint8_t* data, std::size_t length) {
    if (length == 0 && command_.empty()) {
        return Status::Ok;  // a zero-length packet between transactions carries nothing
    }
    command_.insert(command_.end(), data, data + length);
    if (command_.size() < headerSize) {
        return length == 0 || length % packetSize != 0 ? haltOut() : Status::Ok;
    }
    const uint32_t containerLength = le32(command_.data());
    if (le16(command_.data() + 4) != typeCommand || containerLength < headerSize ||
        containerLength > headerSize + 20 || (containerLength - headerSize) % 4 != 0 ||
        command_.size() > containerLength) {
        return haltOut();
    }
    if (command_.size() < containerLength) {
        return Status::Ok;
    }
    code_ = le16(command_.data() + 6);
    transactionId_ = le32(command_.data() + 8);
    transactionIds_.push_back(*transactionId_);
    commands_.push_back(code_);
    parameters_.clear();
    for (std::size_t at = headerSize; at < containerLength; at += 4) {
        parameters_.push_back(le32(command_.data() + at));
    }
    command_.clear();
    changed_.notify_all();
    refusing_ = busyPolls_ > 0 || (code_ == operationOpenSession && busyOpens_ > 0);
    if (code_ == operationOpenSession) {
        busyOpens_ = std::max(busyOpens_ - 1, 0);
    }
    if (operationsWithData.count(code_) > 0) {
        return startDataPhase();
    }
    runOperation();
    return Status::Ok;
}

UsbMtpFunction::Status UsbMtpFunction::startDataPhase() {
    phase_ = Phase::Data;
    if (code_ == operationSendObject && !refusing_) {
        upload_ = phone_->startSendObject();
    }
    return Status::Ok;
}

UsbMtpFunction::Status UsbMtpFunction::receiveData(const uint8_t* data, std::size_t length) {
    if (holdAt_ && received_ >= *holdAt_) {
        held_ = true;
        changed_.notify_all();
        return Status::Pending;
    }
    if (stallOut_.count(code_) > 0) {
        return haltOut();
    }
    std::size_t used = 0;
    if (dataHeader_.size() < headerSize) {
        used = std::min(length, headerSize - dataHeader_.size());
        dataHeader_.insert(dataHeader_.end(), data, data + used);
        if (dataHeader_.size() == headerSize) {
            const uint32_t containerLength = le32(dataHeader_.data());
            if (le16(dataHeader_.data() + 4) != typeData || le16(dataHeader_.data() + 6) != code_ ||
                le32(dataHeader_.data() + 8) != *transactionId_ || containerLength < headerSize) {
                return haltOut();
            }
            if (containerLength != unknownLength) {
                announced_ = containerLength - headerSize;
            }
        }
    }
    const bool shortTransfer = length % packetSize != 0 || length == 0;
    if (dataHeader_.size() < headerSize) {
        return shortTransfer ? haltOut() : Status::Ok;
    }
    const std::size_t payload = length - used;
    if (announced_ && payload > *announced_ - received_) {
        return haltOut();
    }
    const Status kept = keepPayload(data + used, payload);
    if (kept != Status::Ok) {
        return kept;
    }
    received_ += payload;
    if ((announced_ && received_ == *announced_) || (!announced_ && shortTransfer)) {
        runOperation();
    }
    return Status::Ok;
}

UsbMtpFunction::Status UsbMtpFunction::keepPayload(const uint8_t* data, std::size_t length) {
    if (refusing_) {
        return Status::Ok;
    }
    if (upload_) {
        upload_->add(data, length);
        return Status::Ok;
    }
    if (length > largestDataset - payload_.size()) {
        return haltOut();
    }
    payload_.insert(payload_.end(), data, data + length);
    return Status::Ok;
}

void UsbMtpFunction::runOperation() {
    phase_ = Phase::Answering;
    if (refusing_) {
        queueResponse(responseDeviceBusy);
    } else if (silent_.count(code_) > 0) {
        // Nothing until a Cancel.
    } else if (stallIn_.count(code_) > 0) {
        inHalted_ = true;
    } else if (code_ == operationSendObject) {
        queueResponse(phone_->finishSendObject(std::move(upload_)));
    } else if (code_ == operationGetObject) {
        answerObject();
    } else {
        answerWithPhone();
    }
    payload_.clear();
    upload_.reset();
}

void UsbMtpFunction::answerObject() {
    SimulatedPhone::ObjectBytes bytes;
    const uint16_t code = phone_->getObject(parameters_.empty() ? 0 : parameters_[0], bytes);
    if (code == responseOk) {
        queueData(bytes.size, bytes.read);
    }
    queueResponse(code);
}

void UsbMtpFunction::answerWithPhone() {
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
    if (result == kv::MtpProvider::MtpResult::DeviceDisconnected) {
        unplugged_ = true;
        return;
    }
    if (result != kv::MtpProvider::MtpResult::Success) {
        inHalted_ = true;
        return;
    }
    if (response->dataLength > 0) {
        queueData(response->dataLength,
                  reader(std::make_shared<const std::vector<uint8_t>>(
                      response->data.get(), response->data.get() + response->dataLength)));
    }
    const uint16_t count = std::min<uint16_t>(response->numberOfParameters, 5);
    queueResponse(response->responseCode, {response->parameters, response->parameters + count});
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
    const Status status = takeTransfer(capacity, transfer);
    if (status == Status::Ok && inSegments_.empty() && phase_ == Phase::Answering) {
        idle();
    }
    return status;
}

UsbMtpFunction::Status UsbMtpFunction::takeTransfer(std::size_t capacity,
                                                    std::vector<uint8_t>& transfer) {
    // Which packets the transfer takes: up to a short one or a full buffer.
    std::size_t total = 0;
    std::size_t segment = 0;
    uint64_t offset = inSegments_.empty() ? 0 : inSegments_.front().taken;
    bool ended = false;
    while (segment < inSegments_.size() && !ended && total < capacity) {
        const Segment& next = inSegments_[segment];
        const auto packet =
            static_cast<std::size_t>(std::min<uint64_t>(packetSize, next.length - offset));
        if (packet > capacity - total) {
            return Status::Overflow;
        }
        total += packet;
        offset += packet;
        ended = packet < packetSize;
        if (offset == next.length) {
            ++segment;
            offset = 0;
        }
    }
    if (!ended && (total < capacity || total == 0)) {
        return Status::Pending;  // the host waits for more packets
    }
    transfer.resize(total);
    std::size_t filled = 0;
    for (; segment > 0; --segment) {
        Segment& done = inSegments_.front();
        const auto length = static_cast<std::size_t>(done.length - done.taken);
        if (length > 0) {
            done.read(done.taken, transfer.data() + filled, length);
        }
        filled += length;
        inSegments_.pop_front();
    }
    if (offset > 0) {
        Segment& part = inSegments_.front();
        part.read(part.taken, transfer.data() + filled,
                  static_cast<std::size_t>(offset - part.taken));
        part.taken = offset;
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

UsbMtpFunction::Status UsbMtpFunction::cancel(const std::vector<uint8_t>& dataOut) {
    // Only a Cancel of the transaction that runs is taken.
    if (dataOut.size() != 6 || le16(dataOut.data()) != cancellationCode || !transactionId_ ||
        le32(dataOut.data() + 2) != *transactionId_) {
        return Status::Stall;
    }
    cancelled_.push_back(*transactionId_);
    inHalted_ = inHalted_ || haltOnCancel_;
    outHalted_ = outHalted_ || haltOnCancel_;
    inSegments_.clear();
    holdAt_.reset();
    held_ = false;
    busyPolls_ = busyAfterCancel_;
    idle();
    changed_.notify_all();
    return Status::Ok;
}

std::vector<uint8_t> UsbMtpFunction::deviceStatus() {
    const uint16_t code = busyPolls_ > 0 ? responseDeviceBusy : responseOk;
    busyPolls_ = std::max(busyPolls_ - 1, 0);
    std::vector<uint32_t> halted;
    if (inHalted_) {
        halted.push_back(bulkInAddress);
    }
    if (outHalted_) {
        halted.push_back(bulkOutAddress);
    }
    MtpDatasetWriter status;
    status.uint16(static_cast<uint16_t>(4 + 4 * halted.size())).uint16(code);
    for (const uint32_t address : halted) {
        status.uint32(address);
    }
    return status.bytes();
}

UsbMtpFunction::Status UsbMtpFunction::standardStatus(const Setup& setup,
                                                      std::vector<uint8_t>& dataIn) const {
    bool halted = false;
    if (setup.requestType == 0x82) {
        switch (setup.index & 0xFF) {
            case bulkInAddress:
                halted = inHalted_;
                break;
            case bulkOutAddress:
                halted = outHalted_;
                break;
            case 0x00:
            case 0x80:
            case interruptAddress:
                break;
            default:
                return Status::Stall;
        }
    }
    // Bus-powered without remote wake-up; an endpoint's only bit is its halt.
    dataIn = {static_cast<uint8_t>(halted ? 1 : 0), 0};
    return Status::Ok;
}

UsbMtpFunction::Status UsbMtpFunction::control(const Setup& setup,
                                               const std::vector<uint8_t>& dataOut,
                                               std::vector<uint8_t>& dataIn) {
    std::lock_guard<std::mutex> lock(mutex_);
    dataIn.clear();
    if (unplugged_) {
        return Status::NoDevice;
    }
    Status status = Status::Ok;
    if (setup.requestType == 0x80 && setup.request == 6 && setup.value >> 8 == 3) {
        dataIn = stringDescriptor(static_cast<uint8_t>(setup.value));
        status = dataIn.empty() ? Status::Stall : Status::Ok;
    } else if (setup.request == 0 && setup.requestType >= 0x80 && setup.requestType <= 0x82) {
        status = standardStatus(setup, dataIn);
    } else if (setup.requestType == 0x21 && setup.request == 0x64) {
        status = cancel(dataOut);
    } else if (setup.requestType == 0xA1 && setup.request == 0x67) {
        dataIn = deviceStatus();
    } else {
        status = Status::Stall;
    }
    if (dataIn.size() > setup.length) {
        dataIn.resize(setup.length);
    }
    return status;
}

UsbMtpFunction::Status UsbMtpFunction::clearHalt(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) {
        return Status::NoDevice;
    }
    if (endpoint == bulkInAddress && inHalted_) {
        inHalted_ = false;
        inSegments_.clear();
        idle();
    } else if (endpoint == bulkOutAddress && outHalted_) {
        outHalted_ = false;
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

void UsbMtpFunction::waitForCommand(uint16_t operationCode) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
        return unplugged_ ||
               std::find(commands_.begin(), commands_.end(), operationCode) != commands_.end();
    });
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

void UsbMtpFunction::haltOnCancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    haltOnCancel_ = true;
}

void UsbMtpFunction::busyOnOpenSession(int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    busyOpens_ = times;
}

void UsbMtpFunction::stallInOn(uint16_t operationCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallIn_.insert(operationCode);
}

void UsbMtpFunction::stallOutOn(uint16_t operationCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallOut_.insert(operationCode);
}

void UsbMtpFunction::silentOn(uint16_t operationCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_.insert(operationCode);
}

void UsbMtpFunction::omitZeroLengthPackets() {
    std::lock_guard<std::mutex> lock(mutex_);
    zeroLengthPackets_ = false;
}

void UsbMtpFunction::splitDataHeaders() {
    std::lock_guard<std::mutex> lock(mutex_);
    splitDataHeaders_ = true;
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
