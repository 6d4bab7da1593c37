#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/Log.h"

namespace kvinternal {

// Everything known about one phone travels as an identifier collection. The numbers are stable:
// they key every collection and, through the JSON keys, the identifier cache file.
enum class IdentifierId : int32_t {
    AndroidRevision = 0,
    AppSwId = 1,
    AppSwVersion = 2,
    BatteryLevel = 3,
    BootLoaderProductNumber = 4,
    BootLoaderRevision = 5,
    BuildVariant = 6,
    CarrierId = 7,
    CdfId = 8,
    CdfVersion = 9,
    DeviceId = 10,
    DisplayName = 11,
    EncryptionState = 12,
    ExtensionsVersion = 13,
    HasDeltaSupport = 14,
    HasGotaV3Support = 15,
    HasGotaV4Support = 16,
    HwConfigRevision = 17,
    HwType = 18,
    IdentifierCacheId = 19,
    CalculatedImei = 20,
    EncryptedImei = 21,
    UnencryptedImei = 22,
    Language = 23,
    Model = 24,
    MtpApplicationCertificateId = 25,
    ProvisionedState = 26,
    VexaProductCode = 27,
    SwVariant = 28,
    RootingStatus = 29,
    ScreenLockState = 30,
    Tac = 31,
    UserType = 32
};

// Values are plain text; flag identifiers hold "true" or "false".
using IdentifierCollection = std::map<IdentifierId, std::string>;

// Inserts or overwrites; an empty value is logged and leaves the collection unchanged.
void setIdentifier(IdentifierCollection& collection, IdentifierId id, const std::string& value,
                   const Log& log);

// The value, or the empty string when the collection lacks the identifier.
std::string identifierValue(const IdentifierCollection& collection, IdentifierId id);

// The name used in log lines; "unknown" for a number outside the catalogue.
std::string identifierDisplayName(IdentifierId id);

// The key in the identifier cache file and server requests; none for "Calculated imei".
std::optional<std::string> identifierJsonKey(IdentifierId id);

std::optional<IdentifierId> identifierFromJsonKey(const std::string& key);

}  // namespace kvinternal
