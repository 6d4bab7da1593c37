// Device API detection and the reads of identifiers and rooting status.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "common/Utf.h"
#include "control/Exceptions.h"
#include "mtp/MtpService.h"

namespace kvinternal {

namespace {

// The vendor property that holds each identifier the phone can report.
const std::map<IdentifierId, uint16_t>& identifierPropertyCodes() {
    static const std::map<IdentifierId, uint16_t> codes{
        {IdentifierId::AndroidRevision, 0xD047},
        {IdentifierId::AppSwId, 0xD038},
        {IdentifierId::AppSwVersion, 0xD039},
        {IdentifierId::BatteryLevel, 0x5001},
        {IdentifierId::BootLoaderProductNumber, 0xD03E},
        {IdentifierId::BootLoaderRevision, 0xD03F},
        {IdentifierId::BuildVariant, 0xD04A},
        {IdentifierId::CarrierId, 0xD04D},
        {IdentifierId::CdfId, 0xD03C},
        {IdentifierId::CdfVersion, 0xD03D},
        {IdentifierId::DisplayName, 0xD036},
        {IdentifierId::EncryptionState, 0xD042},
        {IdentifierId::ExtensionsVersion, 0xD040},
        {IdentifierId::HwConfigRevision, 0xD045},
        {IdentifierId::HwType, 0xD034},
        {IdentifierId::EncryptedImei, 0xD044},
        {IdentifierId::UnencryptedImei, 0xD037},
        {IdentifierId::Model, 0xD035},
        {IdentifierId::MtpApplicationCertificateId, 0xD04B},
        {IdentifierId::ProvisionedState, 0xD048},
        {IdentifierId::VexaProductCode, 0xD04E},
        {IdentifierId::SwVariant, 0xD04F},
        {IdentifierId::RootingStatus, 0xD04C},
        {IdentifierId::ScreenLockState, 0xD041},
        {IdentifierId::UserType, 0xD043},
    };
    return codes;
}

std::optional<uint16_t> identifierPropertyCode(IdentifierId id) {
    const auto& codes = identifierPropertyCodes();
    const auto found = codes.find(id);
    if (found == codes.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace

std::shared_ptr<MtpService::MtpResponse> MtpService::readVendorProperty(IdentifierId id,
                                                                        bool failureIsError) {
    const auto name = identifierDisplayName(id);
    const auto propertyCode = identifierPropertyCode(id);
    if (!propertyCode) {
        log_.error("Identifier not supported: " + name);
        return nullptr;
    }
    auto response =
        executeChecked(createRequest(mtpoperation::getVendorProperty, *propertyCode), true);
    if (!checkIdentifierResponse(response->responseCode, id)) {
        const auto message = "Could not get identifier: " + name;
        if (failureIsError) {
            log_.error(message);
        } else {
            log_.info(message);
        }
        return nullptr;
    }
    return response;
}

std::string MtpService::getIdentifier(IdentifierId id) {
    const auto response = readVendorProperty(id, false);
    if (!response) {
        return {};
    }
    try {
        const auto data = receivedData(*response, responseBufferSize);
        const uint8_t* cursor = data.data();
        const auto value = utf16ToUtf8(readMtpString(cursor, data.size(), false));
        log_.info("Successfully retrieved identifier: " + identifierDisplayName(id) + ": " + value);
        return value;
    } catch (const IllegalArgumentException& e) {
        log_.error(std::string("Invalid argument: ") + e.what());
        return {};
    }
}

bool MtpService::isDeviceRooted() {
    log_.info("Checking if device is rooted");
    const auto response = readVendorProperty(IdentifierId::RootingStatus, true);
    if (!response || response->dataLength == 0 || !response->data) {
        return false;
    }
    const uint8_t status = response->data[0];
    switch (status) {
        case 0:
            log_.info("Device is not rooted");
            return false;
        case 1:
            log_.error("Device is rooted");
            return true;
        case 255:
            log_.error("Device root status is unknown.");
            return false;
        default:
            log_.error("Unknown root status code: " + std::to_string(status));
            return false;
    }
}

uint16_t MtpService::getDeviceInfo(std::unique_ptr<DeviceInfo>& out) {
    const auto response = executeChecked(createRequest(mtpoperation::getDeviceInfo), true);
    if (response->responseCode == mtpresponse::ok) {
        const auto data = receivedData(*response, responseBufferSize);
        try {
            out = parseDeviceInfo(data.data(), data.size());
        } catch (const IllegalArgumentException& malformed) {
            // The phone's dataset is at fault, not anything the host passed.
            throw DeviceException(malformed.what());
        }
    }
    return response->responseCode;
}

bool MtpService::supportsOperation(uint16_t operationCode, const DeviceInfo& info) {
    const auto& operations = info.operationsSupported;
    return std::find(operations.begin(), operations.end(), operationCode) != operations.end();
}

DeviceApiType MtpService::getDeviceApiType() {
    std::unique_ptr<DeviceInfo> info;
    const uint16_t code = getDeviceInfo(info);
    if (code == mtpresponse::ok && info) {
        std::set<DeviceApiType> types;
        if (supportsOperation(mtpoperation::verifyAndUpdate, *info) &&
            supportsOperation(mtpoperation::readFotaStatus, *info)) {
            types.insert(DeviceApiType::LegacyFota);
        }
        if (supportsOperation(mtpoperation::verifyAndUpdateJsonV3, *info)) {
            types.insert(DeviceApiType::GotaV3);
        }
        if (supportsOperation(mtpoperation::verifyAndUpdateJsonV4, *info)) {
            types.insert(DeviceApiType::GotaV4);
        }
        return decideDeviceApiType(types);
    }
    if (code == mtpresponse::parameterNotSupported) {
        log_.error("Getting device info is not supported, this will blow.");
    } else {
        log_.error("Could not get device info, this will blow, response code: " +
                   std::to_string(code));
    }
    return DeviceApiType::UnknownApi;
}

DeviceApiType MtpService::decideDeviceApiType(const std::set<DeviceApiType>& types) const {
    if (types.empty()) {
        log_.info(
            "Not possible to determine Device API version and GOTA version. No supported device "
            "API types in device.");
        log_.info("This is probably a device without support for delta over cable.");
        return DeviceApiType::NoDeltaSupport;
    }
    if (types.size() > 1) {
        log_.error(
            "This device claims to have support for more than one device API version according "
            "to MTP operation GetDeviceInfo.");
        log_.error(
            "This is probably an error in the device. Check supported op codes from the device "
            "GetDeviceInfo MTP operation.");
        return DeviceApiType::UnknownApi;
    }
    switch (*types.begin()) {
        case DeviceApiType::GotaV4:
            log_.info("Device have GOTA_V4 support (ZOLP)");
            return DeviceApiType::GotaV4;
        case DeviceApiType::GotaV3:
            log_.info("Device have GOTA_V3 support");
            return DeviceApiType::GotaV3;
        case DeviceApiType::LegacyFota:
            log_.info("Device have old VXMC FOTA support");
            return DeviceApiType::LegacyFota;
        default:
            log_.error("Unknown error. It will blow.");
            return DeviceApiType::UnknownApi;
    }
}

}  // namespace kvinternal
