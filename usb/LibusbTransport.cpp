#include "LibusbTransport.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "MtpContainer.h"

namespace kvusb {

namespace {

constexpr uint8_t requestCancel = 0x64;
constexpr uint8_t requestGetDeviceStatus = 0x67;
constexpr uint16_t cancellationCode = 0x4001;
constexpr unsigned controlTimeoutMs = 5000;
// Get Device Status: 16-bit length and code, then one 32-bit parameter per halted endpoint.
constexpr std::size_t statusCapacity = 4 + 4 * 8;

TransferStatus statusOfTransfer(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return TransferStatus::Ok;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return TransferStatus::Timeout;
        case LIBUSB_TRANSFER_STALL:
            return TransferStatus::Stall;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return TransferStatus::NoDevice;
        case LIBUSB_TRANSFER_CANCELLED:
            return TransferStatus::Interrupted;
        case LIBUSB_TRANSFER_OVERFLOW:
            return TransferStatus::Overflow;
        case LIBUSB_TRANSFER_ERROR:
            break;
    }
    return TransferStatus::Error;
}

void LIBUSB_CALL markCompleted(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

}  // namespace

TransferStatus transferStatusOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return TransferStatus::Ok;
        case LIBUSB_ERROR_TIMEOUT:
            return TransferStatus::Timeout;
        case LIBUSB_ERROR_PIPE:
            return TransferStatus::Stall;
        case LIBUSB_ERROR_NO_DEVICE:
            return TransferStatus::NoDevice;
        case LIBUSB_ERROR_OVERFLOW:
            return TransferStatus::Overflow;
        case LIBUSB_ERROR_INTERRUPTED:
            return TransferStatus::Interrupted;
        default:
            return TransferStatus::Error;
    }
}

bool EventWaitErrors::giveUpAfter(int handled) {
    if (handled == LIBUSB_SUCCESS) {
        inARow_ = 0;
        return false;
    }
    if (handled == LIBUSB_ERROR_INTERRUPTED) {
        return false;
    }
    return ++inARow_ >= limit;
}

std::shared_ptr<UsbContext> UsbContext::create() {
    libusb_context* context = nullptr;
    const int result = libusb_init(&context);
    if (result != LIBUSB_SUCCESS) {
        throw std::runtime_error(std::string("libusb could not start: ") +
                                 libusb_strerror(static_cast<libusb_error>(result)));
    }
    return std::shared_ptr<UsbContext>(new UsbContext(context));
}

UsbContext::~UsbContext() {
    libusb_exit(context_);
}

LibusbTransport::LibusbTransport(std::shared_ptr<UsbContext> context, libusb_device_handle* handle,
                                 MtpInterface mtpInterface)
    : context_(std::move(context)), handle_(handle), interface_(mtpInterface) {}

LibusbTransport::~LibusbTransport() {
    libusb_release_interface(handle_, interface_.number);
    libusb_close(handle_);
}

TransferStatus LibusbTransport::bulk(uint8_t endpoint, uint8_t* data, std::size_t length,
                                     std::size_t& actual, Timeout timeout) {
    actual = 0;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer) {
        return TransferStatus::Error;
    }
    int completed = 0;
    libusb_fill_bulk_transfer(transfer, handle_, endpoint, data, static_cast<int>(length),
                              markCompleted, &completed, static_cast<unsigned>(timeout.count()));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int submitted =
            interrupted_ ? LIBUSB_ERROR_INTERRUPTED : libusb_submit_transfer(transfer);
        if (submitted != LIBUSB_SUCCESS) {
            libusb_free_transfer(transfer);
            return transferStatusOf(submitted);
        }
        inFlight_ = transfer;
    }
    EventWaitErrors errors;
    bool givenUp = false;
    while (!completed) {
        timeval wait{1, 0};
        const int handled =
            libusb_handle_events_timeout_completed(context_->get(), &wait, &completed);
        if (!givenUp && errors.giveUpAfter(handled)) {
            // Cancelled, and waited for: libusb hands the transfer back through its events.
            givenUp = true;
            libusb_cancel_transfer(transfer);
        }
    }
    bool interrupted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inFlight_ = nullptr;
        interrupted = interrupted_;
    }
    actual = static_cast<std::size_t>(transfer->actual_length);
    TransferStatus status = statusOfTransfer(transfer->status);
    libusb_free_transfer(transfer);
    // A transfer given up is a failure, not a cancel that nobody asked for.
    if (status == TransferStatus::Interrupted && givenUp && !interrupted) {
        status = TransferStatus::Error;
    }
    return status;
}

TransferStatus LibusbTransport::bulkOut(const uint8_t* data, std::size_t length, Timeout timeout) {
    std::size_t sent = 0;
    // libusb's buffer is not const, but it only reads an OUT transfer's.
    const TransferStatus status =
        bulk(interface_.bulkOut, const_cast<uint8_t*>(data), length, sent, timeout);
    return status == TransferStatus::Ok && sent != length ? TransferStatus::Error : status;
}

TransferStatus LibusbTransport::bulkIn(uint8_t* buffer, std::size_t capacity, std::size_t& received,
                                       Timeout timeout) {
    return bulk(interface_.bulkIn, buffer, capacity, received, timeout);
}

TransferStatus LibusbTransport::clearHalt(Endpoint endpoint) {
    return transferStatusOf(libusb_clear_halt(handle_, address(endpoint)));
}

TransferStatus LibusbTransport::cancelRequest(uint32_t transactionId) {
    uint8_t data[6];
    putUint16(data, cancellationCode);
    putUint32(data + 2, transactionId);
    const int result = libusb_control_transfer(
        handle_, LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE,
        requestCancel, 0, interface_.number, data, sizeof data, controlTimeoutMs);
    return result < 0 ? transferStatusOf(result) : TransferStatus::Ok;
}

TransferStatus LibusbTransport::deviceStatus(uint16_t& code,
                                             std::vector<uint8_t>& haltedEndpoints) {
    uint8_t data[statusCapacity] = {};
    const int result = libusb_control_transfer(
        handle_, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE,
        requestGetDeviceStatus, 0, interface_.number, data, sizeof data, controlTimeoutMs);
    if (result < 0) {
        return transferStatusOf(result);
    }
    if (result < 4) {
        return TransferStatus::Error;
    }
    const std::size_t length =
        std::min<std::size_t>(getUint16(data), static_cast<std::size_t>(result));
    code = getUint16(data + 2);
    haltedEndpoints.clear();
    for (std::size_t at = 4; at + 4 <= length; at += 4) {
        haltedEndpoints.push_back(static_cast<uint8_t>(getUint32(data + at)));
    }
    return TransferStatus::Ok;
}

uint8_t LibusbTransport::address(Endpoint endpoint) const {
    return endpoint == Endpoint::BulkIn ? interface_.bulkIn : interface_.bulkOut;
}

void LibusbTransport::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    if (inFlight_) {
        libusb_cancel_transfer(inFlight_);
    }
}

void LibusbTransport::resetInterrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = false;
}

}  // namespace kvusb
