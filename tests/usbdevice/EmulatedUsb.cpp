#include "EmulatedUsb.h"

// <sys/ioctl.h> first: the USBDEVFS_* requests are built with its macros.
#include <sys/ioctl.h>

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kvtest {

namespace {

// As a host controller that gathers buffers (xHCI) reports them: libusb then submits each bulk
// transfer as one URB, so that a zero-length packet ends the transfer in flight.
constexpr uint32_t capabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_BULK_SCATTER_GATHER;
constexpr std::size_t setupSize = 8;

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (const uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

std::string number(unsigned value, const char* format) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Resolves `length` bytes that the pointer at `offset` of `data` points to in the client.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        std::fprintf(stderr, "emulated USB: cannot resolve ioctl data: %s\n", error->message);
        g_error_free(error);
    }
    return resolved;
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer phone) {
    return static_cast<EmulatedUsbPhone*>(phone)->handle(client) ? TRUE : FALSE;
}

// Answers an empty reap a millisecond later, from umockdev's own main context.
void answerAgainLater(UMockdevIoctlClient* client) {
    GSource* source = g_timeout_source_new(1);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient*>(data), -1, EAGAIN);
            return G_SOURCE_REMOVE;
        },
        g_object_ref(client), g_object_unref);
    g_source_attach(source, g_main_context_get_thread_default());
    g_source_unref(source);
}

}  // namespace

EmulatedUsb::EmulatedUsb() : testbed_(umockdev_testbed_new()) {}

EmulatedUsb::~EmulatedUsb() {
    phones_.clear();
    g_object_unref(testbed_);
}

bool EmulatedUsb::available() {
    return umockdev_in_mock_environment();
}

EmulatedUsbPhone& EmulatedUsb::addPhone(std::shared_ptr<SimulatedPhone> phone, uint8_t address,
                                        UsbMtpFunction::Identity identity) {
    phones_.push_back(std::make_unique<EmulatedUsbPhone>(testbed_, std::move(phone), address,
                                                         std::move(identity)));
    return *phones_.back();
}

EmulatedUsbPhone::EmulatedUsbPhone(UMockdevTestbed* testbed, std::shared_ptr<SimulatedPhone> phone,
                                   uint8_t address, UsbMtpFunction::Identity identity)
    : phone_(std::move(phone)),
      function_(phone_, std::move(identity)),
      address_(address),
      devicePath_("/dev/bus/usb/001/" + number(address, "%03u")),
      testbed_(testbed),
      handler_(umockdev_ioctl_base_new()) {
    const auto& id = function_.identity();
    const std::string descriptors = hex(function_.descriptors());
    const std::string description =
        "P: /devices/pci0000:00/0000:00:14.0/usb1/1-" + number(address, "%u") + "\n" +
        "N: bus/usb/001/" + number(address, "%03u") + "=" + descriptors + "\n" +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n" +
        "E: DEVNUM=" + number(address, "%03u") + "\n" + "E: PRODUCT=" + number(id.vendorId, "%x") +
        "/" + number(id.productId, "%x") + "/100\n" + "E: DEVNAME=" + devicePath_ + "\n" +
        "A: busnum=1\nA: devnum=" + number(address, "%u") + "\n" +
        "A: idVendor=" + number(id.vendorId, "%04x") +
        "\nA: idProduct=" + number(id.productId, "%04x") + "\n" +
        "A: speed=480\nA: bConfigurationValue=1\nA: dev=189:" + number(address, "%u") + "\n" +
        "H: descriptors=" + descriptors + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev refused the emulated phone: " + message);
    }
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(handleIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, devicePath_.c_str(), handler_, &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot attach the phone's handler: " + message);
    }
}

EmulatedUsbPhone::~EmulatedUsbPhone() {
    umockdev_testbed_detach_ioctl(testbed_, devicePath_.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
}

std::string EmulatedUsbPhone::location() const {
    return "usb:001:" + number(address_, "%03u");
}

std::string EmulatedUsbPhone::nodePath() const {
    // The testbed hands out a copy of its folder's name that the caller frees.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string path = root + devicePath_;
    g_free(root);
    return path;
}

std::size_t EmulatedUsbPhone::unreapedUrbs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size() + reapable_.size();
}

int EmulatedUsbPhone::errorOf(UsbMtpFunction::Status status) {
    switch (status) {
        case UsbMtpFunction::Status::Ok:
        case UsbMtpFunction::Status::Pending:
            return 0;
        case UsbMtpFunction::Status::Stall:
            return -EPIPE;
        case UsbMtpFunction::Status::NoDevice:
            return -ESHUTDOWN;
        case UsbMtpFunction::Status::Overflow:
            return -EOVERFLOW;
    }
    return -EIO;
}

bool EmulatedUsbPhone::complete(Urb& urb) {
    UsbMtpFunction::Status status = UsbMtpFunction::Status::Ok;
    const bool in = (urb.endpoint & 0x80) != 0;
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        UsbMtpFunction::Setup setup;
        if (urb.out.size() >= setupSize) {
            setup = {urb.out[0], urb.out[1], static_cast<uint16_t>(urb.out[2] | (urb.out[3] << 8)),
                     static_cast<uint16_t>(urb.out[4] | (urb.out[5] << 8)),
                     static_cast<uint16_t>(urb.out[6] | (urb.out[7] << 8))};
        }
        const std::vector<uint8_t> data(urb.out.begin() + std::min(urb.out.size(), setupSize),
                                        urb.out.end());
        status = function_.control(setup, data, urb.in);
        urb.actualLength =
            static_cast<int>((setup.requestType & 0x80) ? urb.in.size() : data.size());
    } else if (urb.type != USBDEVFS_URB_TYPE_BULK) {
        return false;  // the interrupt endpoint carries no events here
    } else if (in) {
        status = function_.bulkIn(static_cast<std::size_t>(urb.bufferLength), urb.in);
        urb.actualLength = static_cast<int>(urb.in.size());
    } else {
        status = function_.bulkOut(urb.out.data(), urb.out.size());
        urb.actualLength = shortOut_ ? urb.bufferLength / 2 : urb.bufferLength;
        shortOut_ = shortOut_ && status == UsbMtpFunction::Status::Pending;
    }
    if (status == UsbMtpFunction::Status::Pending) {
        return false;
    }
    urb.status = errorOf(status);
    if (urb.status != 0) {
        urb.actualLength = 0;
        urb.in.clear();
    }
    return true;
}

void EmulatedUsbPhone::advance() {
    for (auto urb = pending_.begin(); urb != pending_.end();) {
        if (complete(*urb)) {
            reapable_.push_back(std::move(*urb));
            urb = pending_.erase(urb);
        } else {
            ++urb;
        }
    }
}

void EmulatedUsbPhone::submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    g_autoptr(UMockdevIoctlData) data = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const auto* submitted = reinterpret_cast<const usbdevfs_urb*>(data->data);
    Urb urb;
    urb.address = data->client_addr;
    urb.type = submitted->type;
    urb.endpoint = submitted->endpoint;
    urb.bufferLength = submitted->buffer_length;
    const bool carriesOut = urb.type == USBDEVFS_URB_TYPE_CONTROL || (urb.endpoint & 0x80) == 0;
    if (carriesOut && urb.bufferLength > 0) {
        g_autoptr(UMockdevIoctlData) buffer = resolve(data, offsetof(usbdevfs_urb, buffer),
                                                      static_cast<std::size_t>(urb.bufferLength));
        if (!buffer) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        urb.out.assign(buffer->data, buffer->data + buffer->data_len);
    }
    pending_.push_back(std::move(urb));
    umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedUsbPhone::reap(UMockdevIoctlClient* client) {
    advance();
    if (reapable_.empty()) {
        // libusb reaps until nothing is left: the reap that ends a run is answered at once,
        // the ones after it (libusb waiting) a millisecond later.
        if (reapedLast_) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
        } else {
            answerAgainLater(client);
        }
        reapedLast_ = false;
        return;
    }
    reapedLast_ = true;
    Urb urb = std::move(reapable_.front());
    reapable_.pop_front();
    // The client's pointer slot receives the URB's address; the URB itself its outcome.
    g_autoptr(UMockdevIoctlData) slot =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    if (!slot) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    std::memcpy(slot->data, &urb.address, sizeof(void*));
    g_autoptr(UMockdevIoctlData) data = resolve(slot, 0, sizeof(usbdevfs_urb));
    auto* reaped = reinterpret_cast<usbdevfs_urb*>(data->data);
    reaped->status = urb.status;
    reaped->actual_length = urb.actualLength;
    if (!urb.in.empty()) {
        g_autoptr(UMockdevIoctlData) buffer = resolve(data, offsetof(usbdevfs_urb, buffer),
                                                      static_cast<std::size_t>(urb.bufferLength));
        const std::size_t at = urb.type == USBDEVFS_URB_TYPE_CONTROL ? setupSize : 0;
        std::memcpy(buffer->data + at, urb.in.data(),
                    std::min(urb.in.size(), static_cast<std::size_t>(buffer->data_len) - at));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedUsbPhone::discard(UMockdevIoctlClient* client) {
    unsigned long address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(client)->data, sizeof address);
    for (auto urb = pending_.begin(); urb != pending_.end(); ++urb) {
        if (urb->address == address) {
            urb->status = -ENOENT;
            urb->actualLength = 0;
            reapable_.push_back(std::move(*urb));
            pending_.erase(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void EmulatedUsbPhone::holdInterface(Holder holder) {
    std::lock_guard<std::mutex> lock(mutex_);
    holder_ = holder;
}

void EmulatedUsbPhone::reportNextOutShort() {
    std::lock_guard<std::mutex> lock(mutex_);
    shortOut_ = true;
}

bool EmulatedUsbPhone::driverDetached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return driverDetached_;
}

void EmulatedUsbPhone::claim(UMockdevIoctlClient* client, bool detachingDriver) {
    if (detachingDriver && holder_ == Holder::KernelDriver) {
        holder_ = Holder::Nobody;
        driverDetached_ = true;
    }
    const bool free = holder_ == Holder::Nobody;
    umockdev_ioctl_client_complete(client, free ? 0 : -1, free ? 0 : EBUSY);
}

void EmulatedUsbPhone::answerDriver(UMockdevIoctlClient* client) {
    if (holder_ != Holder::KernelDriver) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    }
    g_autoptr(UMockdevIoctlData) data =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_getdriver));
    auto* driver = reinterpret_cast<usbdevfs_getdriver*>(data->data);
    std::snprintf(driver->driver, sizeof driver->driver, "%s", "kavrin_test");
    umockdev_ioctl_client_complete(client, 0, 0);
}

bool EmulatedUsbPhone::handle(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mutex_);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        reap(client);
    } else if (request == USBDEVFS_DISCARDURB) {
        discard(client);
    } else if (function_.unplugged()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    } else if (request == USBDEVFS_SUBMITURB) {
        submit(client);
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
        g_autoptr(UMockdevIoctlData) data =
            resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof capabilities);
        std::memcpy(data->data, &capabilities, sizeof capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_CLEAR_HALT) {
        g_autoptr(UMockdevIoctlData) data =
            resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned int));
        unsigned int endpoint = 0;
        std::memcpy(&endpoint, data->data, sizeof endpoint);
        function_.clearHalt(static_cast<uint8_t>(endpoint));
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_DISCONNECT_CLAIM) {
        claim(client, request == USBDEVFS_DISCONNECT_CLAIM);
    } else if (request == USBDEVFS_RELEASEINTERFACE || request == USBDEVFS_SETINTERFACE ||
               request == USBDEVFS_RESET) {
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_GETDRIVER) {
        answerDriver(client);
    } else if (request == USBDEVFS_IOCTL) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);  // reattaching: nothing to bind
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
    return true;
}

}  // namespace kvtest
