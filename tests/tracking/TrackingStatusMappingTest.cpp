#include "tracking/TrackingStatusMapping.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>

namespace kvinternal {

void PrintTo(const TrackingOutcome& outcome, std::ostream* out) {
    *out << outcome.status << " \"" << outcome.statusCode << "\"";
    for (const auto& error : outcome.errors) {
        *out << " [" << error << "]";
    }
}

namespace {

constexpr int32_t number = 17;
const auto unknown = static_cast<TrackingStatus>(5);
const auto negative = static_cast<TrackingStatus>(-1);

struct Row {
    TrackingStatus status;
    int32_t phaseResult;
    TrackingOutcome expected;
};

using Mapping = TrackingOutcome (*)(TrackingStatus, int32_t, int32_t);

void expectRows(Mapping mapping, const std::vector<Row>& rows) {
    for (const auto& row : rows) {
        EXPECT_EQ(mapping(row.status, row.phaseResult, number), row.expected)
            << "status " << static_cast<int32_t>(row.status) << ", phase result "
            << row.phaseResult;
    }
}

TEST(TrackingStatusMappingTest, PrefixedCodesArePaddedToEightCharacters) {
    struct Case {
        const char* prefix;
        int32_t number;
        const char* code;
    } cases[] = {
        {"UA", 8194, "UA008194"},
        {"KV", 8194, "KV008194"},
        {"DM", 8194, "DM008194"},
        {"KV2", 8194, "KV208194"},
        {"KV3", 8194, "KV308194"},
        {"DM", 0, "DM000000"},
        {"KV", 999999, "KV999999"},
        {"KV", 1000000, "KV1000000"},
        {"KV3", 100000, "KV3100000"},
        // Negative numbers keep the code a prefix followed by digits.
        {"KV2", -1, "KV24294967295"},
        {"DM", std::numeric_limits<int32_t>::min(), "DM2147483648"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(prefixedCode(testCase.prefix, testCase.number), testCase.code);
    }
}

TEST(TrackingStatusMappingTest, DownloadRows) {
    const std::string noMatch = "No matching statusCode for download status";
    expectRows(downloadOutcome,
               {
                   {TrackingStatus::Ok, 5, {"ok", "", {}}},
                   {TrackingStatus::Initiated, 5, {"initiated", "", {}}},
                   {TrackingStatus::Cancelled, 5, {"cancelled", "401", {}}},
                   {TrackingStatus::Warning,
                    5,
                    {"warning", "", {"Warning event for download not allowed"}}},
                   {TrackingStatus::Error,
                    0,
                    {"error", "", {"Download status was ok for an error update status"}}},
                   {TrackingStatus::Error, 1, {"error", "401", {}}},
                   {TrackingStatus::Error, 2, {"error", "409", {}}},
                   {TrackingStatus::Error, 3, {"error", "450", {}}},
                   {TrackingStatus::Error, 4, {"error", "454", {}}},
                   {TrackingStatus::Error, 5, {"error", "502", {}}},
                   {TrackingStatus::Error, 6, {"error", "DM000017", {}}},
                   {TrackingStatus::Error, 7, {"error", "DM100002", {}}},
                   {TrackingStatus::Error, 8, {"error", "KV200017", {}}},
                   {TrackingStatus::Error, 9, {"error", "409", {noMatch}}},
                   {TrackingStatus::Error, -1, {"error", "409", {noMatch}}},
                   {unknown, 6, {"warning", "", {"No matching status found"}}},
                   {negative, 6, {"warning", "", {"No matching status found"}}},
               });
}

TEST(TrackingStatusMappingTest, TransferRows) {
    const std::string noMatch = "No matching statusCode for transfer status";
    const std::string invalid = "Invalid update status for transfer phase";
    expectRows(transferOutcome,
               {
                   {TrackingStatus::Ok, 3, {"ok", "", {}}},
                   {TrackingStatus::Initiated, 3, {"initiated", "", {}}},
                   {TrackingStatus::Cancelled, 3, {"cancelled", "401", {}}},
                   {TrackingStatus::Error, 2, {"error", "409", {}}},
                   {TrackingStatus::Error, 3, {"error", "KV100001", {}}},
                   {TrackingStatus::Error, 4, {"error", "KV300017", {}}},
                   {TrackingStatus::Error, 0, {"error", "409", {noMatch}}},
                   {TrackingStatus::Error, 5, {"error", "409", {noMatch}}},
                   {TrackingStatus::Warning, 3, {"warning", "", {invalid}}},
                   {unknown, 3, {"warning", "", {invalid, "No matching status found"}}},
               });
}

TEST(TrackingStatusMappingTest, InstallRows) {
    const std::string noMatch = "No matching statusCode for install status";
    const std::string invalid = "Invalid update status for install phase";
    expectRows(installOutcome,
               {
                   {TrackingStatus::Ok, 2, {"ok", "", {}}},
                   {TrackingStatus::Initiated, 0, {"initiated", "", {}}},
                   {TrackingStatus::Cancelled, 2, {"cancelled", "401", {}}},
                   {TrackingStatus::Error,
                    0,
                    {"error", "", {"Install status is ok, but update status indicates error"}}},
                   {TrackingStatus::Error, 1, {"error", "409", {noMatch}}},
                   {TrackingStatus::Error, 2, {"error", "UA000017", {}}},
                   {TrackingStatus::Error, 3, {"error", "KV000017", {}}},
                   {TrackingStatus::Error, 4, {"error", "409", {noMatch}}},
                   {TrackingStatus::Error, 5, {"error", "KV100001", {}}},
                   {TrackingStatus::Error, 6, {"error", "KV300017", {}}},
                   {TrackingStatus::Error, 7, {"error", "409", {noMatch}}},
                   {TrackingStatus::Warning, 2, {"warning", "", {invalid}}},
                   {negative, 2, {"warning", "", {invalid, "No matching status found"}}},
               });
}

// Preverification and manifest errors derive their status from the phase result alone.
TEST(TrackingStatusMappingTest, PreverificationAndManifestErrorRows) {
    struct Case {
        int32_t phaseResult;
        TrackingOutcome preverification;
        TrackingOutcome manifestError;
    } cases[] = {
        {0, {"ok", "", {}}, {"cancelled", "401", {}}},
        {1, {"error", "VE000001", {}}, {"error", "409", {}}},
        {2, {"error", "KV100001", {}}, {"error", "451", {}}},
        {3, {"error", "KV000017", {}}, {"error", "DM000017", {}}},
        {4, {"cancelled", "401", {}}, {"error", "KV200017", {}}},
        {5,
         {"error", "KV300017", {}},
         {"error", "409", {"No matching status code for manifest error"}}},
        {-1,
         {"error", "VE000002", {"No matching statusCode for preverification status"}},
         {"error", "409", {"No matching status code for manifest error"}}},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(preverificationOutcome(testCase.phaseResult, number), testCase.preverification)
            << testCase.phaseResult;
        EXPECT_EQ(manifestErrorOutcome(testCase.phaseResult, number), testCase.manifestError)
            << testCase.phaseResult;
    }
    EXPECT_EQ(preverificationOutcome(6, number).statusCode, "VE000002");
}

}  // namespace
}  // namespace kvinternal
