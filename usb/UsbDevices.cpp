#include "UsbDevices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <utility>

namespace kvusb {

namespace {

using MtpResult = kv::MtpProvider::MtpResult;

constexpr char idPrefix[] = "usb:";

// An interface that may carry MTP: still-image class, or vendor-specific with a name.
struct Candidate {
    MtpInterface mtpInterface;
    bool stillImage = false;
    uint8_t nameIndex = 0;
    // Vendor-specific with subclass 0xFF, protocol 0 and an interrupt endpoint, the form of
    // Android's MTP function, for when its name cannot be read.
    bool mtpShape = false;
};

std::optional<Candidate> candidateOf(const libusb_interface_descriptor& setting) {
    const bool stillImage = setting.bInterfaceClass == LIBUSB_CLASS_IMAGE &&
                            setting.bInterfaceSubClass == 1 && setting.bInterfaceProtocol == 1;
    const bool vendor =
        setting.bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC && setting.iInterface != 0;
    if (!stillImage && !vendor) {
        return std::nullopt;
    }
    Candidate candidate;
    candidate.stillImage = stillImage;
    candidate.nameIndex = setting.iInterface;
    candidate.mtpInterface.number = setting.bInterfaceNumber;
    candidate.mtpInterface.alternateSetting = setting.bAlternateSetting;
    bool interruptIn = false;
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        const int type = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
        const bool in =
            (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
        if (type == LIBUSB_TRANSFER_TYPE_BULK) {
            (in ? candidate.mtpInterface.bulkIn : candidate.mtpInterface.bulkOut) =
                endpoint.bEndpointAddress;
            candidate.mtpInterface.packetSize = endpoint.wMaxPacketSize & 0x7FF;
        } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in) {
            interruptIn = true;
        }
    }
    if (candidate.mtpInterface.bulkIn == 0 || candidate.mtpInterface.bulkOut == 0 ||
        candidate.mtpInterface.packetSize == 0) {
        return std::nullopt;
    }
    candidate.mtpShape = vendor && setting.bInterfaceSubClass == 0xFF &&
                         setting.bInterfaceProtocol == 0 && interruptIn;
    return candidate;
}

std::vector<Candidate> candidatesOf(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
        return {};
    }
    std::vector<Candidate> candidates;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            if (auto candidate = candidateOf(interface.altsetting[a])) {
                candidates.push_back(*candidate);
            }
        }
    }
    libusb_free_config_descriptor(config);
    // Still-image interfaces first: they need no name to be recognised.
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const Candidate& candidate) { return candidate.stillImage; });
    return candidates;
}

std::string text(libusb_device_handle* handle, uint8_t index) {
    if (index == 0) {
        return {};
    }
    unsigned char buffer[256];
    const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, sizeof buffer);
    return length > 0
               ? std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length))
               : std::string();
}

std::string locationOf(uint8_t bus, uint8_t address) {
    char location[16];
    std::snprintf(location, sizeof location, "usb:%03u:%03u", bus, address);
    return location;
}

// The MTP interface among the candidates, naming them with the open handle.
std::optional<MtpInterface> mtpInterfaceOf(const std::vector<Candidate>& candidates,
                                           libusb_device_handle* handle) {
    for (const Candidate& candidate : candidates) {
        if (candidate.stillImage || text(handle, candidate.nameIndex) == "MTP") {
            return candidate.mtpInterface;
        }
    }
    return std::nullopt;
}

// The bus and address of a "usb:BUS:ADDRESS" id.
std::optional<std::pair<int, int>> locationIn(const std::string& rest) {
    const auto colon = rest.find(':');
    auto number = [](const std::string& digits) -> int {
        if (digits.empty() || digits.size() > 3 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
            return -1;
        }
        const int value = std::stoi(digits);
        return value <= 255 ? value : -1;
    };
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const int bus = number(rest.substr(0, colon));
    const int address = number(rest.substr(colon + 1));
    if (bus < 0 || address < 0) {
        return std::nullopt;
    }
    return std::make_pair(bus, address);
}

// Every device of the context, released with the list.
class DeviceList {
public:
    explicit DeviceList(libusb_context* context) {
        const ssize_t count = libusb_get_device_list(context, &devices_);
        count_ = count < 0 ? 0 : static_cast<std::size_t>(count);
    }
    ~DeviceList() {
        if (devices_) {
            libusb_free_device_list(devices_, 1);
        }
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    libusb_device* const* begin() const { return devices_; }
    libusb_device* const* end() const { return devices_ + count_; }

private:
    libusb_device** devices_ = nullptr;
    std::size_t count_ = 0;
};

std::string openProblem(int error, const std::string& location) {
    if (error == LIBUSB_ERROR_ACCESS) {
        return "access to the phone at " + location +
               " is denied: install kavrin's udev rule (71-kavrin-phones.rules, see the README), "
               "then unplug and replug the phone";
    }
    return "cannot open the phone at " + location + ": " +
           libusb_strerror(static_cast<libusb_error>(error));
}

OpenedPhone failed(OpenFailure failure, std::string problem) {
    return {nullptr, failure, std::move(problem)};
}

}  // namespace

UsbDevices::UsbDevices(std::shared_ptr<UsbContext> context) : context_(std::move(context)) {}

bool UsbDevices::validId(const std::string& deviceId) {
    return deviceId.rfind(idPrefix, 0) == 0 && deviceId.size() > sizeof idPrefix - 1;
}

MtpResult UsbDevices::resultOf(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::None:
            return MtpResult::Success;
        case OpenFailure::NotFound:
            return MtpResult::DeviceDisconnected;
        case OpenFailure::AccessDenied:
            return MtpResult::UsbAccessError;
        case OpenFailure::Busy:
        case OpenFailure::KernelDriver:
        case OpenFailure::NotMtp:
        case OpenFailure::Other:
            break;
    }
    return MtpResult::UsbSetupError;
}

std::vector<AttachedPhone> UsbDevices::list() const {
    std::vector<AttachedPhone> phones;
    for (libusb_device* device : DeviceList(context_->get())) {
        const std::vector<Candidate> candidates = candidatesOf(device);
        libusb_device_descriptor descriptor{};
        if (candidates.empty() || libusb_get_device_descriptor(device, &descriptor) != 0) {
            continue;
        }
        AttachedPhone phone;
        phone.bus = libusb_get_bus_number(device);
        phone.address = libusb_get_device_address(device);
        phone.location = locationOf(phone.bus, phone.address);
        phone.vendorId = descriptor.idVendor;
        phone.productId = descriptor.idProduct;
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(device, &handle);
        if (opened == LIBUSB_SUCCESS) {
            const bool mtp = mtpInterfaceOf(candidates, handle).has_value();
            phone.manufacturer = text(handle, descriptor.iManufacturer);
            phone.model = text(handle, descriptor.iProduct);
            phone.serial = text(handle, descriptor.iSerialNumber);
            libusb_close(handle);
            if (!mtp) {
                continue;
            }
        } else if (std::any_of(candidates.begin(), candidates.end(),
                               [](const Candidate& c) { return c.stillImage || c.mtpShape; })) {
            phone.problem = openProblem(opened, phone.location);
        } else {
            continue;
        }
        phone.id = phone.serial.empty() ? phone.location : idPrefix + phone.serial;
        phones.push_back(std::move(phone));
    }
    // In bus order, whatever order the system enumerates them in.
    std::sort(phones.begin(), phones.end(), [](const AttachedPhone& a, const AttachedPhone& b) {
        return a.location < b.location;
    });
    return phones;
}

OpenedPhone UsbDevices::open(const std::string& deviceId, bool detachKernelDriver) const {
    if (!validId(deviceId)) {
        return failed(OpenFailure::NotFound, "'" + deviceId + "' names no USB phone");
    }
    const std::string rest = deviceId.substr(sizeof idPrefix - 1);
    const auto location = locationIn(rest);
    OpenedPhone unopened =
        failed(OpenFailure::NotFound, "no MTP phone " + deviceId + " is attached");
    for (libusb_device* device : DeviceList(context_->get())) {
        const bool here = location && libusb_get_bus_number(device) == location->first &&
                          libusb_get_device_address(device) == location->second;
        const std::vector<Candidate> candidates = candidatesOf(device);
        if ((location && !here) || candidates.empty()) {
            continue;
        }
        const std::string where =
            locationOf(libusb_get_bus_number(device), libusb_get_device_address(device));
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(device, &handle);
        if (opened != LIBUSB_SUCCESS) {
            // A serial number cannot be read without access: say so if no other phone has it.
            unopened = failed(
                opened == LIBUSB_ERROR_ACCESS ? OpenFailure::AccessDenied : OpenFailure::Other,
                openProblem(opened, where));
            if (here) {
                return unopened;
            }
            continue;
        }
        libusb_device_descriptor descriptor{};
        if (!location && (libusb_get_device_descriptor(device, &descriptor) != 0 ||
                          text(handle, descriptor.iSerialNumber) != rest)) {
            libusb_close(handle);
            continue;
        }
        const auto mtpInterface = mtpInterfaceOf(candidates, handle);
        if (!mtpInterface) {
            libusb_close(handle);
            return failed(OpenFailure::NotMtp, "the device at " + where + " has no MTP interface");
        }
        if (detachKernelDriver) {
            libusb_set_auto_detach_kernel_driver(handle, 1);
        }
        int claimed = libusb_claim_interface(handle, mtpInterface->number);
        if (claimed == LIBUSB_SUCCESS && mtpInterface->alternateSetting != 0) {
            claimed = libusb_set_interface_alt_setting(handle, mtpInterface->number,
                                                       mtpInterface->alternateSetting);
            if (claimed != LIBUSB_SUCCESS) {
                libusb_release_interface(handle, mtpInterface->number);
            }
        }
        if (claimed == LIBUSB_ERROR_BUSY) {
            const bool driver = libusb_kernel_driver_active(handle, mtpInterface->number) == 1;
            libusb_close(handle);
            return driver ? failed(OpenFailure::KernelDriver,
                                   "a kernel driver holds the MTP interface of the phone at " +
                                       where + ": have it detached (kavrin --detach-kernel-driver)")
                          : failed(OpenFailure::Busy,
                                   "the phone at " + where +
                                       " is busy: another program holds it (the desktop's file "
                                       "manager or photo import, for instance): close it or "
                                       "unmount the phone, then try again");
        }
        if (claimed != LIBUSB_SUCCESS) {
            libusb_close(handle);
            return failed(OpenFailure::Other, openProblem(claimed, where));
        }
        return {std::make_unique<LibusbTransport>(context_, handle, *mtpInterface),
                OpenFailure::None,
                {}};
    }
    return unopened;
}

}  // namespace kvusb
