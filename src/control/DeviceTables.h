#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace kvinternal {

// One serial range of a TAC in the maker's device data. A serial is the six IMEI digits after
// the TAC; ranges compare as text, which for six digits is numeric order.
struct DeviceRangeRow {
    int32_t securityClass;  // 1 pre-commercial, 2 development
    std::string hwConfig;   // empty, or HWC_<platform>_Pcm_<three digits>
    std::string highestSerial;
    std::string lowestSerial;
};

// By 8-digit TAC, in table order within a TAC. Built once on first use.
const std::multimap<std::string, DeviceRangeRow>& deviceRangeTable();

// TACs whose phones always count as development units.
const std::set<std::string>& developmentTacs();

enum class DeviceLookup { Tac, HwConfig };

// The TAC to report ("00000000" for a phone inside a matching range) or the HW config revision of
// a phone, from its IMEI and the HW config it reported itself.
std::string lookupTacOrHwConfig(const std::string& imei, const std::string& hwConfig,
                                DeviceLookup mode);

// "COMMERCIAL", "PRECOMMERCIAL" or "DEVELOPMENT".
std::string securityStateFromImei(const std::string& imei);

}  // namespace kvinternal
