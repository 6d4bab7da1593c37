#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "UsbTransport.h"

namespace kvusb {

// How the wait for a transfer takes the errors of libusb's event handling: a signal that
// interrupts the wait (EINTR, in a host that handles signals) is waited past; any other error,
// `limit` times in a row, gives the transfer up.
class EventWaitErrors {
public:
    static constexpr int limit = 10;

    // The result of one libusb_handle_events call; true once the transfer must be given up.
    bool giveUpAfter(int handled);

private:
    int inARow_ = 0;
};

// One libusb context, shared by the device list and the open phones; ended with the last user.
class UsbContext {
public:
    // Throws std::runtime_error when libusb cannot start.
    static std::shared_ptr<UsbContext> create();
    ~UsbContext();
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;

    libusb_context* get() const { return context_; }

private:
    explicit UsbContext(libusb_context* context) : context_(context) {}

    libusb_context* context_;
};

// Where a phone's MTP function lives.
struct MtpInterface {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t bulkIn = 0;
    uint8_t bulkOut = 0;
    uint16_t packetSize = 512;
};

// The MTP interface of an open phone on libusb. Bulk transfers are submitted asynchronously and
// their events handled on the calling thread, so that `interrupt` from another thread can cancel
// the one in flight. Owns the handle and the claim of the interface.
class LibusbTransport : public UsbTransport {
public:
    // `handle` has its interface claimed already.
    LibusbTransport(std::shared_ptr<UsbContext> context, libusb_device_handle* handle,
                    MtpInterface mtpInterface);
    ~LibusbTransport() override;
    LibusbTransport(const LibusbTransport&) = delete;
    LibusbTransport& operator=(const LibusbTransport&) = delete;

    std::size_t packetSize() const override { return interface_.packetSize; }
    TransferStatus bulkOut(const uint8_t* data, std::size_t length, Timeout timeout) override;
    TransferStatus bulkIn(uint8_t* buffer, std::size_t capacity, std::size_t& received,
                          Timeout timeout) override;
    TransferStatus clearHalt(Endpoint endpoint) override;
    TransferStatus cancelRequest(uint32_t transactionId) override;
    TransferStatus deviceStatus(uint16_t& code, std::vector<uint8_t>& haltedEndpoints) override;
    uint8_t address(Endpoint endpoint) const override;
    void interrupt() override;
    void resetInterrupt() override;

private:
    TransferStatus bulk(uint8_t endpoint, uint8_t* data, std::size_t length, std::size_t& actual,
                        Timeout timeout);

    const std::shared_ptr<UsbContext> context_;
    libusb_device_handle* const handle_;
    const MtpInterface interface_;
    std::mutex mutex_;
    bool interrupted_ = false;
    libusb_transfer* inFlight_ = nullptr;
};

// What a libusb error code means for a transfer.
TransferStatus transferStatusOf(int libusbError);

}  // namespace kvusb
