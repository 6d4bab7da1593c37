#pragma once

#include <functional>
#include <memory>
#include <string>

#include "AttachedPhone.h"
#include "CommandLine.h"
#include "Console.h"
#include "UsbMtpProvider.h"
#include "kavrin/MtpProvider.h"

namespace kvhost {

// A phone kavrin updates: the provider that reaches it, the device id the provider knows it by,
// and the names a person knows it by.
struct PhoneTarget {
    std::shared_ptr<kv::MtpProvider> provider;
    std::string deviceId;
    std::string serial;
    std::string model;
};

// The provider for phones attached by USB; `diagnostics` takes its lines ("usb:SERIAL: what the
// phone did").
std::shared_ptr<kvusb::UsbMtpProvider> usbProvider(
    const HostOptions& options, std::function<void(const std::string& line)> diagnostics);
PhoneTarget usbPhone(std::shared_ptr<kvusb::UsbMtpProvider> provider,
                     const kvusb::AttachedPhone& phone);

// Simulated phone `number` (1 is the one `--phone sim` updates). Each has a device id, a serial
// number and an IMEI of its own; they take turns in the catalogue's first `options.models`
// models (SimulatedServer::models), so that phones of different models need different packages.
PhoneTarget simulatedPhone(const SimulationOptions& options, unsigned number);

// The software version the phone reports (its AppSw version property), or "" when it does not
// say.
std::string softwareVersion(kv::MtpProvider& provider, const std::string& deviceId);

}  // namespace kvhost
