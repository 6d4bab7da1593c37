#include "LoopbackTransport.h"

#include <algorithm>

#include "MtpDatasetReader.h"
#include "MtpDatasetWriter.h"

namespace kvtest {

LoopbackTransport::TransferStatus LoopbackTransport::statusOf(UsbMtpFunction::Status status) {
    switch (status) {
        case UsbMtpFunction::Status::Ok:
            return TransferStatus::Ok;
        case UsbMtpFunction::Status::Pending:
            return TransferStatus::Timeout;
        case UsbMtpFunction::Status::Stall:
            return TransferStatus::Stall;
        case UsbMtpFunction::Status::NoDevice:
            return TransferStatus::NoDevice;
        case UsbMtpFunction::Status::Overflow:
            return TransferStatus::Overflow;
    }
    return TransferStatus::Error;
}

void LoopbackTransport::retry() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++retries_;
    changed_.notify_all();
}

LoopbackTransport::TransferStatus LoopbackTransport::bulkOut(const uint8_t* data,
                                                             std::size_t length, Timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (interrupted_) {
            return TransferStatus::Interrupted;
        }
        const auto status = function_.bulkOut(data, length);
        if (status != UsbMtpFunction::Status::Pending) {
            return statusOf(status);
        }
        const int retries = retries_;
        changed_.wait(lock, [&] { return interrupted_ || retries_ != retries; });
    }
}

LoopbackTransport::TransferStatus LoopbackTransport::bulkIn(uint8_t* buffer, std::size_t capacity,
                                                            std::size_t& received, Timeout) {
    received = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (interrupted_) {
            return TransferStatus::Interrupted;
        }
    }
    std::vector<uint8_t> transfer;
    const auto status = function_.bulkIn(capacity, transfer);
    std::copy(transfer.begin(), transfer.end(), buffer);
    received = transfer.size();
    return statusOf(status);
}

LoopbackTransport::TransferStatus LoopbackTransport::clearHalt(Endpoint endpoint) {
    return statusOf(function_.clearHalt(address(endpoint)));
}

LoopbackTransport::TransferStatus LoopbackTransport::cancelRequest(uint32_t transactionId) {
    std::vector<uint8_t> unused;
    const auto data = MtpDatasetWriter().uint16(0x4001).uint32(transactionId).bytes();
    return statusOf(function_.control({0x21, 0x64, 0, 0, 6}, data, unused));
}

LoopbackTransport::TransferStatus LoopbackTransport::deviceStatus(
    uint16_t& code, std::vector<uint8_t>& haltedEndpoints) {
    std::vector<uint8_t> answer;
    const auto status = function_.control({0xA1, 0x67, 0, 0, 40}, {}, answer);
    if (status != UsbMtpFunction::Status::Ok) {
        return statusOf(status);
    }
    MtpDatasetReader reader(answer);
    const uint16_t length = reader.uint16();
    code = reader.uint16();
    haltedEndpoints.clear();
    for (uint16_t at = 4; at + 4 <= length; at += 4) {
        haltedEndpoints.push_back(static_cast<uint8_t>(reader.uint32()));
    }
    return TransferStatus::Ok;
}

void LoopbackTransport::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
}

void LoopbackTransport::resetInterrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = false;
}

}  // namespace kvtest
