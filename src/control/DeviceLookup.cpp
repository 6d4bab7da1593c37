#include <optional>

#include "control/DeviceTables.h"

namespace kvinternal {

namespace {

constexpr size_t tacLength = 8;
// TAC plus the six serial digits.
constexpr size_t serialEnd = 14;

std::string tacOf(const std::string& imei) {
    return imei.size() < tacLength ? std::string() : imei.substr(0, tacLength);
}

// The first row of the IMEI's TAC whose range holds its serial.
std::optional<DeviceRangeRow> matchingRow(const std::string& imei) {
    if (imei.size() < serialEnd) {
        return std::nullopt;
    }
    const std::string serial = imei.substr(tacLength, serialEnd - tacLength);
    const auto [first, last] = deviceRangeTable().equal_range(tacOf(imei));
    for (auto row = first; row != last; ++row) {
        if (row->second.lowestSerial <= serial && serial <= row->second.highestSerial) {
            return row->second;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string lookupTacOrHwConfig(const std::string& imei, const std::string& hwConfig,
                                DeviceLookup mode) {
    const std::string tac = tacOf(imei);
    if (!hwConfig.empty()) {
        return mode == DeviceLookup::Tac ? tac : hwConfig;
    }
    if (const auto row = matchingRow(imei)) {
        return mode == DeviceLookup::Tac ? std::string("00000000") : row->hwConfig;
    }
    return mode == DeviceLookup::Tac ? tac : std::string();
}

std::string securityStateFromImei(const std::string& imei) {
    const std::string tac = tacOf(imei);
    if (tac.empty()) {
        return "COMMERCIAL";
    }
    if (developmentTacs().count(tac) > 0) {
        return "DEVELOPMENT";
    }
    const auto row = matchingRow(imei);
    if (!row) {
        return "COMMERCIAL";
    }
    switch (row->securityClass) {
        case 1:
            return "PRECOMMERCIAL";
        case 2:
            return "DEVELOPMENT";
        default:
            return "COMMERCIAL";
    }
}

}  // namespace kvinternal
