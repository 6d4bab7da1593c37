#include "control/DeviceTables.h"

#include <gtest/gtest.h>

#include <regex>

namespace kvinternal {
namespace {

TEST(DeviceTablesTest, TablesHaveTheirShape) {
    const auto& table = deviceRangeTable();
    EXPECT_EQ(table.size(), 40u);
    std::set<std::string> tacs;
    const std::regex tac("^[0-9]{8}$");
    const std::regex serial("^[0-9]{6}$");
    const std::regex hwConfig("^HWC_[A-Za-z0-9]+_Pcm_[0-9]{3}$");
    for (const auto& [key, row] : table) {
        tacs.insert(key);
        EXPECT_TRUE(std::regex_match(key, tac)) << key;
        EXPECT_TRUE(std::regex_match(row.lowestSerial, serial)) << key;
        EXPECT_TRUE(std::regex_match(row.highestSerial, serial)) << key;
        EXPECT_LE(row.lowestSerial, row.highestSerial) << key;
        EXPECT_TRUE(row.securityClass == 1 || row.securityClass == 2) << key;
        // Pre-commercial rows carry a HW config, development rows none.
        EXPECT_EQ(row.securityClass == 1, std::regex_match(row.hwConfig, hwConfig)) << key;
        EXPECT_EQ(row.securityClass == 2, row.hwConfig.empty()) << key;
    }
    EXPECT_EQ(tacs.size(), 29u);
    EXPECT_EQ(developmentTacs().size(), 11u);
    for (const auto& development : developmentTacs()) {
        EXPECT_TRUE(std::regex_match(development, tac)) << development;
    }
}

TEST(DeviceTablesTest, LookupOfTacAndHwConfig) {
    struct Case {
        const char* imei;
        const char* reportedHwConfig;
        const char* tac;
        const char* hwConfig;
    };
    const Case cases[] = {
        {"359145850123453", "", "00000000", "HWC_Xk7_Pcm_100"},  // pre-commercial row
        {"359145850199993", "", "00000000", "HWC_Xk7_Pcm_100"},  // its highest serial
        {"359145850200003", "", "35914585", ""},                 // above every range
        {"359145850099991", "", "00000000", ""},                 // development row
        {"359145850123453", "HWC_Own_Pcm_001", "35914585", "HWC_Own_Pcm_001"},  // phone's own
        {"3591458501234", "", "35914585", ""},                  // 13 digits: no serial
        {"35914585012345", "", "00000000", "HWC_Xk7_Pcm_100"},  // 14 digits are enough
        {"3591458", "", "", ""},                                // no TAC at all
        {"", "", "", ""},
        {"351432240000993", "", "35143224", ""},                 // below 000100
        {"351432240001003", "", "00000000", "HWC_Mv2_Pcm_510"},  // first row of two
        {"351432240050003", "", "00000000", ""},                 // second row of two
        {"490154203237518", "", "49015420", ""},                 // TAC not in the table
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lookupTacOrHwConfig(c.imei, c.reportedHwConfig, DeviceLookup::Tac), c.tac)
            << c.imei;
        EXPECT_EQ(lookupTacOrHwConfig(c.imei, c.reportedHwConfig, DeviceLookup::HwConfig),
                  c.hwConfig)
            << c.imei;
    }
}

TEST(DeviceTablesTest, SecurityStateFromImei) {
    const std::string developmentTac = *developmentTacs().begin();
    struct Case {
        std::string imei;
        const char* state;
    };
    const Case cases[] = {
        {developmentTac + "0000000", "DEVELOPMENT"},
        {developmentTac, "DEVELOPMENT"},  // the TAC alone decides
        {"359145850123453", "PRECOMMERCIAL"},
        {"359145850099991", "DEVELOPMENT"},
        {"359145850200003", "COMMERCIAL"},
        {"3591458501234", "COMMERCIAL"},
        {"3591458", "COMMERCIAL"},
        {"", "COMMERCIAL"},
        {"358876319999993", "DEVELOPMENT"},  // test TAC over 000001-999999
        {"358876310000003", "COMMERCIAL"},   // ... but not 000000
    };
    for (const auto& c : cases) {
        EXPECT_EQ(securityStateFromImei(c.imei), c.state) << c.imei;
    }
}

}  // namespace
}  // namespace kvinternal
