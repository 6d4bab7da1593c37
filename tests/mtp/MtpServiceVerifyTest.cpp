#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "MtpFlowFixture.h"
#include "support/LastOf.h"

namespace kvinternal {
namespace {

class MtpServiceVerifyTest : public MtpFlowFixture {
protected:
    void verifyJson(const InternalUpdateMetadata& metadata) {
        service.verifyAndUpdateJson(metadata, identifiers, "session-7", "Kavrin host");
    }
    std::vector<std::string> verifyEvents() const { return events({"preverification", "install"}); }
};

// Data version, operation sent, version text, package size and the size parameters it gives.
using DocumentCase = std::tuple<int32_t, uint16_t, std::string, uint64_t, uint32_t, uint32_t>;

class MtpServiceVerifyDocumentTest : public MtpServiceVerifyTest,
                                     public ::testing::WithParamInterface<DocumentCase> {};

TEST_P(MtpServiceVerifyDocumentTest, DescribesTheUpdateInOneLine) {
    const auto& [dataVersion, operationCode, versionText, size, low, high] = GetParam();
    const auto record = update(dataVersion);
    transferred(*record);
    record->metadata.size = size;
    verifyJson(*record);

    const auto call = phone->verifyCalls().at(0);
    EXPECT_EQ(call.operationCode, operationCode);
    EXPECT_EQ(call.objectHandle, service.objectHandles().at("YAV:1"));
    EXPECT_EQ(call.sizeLow, low);
    EXPECT_EQ(call.sizeHigh, high);
    Json::Value expected(Json::objectValue);
    expected["version"] = versionText;
    expected["sessionId"] = "session-7";
    expected["Id"] = "YAV:1";
    expected["checksum"] = "sum-fw-1";
    expected["targetSwVersion"] = "62.0";
    expected["initiator"] = "Kavrin host";
    expected["updateDisplayName"] = "Kestrel 5 \xC3\x84 update";
    expected["updateDisplayVersion"] = "62.0";
    expected["hash"] = "hash-fw-1";
    if (dataVersion == 1) {
        expected["targetCdfRevision"] = "R3A";
    } else if (dataVersion == 2) {
        expected["targetSwVariant"] = "EU2";
    }
    EXPECT_EQ(call.document, expected);
    // JsonCpp's fast writer: one line, keys in byte order, non-ASCII escaped, one line feed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EXPECT_EQ(call.documentText, Json::FastWriter().write(expected));
#pragma GCC diagnostic pop
    EXPECT_EQ(verifyEvents(), std::vector<std::string>{"preverification|ok||"});
    EXPECT_TRUE(logger->contains("Creating JSON data of version: " + versionText));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, MtpServiceVerifyDocumentTest,
    ::testing::Values(DocumentCase{1, 0x9175, "1.0", (uint64_t{1} << 32) + 5, 5, 1},
                      DocumentCase{2, 0x9178, "2.0", 3000, 3000, 0},
                      DocumentCase{0, 0x9175, "", (uint64_t{1} << 32) - 1, 0xFFFFFFFF, 0}));

TEST_F(MtpServiceVerifyTest, AnUpdateNeverTransferredSendsNothing) {
    const auto record = update(2, "YAV:9");
    for (const std::function<void()>& operation :
         {std::function<void()>([&] { service.verifyAndUpdate(*record, identifiers); }),
          std::function<void()>([&] { verifyJson(*record); })}) {
        EXPECT_EQ(thrownBy(operation),
                  illegalState("Could not find MTP object handle for update id: YAV:9"));
    }
    EXPECT_TRUE(phone->requests().empty());
    EXPECT_TRUE(server->trackingDocuments().empty());
}

// Data version (-1: the legacy operation), operation sent, response code, message.
using RefusalCase = std::tuple<int32_t, uint16_t, uint16_t, std::string>;

class MtpServiceVerifyRefusalTest : public MtpServiceVerifyTest,
                                    public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(MtpServiceVerifyRefusalTest, IsReportedWithTheResponseCodeAndThrown) {
    const auto& [dataVersion, operationCode, responseCode, message] = GetParam();
    const auto record = update(dataVersion < 0 ? 1 : dataVersion);
    transferred(*record);
    phone->answerWithResponseCode(operationCode, responseCode);
    EXPECT_EQ(thrownBy([&, legacy = dataVersion < 0] {
                  legacy ? service.verifyAndUpdate(*record, identifiers) : verifyJson(*record);
              }),
              illegalState(message));
    EXPECT_EQ(kvtest::lastOf(phone->requests()).operationCode, operationCode);
    EXPECT_EQ(verifyEvents(),
              std::vector<std::string>{"preverification|error|KV00" + std::to_string(responseCode) +
                                       "|" + message});
    EXPECT_TRUE(announced(message));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, MtpServiceVerifyRefusalTest,
    ::testing::Values(
        RefusalCase{-1, 0x9170, 0x2002,
                    "Verify and update MTP operation (0x9170) caused general error"},
        RefusalCase{-1, 0x9170, 0x2006,
                    "Verify and update MTP operation(0x9170) reported parameter not supported"},
        RefusalCase{-1, 0x9170, 0x2009,
                    "Verify and update MTP operation (0x9170) reported that an invalid object "
                    "handle was used in the call"},
        RefusalCase{-1, 0x9170, 0x2019,
                    "Verify and update MTP operation returned unknown MTP response code : 8217"},
        RefusalCase{2, 0x9178, 0x2005, "Verify and update MTP operation (0x9175) not supported"},
        RefusalCase{1, 0x9175, 0x2006,
                    "Verify and update MTP operation(0x9175) reported parameter not supported"}));

using MtpServiceVerifyFailureTest = MtpFlowFailureTest;

TEST_P(MtpServiceVerifyFailureTest, IsReportedAndRethrown) {
    const std::string device = "Verify and update failed due to device exception: ";
    const std::string rows[] = {
        "preverification|cancelled|401|",
        "preverification|error|KV300008|" + device + "USB communication error",
        "preverification|error|VE000001|Verify failed due to general errorGeneral error when "
        "executing MTP provider function",
        "preverification|error|KV100001|" + device + "cable pulled",
        "preverification|error|VE000001|Verify failed due to general errorsink full",
        "preverification|error|VE000001|Verify and update failed due to general (...) exception",
    };
    const auto record = update(1);
    transferred(*record);
    inject(faults[GetParam()], 0x9170);
    expectReportedAndRethrown([&] { service.verifyAndUpdate(*record, identifiers); },
                              {"preverification", "install"}, {rows[GetParam()]},
                              "Sending verify failed tracking event due to client cancelled");
}

INSTANTIATE_TEST_SUITE_P(Faults, MtpServiceVerifyFailureTest,
                         ::testing::Range<size_t>(0, faults.size()));

}  // namespace
}  // namespace kvinternal
