#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "UsbTransport.h"

namespace kvtest {

// A UsbTransport that plays a phone from a script. The phone's side of bulk IN is a list of
// units, each a container as the phone sends it or a failure; the transport hands them out by
// USB's packet rules for the buffer the engine offers: a transfer ends when the buffer is full or
// a unit ends with a short packet, so one that ends with a whole packet runs on into the next;
// a buffer of part of a packet is refused as overflowing, as a real controller may overflow it.
// Everything the engine sends is recorded. A `block` unit waits for `interrupt`, for cancels
// from another thread.
class ScriptedTransport : public kvusb::UsbTransport {
public:
    using TransferStatus = kvusb::TransferStatus;
    using Endpoint = kvusb::Endpoint;

    explicit ScriptedTransport(std::size_t packetSize = 512) : packetSize_(packetSize) {}

    // One container (or any bytes) the phone sends, ending with a short packet or, when its
    // length is a multiple of the packet size, with nothing (see zeroLengthPacket): the next
    // unit then follows in the same transfer.
    ScriptedTransport& sends(std::vector<uint8_t> bytes);
    ScriptedTransport& zeroLengthPacket();
    // The next IN transfer ends with this status.
    ScriptedTransport& failsIn(TransferStatus status);
    // The next IN transfer waits until interrupted.
    ScriptedTransport& blocksIn();
    // The OUT transfer with this index (0: the command) ends with this status.
    ScriptedTransport& failsOut(std::size_t index, TransferStatus status);
    // The OUT transfer with this index waits until interrupted.
    ScriptedTransport& blocksOut(std::size_t index);
    // Get Device Status answers these codes in turn, then 0x2001; the first answer also lists
    // `halted` endpoints.
    ScriptedTransport& statusCodes(std::vector<uint16_t> codes, std::vector<uint8_t> halted = {});
    // Waits until a transfer blocks.
    void waitUntilBlocked();

    std::size_t packetSize() const override { return packetSize_; }
    TransferStatus bulkOut(const uint8_t* data, std::size_t length, Timeout timeout) override;
    TransferStatus bulkIn(uint8_t* buffer, std::size_t capacity, std::size_t& received,
                          Timeout timeout) override;
    TransferStatus clearHalt(Endpoint endpoint) override;
    TransferStatus cancelRequest(uint32_t transactionId) override;
    TransferStatus deviceStatus(uint16_t& code, std::vector<uint8_t>& haltedEndpoints) override;
    uint8_t address(Endpoint endpoint) const override {
        return endpoint == Endpoint::BulkIn ? 0x81 : 0x02;
    }
    void interrupt() override;
    void resetInterrupt() override;

    // What the engine sent, one entry per OUT transfer.
    std::vector<std::vector<uint8_t>> outTransfers() const;
    std::vector<uint32_t> cancelRequests() const;
    // The timeout of every IN transfer, in order.
    std::vector<Timeout> inTimeouts() const;
    std::vector<Endpoint> clearedHalts() const;
    int statusRequests() const;
    // Script units the engine did not read.
    std::size_t unitsLeft() const;

private:
    struct Unit {
        std::vector<uint8_t> bytes;
        TransferStatus status = TransferStatus::Ok;
        bool block = false;
    };

    TransferStatus waitForInterrupt(std::unique_lock<std::mutex>& lock);

    const std::size_t packetSize_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Unit> in_;
    std::vector<std::vector<uint8_t>> out_;
    std::vector<Timeout> inTimeouts_;
    std::vector<std::pair<std::size_t, Unit>> outFaults_;
    std::deque<uint16_t> statusCodes_;
    std::vector<uint8_t> halted_;
    std::vector<uint32_t> cancelRequests_;
    std::vector<Endpoint> clearedHalts_;
    int statusRequests_ = 0;
    bool interrupted_ = false;
    bool blocked_ = false;
};

}  // namespace kvtest
