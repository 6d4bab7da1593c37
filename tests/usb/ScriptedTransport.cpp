#include "ScriptedTransport.h"

#include <algorithm>
#include <utility>

namespace kvtest {

ScriptedTransport& ScriptedTransport::sends(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.push_back({std::move(bytes), TransferStatus::Ok, false});
    return *this;
}

ScriptedTransport& ScriptedTransport::zeroLengthPacket() {
    return sends({});
}

ScriptedTransport& ScriptedTransport::failsIn(TransferStatus status) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.push_back({{}, status, false});
    return *this;
}

ScriptedTransport& ScriptedTransport::blocksIn() {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.push_back({{}, TransferStatus::Ok, true});
    return *this;
}

ScriptedTransport& ScriptedTransport::failsOut(std::size_t index, TransferStatus status) {
    std::lock_guard<std::mutex> lock(mutex_);
    outFaults_.push_back({index, {{}, status, false}});
    return *this;
}

ScriptedTransport& ScriptedTransport::blocksOut(std::size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    outFaults_.push_back({index, {{}, TransferStatus::Ok, true}});
    return *this;
}

ScriptedTransport& ScriptedTransport::statusCodes(std::vector<uint16_t> codes,
                                                  std::vector<uint8_t> halted) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusCodes_.assign(codes.begin(), codes.end());
    halted_ = std::move(halted);
    return *this;
}

void ScriptedTransport::waitUntilBlocked() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return blocked_; });
}

ScriptedTransport::TransferStatus ScriptedTransport::waitForInterrupt(
    std::unique_lock<std::mutex>& lock) {
    blocked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return interrupted_; });
    blocked_ = false;
    return TransferStatus::Interrupted;
}

ScriptedTransport::TransferStatus ScriptedTransport::bulkOut(const uint8_t* data,
                                                             std::size_t length, Timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (interrupted_) {
        return TransferStatus::Interrupted;
    }
    const std::size_t index = out_.size();
    out_.emplace_back(data, data + length);
    for (const auto& [at, fault] : outFaults_) {
        if (at == index) {
            return fault.block ? waitForInterrupt(lock) : fault.status;
        }
    }
    return TransferStatus::Ok;
}

ScriptedTransport::TransferStatus ScriptedTransport::bulkIn(uint8_t* buffer, std::size_t capacity,
                                                            std::size_t& received,
                                                            Timeout timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    inTimeouts_.push_back(timeout);
    received = 0;
    if (interrupted_) {
        return TransferStatus::Interrupted;
    }
    // A controller overflows a buffer that ends within a packet the phone sends whole, so the
    // engine must ask for whole packets, whatever it expects.
    if (capacity % packetSize_ != 0) {
        return TransferStatus::Overflow;
    }
    if (in_.empty()) {
        return TransferStatus::Timeout;  // the phone has nothing more to say
    }
    // Units whose bytes end with a whole packet run on into the next one, a failure included.
    bool ended = false;
    while (!ended && received < capacity && !in_.empty()) {
        Unit& next = in_.front();
        if (next.block) {
            in_.pop_front();
            return waitForInterrupt(lock);
        }
        if (next.status != TransferStatus::Ok) {
            const TransferStatus status = next.status;
            in_.pop_front();
            return status;
        }
        std::size_t length = next.bytes.size();
        if (length > capacity - received) {
            // Whole packets fill the buffer; a packet that does not fit overflows it.
            if ((capacity - received) % packetSize_ != 0) {
                return TransferStatus::Overflow;
            }
            length = capacity - received;
        }
        std::copy_n(next.bytes.begin(), length, buffer + received);
        next.bytes.erase(next.bytes.begin(),
                         next.bytes.begin() + static_cast<std::ptrdiff_t>(length));
        received += length;
        if (next.bytes.empty()) {
            in_.pop_front();
            ended = length % packetSize_ != 0 || length == 0;
        }
    }
    return TransferStatus::Ok;
}

ScriptedTransport::TransferStatus ScriptedTransport::clearHalt(Endpoint endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearedHalts_.push_back(endpoint);
    return TransferStatus::Ok;
}

ScriptedTransport::TransferStatus ScriptedTransport::cancelRequest(uint32_t transactionId) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelRequests_.push_back(transactionId);
    return TransferStatus::Ok;
}

ScriptedTransport::TransferStatus ScriptedTransport::deviceStatus(
    uint16_t& code, std::vector<uint8_t>& haltedEndpoints) {
    std::lock_guard<std::mutex> lock(mutex_);
    haltedEndpoints = statusRequests_++ == 0 ? halted_ : std::vector<uint8_t>();
    code = 0x2001;
    if (!statusCodes_.empty()) {
        code = statusCodes_.front();
        statusCodes_.pop_front();
    }
    return TransferStatus::Ok;
}

void ScriptedTransport::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
}

void ScriptedTransport::resetInterrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = false;
}

std::vector<std::vector<uint8_t>> ScriptedTransport::outTransfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::vector<ScriptedTransport::Timeout> ScriptedTransport::inTimeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inTimeouts_;
}

std::vector<uint32_t> ScriptedTransport::cancelRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelRequests_;
}

std::vector<ScriptedTransport::Endpoint> ScriptedTransport::clearedHalts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clearedHalts_;
}

int ScriptedTransport::statusRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusRequests_;
}

std::size_t ScriptedTransport::unitsLeft() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_.size();
}

}  // namespace kvtest
