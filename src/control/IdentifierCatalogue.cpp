#include "control/IdentifierCatalogue.h"

#include <array>

namespace kvinternal {

namespace {

struct CatalogueEntry {
    const char* displayName;
    const char* jsonKey;  // null when the identifier has none
};

// Indexed by identifier number.
constexpr std::array<CatalogueEntry, 33> catalogue{{
    {"Android revision", "androidRevision"},
    {"AppSw id", "appSwId"},
    {"AppSw version", "appSwVersion"},
    {"Battery level", "batteryLevel"},
    {"Boot loader product number", "bootLoaderProdNumber"},
    {"Boot loader revision", "bootLoaderRevision"},
    {"Build variant", "buildVariant"},
    {"Carrier id", "carrierId"},
    {"CDF id", "cdfId"},
    {"CDF version", "cdfVersion"},
    {"Device id", "deviceId"},
    {"Display name", "displayName"},
    {"Encryption state", "encryptionState"},
    {"Extensions version", "extensionsVersion"},
    {"Has delta support", "hasDeltaSupport"},
    {"Has GOTA V3 support", "hasGotaV3Support"},
    {"Has GOTA V4 support", "hasGotaV4Support"},
    {"HW config revision", "hwConfig"},
    {"HW type", "hwType"},
    {"Identifier cache id", "iicId"},
    {"Calculated imei", nullptr},
    {"Encrypted imei", "imeiEncrypted"},
    {"Unencrypted imei", "unencryptedImei"},
    {"Language", "lang"},
    {"Model", "model"},
    {"MTP application certificate id", "mtpAppCertId"},
    {"Provisioned state", "provisionedState"},
    {"Vexa product code", "vexaProductCode"},
    {"SW variant", "swVariant"},
    {"Rooting status", "rootingStatus"},
    {"Screen lock state", "screenLockState"},
    {"TAC", "tac"},
    {"User type", "userType"},
}};

const CatalogueEntry* find(IdentifierId id) {
    const auto index = static_cast<int32_t>(id);
    if (index < 0 || index >= static_cast<int32_t>(catalogue.size())) {
        return nullptr;
    }
    return &catalogue[static_cast<size_t>(index)];
}

}  // namespace

void setIdentifier(IdentifierCollection& collection, IdentifierId id, const std::string& value,
                   const Log& log) {
    if (value.empty()) {
        log.info("Identifier value is empty: " + identifierDisplayName(id));
        return;
    }
    collection[id] = value;
}

std::string identifierValue(const IdentifierCollection& collection, IdentifierId id) {
    const auto found = collection.find(id);
    return found == collection.end() ? std::string() : found->second;
}

std::string identifierDisplayName(IdentifierId id) {
    const auto* entry = find(id);
    return entry ? entry->displayName : "unknown";
}

std::optional<std::string> identifierJsonKey(IdentifierId id) {
    const auto* entry = find(id);
    if (!entry || !entry->jsonKey) {
        return std::nullopt;
    }
    return std::string(entry->jsonKey);
}

std::optional<IdentifierId> identifierFromJsonKey(const std::string& key) {
    for (size_t i = 0; i < catalogue.size(); ++i) {
        if (catalogue[i].jsonKey && key == catalogue[i].jsonKey) {
            return static_cast<IdentifierId>(i);
        }
    }
    return std::nullopt;
}

}  // namespace kvinternal
