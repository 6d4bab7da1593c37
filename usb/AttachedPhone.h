#pragma once

#include <cstdint>
#include <string>

namespace kvusb {

// A USB device with an MTP interface, as `kavrin devices` lists it.
struct AttachedPhone {
    // "usb:SERIAL" when the phone reports a serial number, otherwise "usb:BUS:ADDRESS".
    std::string id;
    // "usb:BUS:ADDRESS" (three digits each), valid until the phone is unplugged.
    std::string location;
    uint8_t bus = 0;
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string manufacturer;
    std::string model;
    std::string serial;
    // Why the phone could not be opened to read its names (and, for a vendor-specific interface,
    // to confirm it is MTP); empty when it could.
    std::string problem;
};

}  // namespace kvusb
