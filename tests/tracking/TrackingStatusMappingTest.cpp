#include "tracking/TrackingStatusMapping.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kvinternal {
namespace {

TEST(TrackingStatusMappingTest, PrefixedCodesArePaddedToEightCharacters) {
    const std::tuple<const char*, int32_t, const char*> cases[] = {
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
    for (const auto& [prefix, number, code] : cases) {
        EXPECT_EQ(prefixedCode(prefix, number), code);
    }
}

struct Row {
    const char* phase;
    TrackingStatus status;  // ignored by the phases that derive it
    int32_t phaseResult;
    const char* expectedStatus;
    const char* expectedCode;
    std::vector<std::string> expectedErrors = {};
};

TrackingOutcome outcomeOf(const Row& row, int32_t number) {
    const std::string phase = row.phase;
    if (phase == "download") {
        return downloadOutcome(row.status, row.phaseResult, number);
    }
    if (phase == "transfer") {
        return transferOutcome(row.status, row.phaseResult, number);
    }
    if (phase == "install") {
        return installOutcome(row.status, row.phaseResult, number);
    }
    if (phase == "preverification") {
        return preverificationOutcome(row.phaseResult, number);
    }
    return manifestErrorOutcome(row.phaseResult, number);
}

// Every row whose status, code or error lines differ, for the number 17.
TEST(TrackingStatusMappingTest, EveryPhaseRow) {
    using S = TrackingStatus;
    const auto unknown = static_cast<S>(5);
    const std::string noStatus = "No matching status found";
    const std::string transferStatus = "Invalid update status for transfer phase";
    const std::string installStatus = "Invalid update status for install phase";
    const std::vector<std::string> download = {"No matching statusCode for download status"};
    const std::vector<std::string> transfer = {"No matching statusCode for transfer status"};
    const std::vector<std::string> install = {"No matching statusCode for install status"};
    const std::string downloadWarning = "Warning event for download not allowed";
    const std::string downloadOk = "Download status was ok for an error update status";
    const std::string installOk = "Install status is ok, but update status indicates error";
    const std::string preverification = "No matching statusCode for preverification status";
    const std::string manifest = "No matching status code for manifest error";
    // clang-format off
    const Row rows[] = {
        {"download", S::Ok, 5, "ok", ""},
        {"download", S::Initiated, 5, "initiated", ""},
        {"download", S::Cancelled, 5, "cancelled", "401"},
        {"download", S::Warning, 5, "warning", "", {downloadWarning}},
        {"download", S::Error, 0, "error", "", {downloadOk}},
        {"download", S::Error, 1, "error", "401"},
        {"download", S::Error, 2, "error", "409"},
        {"download", S::Error, 3, "error", "450"},
        {"download", S::Error, 4, "error", "454"},
        {"download", S::Error, 5, "error", "502"},
        {"download", S::Error, 6, "error", "DM000017"},
        {"download", S::Error, 7, "error", "DM100002"},
        {"download", S::Error, 8, "error", "KV200017"},
        {"download", S::Error, -1, "error", "409", download},
        {"download", static_cast<S>(-1), 6, "warning", "", {noStatus}},
        {"transfer", S::Ok, 3, "ok", ""},
        {"transfer", S::Initiated, 3, "initiated", ""},
        {"transfer", S::Cancelled, 3, "cancelled", "401"},
        {"transfer", S::Error, 2, "error", "409"},
        {"transfer", S::Error, 3, "error", "KV100001"},
        {"transfer", S::Error, 4, "error", "KV300017"},
        {"transfer", S::Error, 0, "error", "409", transfer},
        {"transfer", S::Warning, 3, "warning", "", {transferStatus}},
        {"transfer", unknown, 3, "warning", "", {transferStatus, noStatus}},
        {"install", S::Ok, 2, "ok", ""},
        {"install", S::Initiated, 0, "initiated", ""},
        {"install", S::Cancelled, 2, "cancelled", "401"},
        {"install", S::Error, 0, "error", "", {installOk}},
        {"install", S::Error, 1, "error", "409", install},
        {"install", S::Error, 2, "error", "UA000017"},
        {"install", S::Error, 3, "error", "KV000017"},
        {"install", S::Error, 4, "error", "409", install},
        {"install", S::Error, 5, "error", "KV100001"},
        {"install", S::Error, 6, "error", "KV300017"},
        {"install", S::Warning, 2, "warning", "", {installStatus}},
        {"install", unknown, 2, "warning", "", {installStatus, noStatus}},
        {"preverification", S::Warning, 0, "ok", ""},
        {"preverification", S::Ok, 1, "error", "VE000001"},
        {"preverification", S::Ok, 2, "error", "KV100001"},
        {"preverification", S::Ok, 3, "error", "KV000017"},
        {"preverification", S::Ok, 4, "cancelled", "401"},
        {"preverification", S::Ok, 5, "error", "KV300017"},
        {"preverification", S::Ok, 6, "error", "VE000002", {preverification}},
        {"manifest", S::Ok, 0, "cancelled", "401"},
        {"manifest", S::Ok, 1, "error", "409"},
        {"manifest", S::Ok, 2, "error", "451"},
        {"manifest", S::Ok, 3, "error", "DM000017"},
        {"manifest", S::Ok, 4, "error", "KV200017"},
        {"manifest", S::Ok, -1, "error", "409", {manifest}},
    };
    // clang-format on
    for (const Row& row : rows) {
        const TrackingOutcome outcome = outcomeOf(row, 17);
        const std::string label = std::string(row.phase) + " status " +
                                  std::to_string(static_cast<int32_t>(row.status)) + " result " +
                                  std::to_string(row.phaseResult);
        EXPECT_EQ(outcome.status, row.expectedStatus) << label;
        EXPECT_EQ(outcome.statusCode, row.expectedCode) << label;
        EXPECT_EQ(outcome.errors, row.expectedErrors) << label;
    }
}

}  // namespace
}  // namespace kvinternal
