#include "PhoneTargets.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

#include "MtpDatasets.h"
#include "SimulatedPhone.h"
#include "SimulatedServer.h"

namespace kvhost {

namespace {

constexpr uint16_t operationGetVendorProperty = 0x9187;
constexpr uint16_t propertyAppSwVersion = 0xD039;
constexpr uint16_t propertyModel = 0xD035;
constexpr uint16_t responseOk = 0x2001;
constexpr uint64_t largestVersion = 512;
// The serial number and IMEI (without its check digit) of simulated phone 1; the next phones
// count up from them.
constexpr uint64_t firstSerial = 123456789;
constexpr uint64_t firstImei = 49015420323751;

// `digits` (14 of them) and their Luhn check digit.
std::string withCheckDigit(const std::string& digits) {
    int sum = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        int digit = digits[i] - '0';
        if (i % 2 == 1) {
            digit *= 2;
            digit = digit > 9 ? digit - 9 : digit;
        }
        sum += digit;
    }
    return digits + static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::string numbered(const char* format, uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::shared_ptr<kvusb::UsbMtpProvider> usbProvider(
    const HostOptions& options, std::function<void(const std::string& line)> diagnostics) {
    kvusb::UsbMtpProvider::Options usb;
    usb.detachKernelDriver = options.detachKernelDriver;
    usb.diagnostics = std::move(diagnostics);
    return std::make_shared<kvusb::UsbMtpProvider>(std::move(usb));
}

PhoneTarget usbPhone(std::shared_ptr<kvusb::UsbMtpProvider> provider,
                     const kvusb::AttachedPhone& phone) {
    return {std::move(provider), phone.id, phone.serial.empty() ? phone.location : phone.serial,
            phone.model};
}

PhoneTarget simulatedPhone(const SimulationOptions& options, unsigned number) {
    const SimulatedModel& model = SimulatedServer::models[(number - 1) % options.models];
    const std::string deviceId = "simulated-phone-" + std::to_string(number);
    auto phone = std::make_shared<kvtest::SimulatedPhone>(options.phoneKind, deviceId);
    phone->setProperty(propertyModel, model.modelId);
    phone->setImei(withCheckDigit(numbered("%014llu", firstImei + number - 1)));
    // Large packages: keep their size and digest, not their bytes.
    phone->setTransferMode(kvtest::SimulatedPhone::TransferMode::DigestOnly);
    phone->setTransferChunkSize(1 << 20);
    phone->installOnVerify({SimulatedServer::targetVersion,
                            kvtest::SimulatedPhone::FotaStatus::withReport(0, "update installed")});
    return {phone, deviceId, numbered("KT%010llu", firstSerial + number - 1), model.name};
}

std::string softwareVersion(kv::MtpProvider& provider, const std::string& deviceId) {
    auto request = std::make_shared<kv::MtpProvider::MtpRequest>();
    request->operationCode = operationGetVendorProperty;
    request->numberOfParameters = 1;
    request->parameters[0] = propertyAppSwVersion;
    auto response = std::make_shared<kv::MtpProvider::MtpResponse>();
    response->data.reset(new uint8_t[largestVersion]);
    if (provider.execute(deviceId, largestVersion, request, response) !=
            kv::MtpProvider::MtpResult::Success ||
        response->responseCode != responseOk) {
        return "";
    }
    try {
        return kvusb::MtpDatasets::decodeString(
            {response->data.get(), response->data.get() + response->dataLength});
    } catch (const std::invalid_argument&) {
        return "";
    }
}

}  // namespace kvhost
