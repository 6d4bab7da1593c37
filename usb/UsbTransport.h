#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvusb {

// How one USB transfer or request ended.
enum class TransferStatus {
    Ok,
    Timeout,
    // The endpoint is halted; it stays so until its halt is cleared.
    Stall,
    NoDevice,
    // Ended by `interrupt`, or refused because an interrupt is pending.
    Interrupted,
    // The phone sent more than the buffer holds.
    Overflow,
    Error
};

enum class Endpoint { BulkIn, BulkOut };

// The MTP interface of one phone: its two bulk endpoints and the class requests of the
// still-image class on the control endpoint. Bulk transfers run on one thread at a time;
// `interrupt` may be called from any thread.
class UsbTransport {
public:
    using Timeout = std::chrono::milliseconds;

    virtual ~UsbTransport() = default;

    // wMaxPacketSize of the bulk endpoints: a transfer ends with a shorter packet, or with a
    // zero-length one when its length is a multiple of this.
    virtual std::size_t packetSize() const = 0;

    // Sends `length` bytes as one transfer; 0 sends a zero-length packet.
    virtual TransferStatus bulkOut(const uint8_t* data, std::size_t length, Timeout timeout) = 0;
    // Receives one transfer of at most `capacity` bytes (a multiple of packetSize, so that no
    // packet overflows it): it ends when the buffer is full or a short packet arrives.
    virtual TransferStatus bulkIn(uint8_t* buffer, std::size_t capacity, std::size_t& received,
                                  Timeout timeout) = 0;
    virtual TransferStatus clearHalt(Endpoint endpoint) = 0;

    // Class request Cancel (0x64) for the transaction.
    virtual TransferStatus cancelRequest(uint32_t transactionId) = 0;
    // Class request Get Device Status (0x67): the status code and the addresses of the
    // endpoints the phone has halted.
    virtual TransferStatus deviceStatus(uint16_t& code, std::vector<uint8_t>& haltedEndpoints) = 0;
    // The address of a bulk endpoint, as Get Device Status names it.
    virtual uint8_t address(Endpoint endpoint) const = 0;

    // Ends the bulk transfer that runs now with Interrupted, and refuses the following ones
    // until `resetInterrupt`. Safe from any thread.
    virtual void interrupt() = 0;
    virtual void resetInterrupt() = 0;
};

}  // namespace kvusb
