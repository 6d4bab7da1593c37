#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AttachedPhone.h"
#include "LibusbTransport.h"
#include "kavrin/MtpProvider.h"

namespace kvusb {

// Why a phone could not be opened.
enum class OpenFailure { None, NotFound, AccessDenied, Busy, KernelDriver, NotMtp, Other };

struct OpenedPhone {
    std::unique_ptr<LibusbTransport> transport;
    OpenFailure failure = OpenFailure::None;
    // One line that says what happened and what to do.
    std::string problem;
};

// Finds and opens MTP phones: interfaces of the still-image class (6/1/1) and the
// vendor-specific ones that Android phones name "MTP", with a bulk endpoint each way.
class UsbDevices {
public:
    explicit UsbDevices(std::shared_ptr<UsbContext> context);

    // In the order of their locations.
    std::vector<AttachedPhone> list() const;
    // `deviceId` is "usb:SERIAL" or "usb:BUS:ADDRESS"; the interface is claimed, after
    // detaching a kernel driver from it only when asked.
    OpenedPhone open(const std::string& deviceId, bool detachKernelDriver) const;

    // Whether `deviceId` has one of the two forms.
    static bool validId(const std::string& deviceId);
    // The MtpResult an open failure becomes.
    static kv::MtpProvider::MtpResult resultOf(OpenFailure failure);

private:
    std::shared_ptr<UsbContext> context_;
};

}  // namespace kvusb
