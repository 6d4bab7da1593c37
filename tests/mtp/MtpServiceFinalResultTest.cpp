#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "MockMtpProvider.h"
#include "MtpDatasetWriter.h"
#include "MtpFlowFixture.h"

namespace kvinternal {
namespace {

using FotaStatus = kvtest::SimulatedPhone::FotaStatus;
using ::testing::_;
using ::testing::Invoke;

class MtpServiceFinalResultTest : public MtpFlowFixture {
protected:
    std::shared_ptr<kv::Kavrin::FinalResult> finalResult(MtpService& mtp) {
        std::shared_ptr<kv::Kavrin::FinalResult> result;
        mtp.getFinalResult(*record, identifiers, result);
        return result;
    }

    std::shared_ptr<InternalUpdateMetadata> record = update(1);
};

// The phone's answer, then success, result code and the install event.
using AgentCase = std::tuple<FotaStatus, bool, uint32_t, std::string>;

class MtpServiceAgentResultTest : public MtpServiceFinalResultTest,
                                  public ::testing::WithParamInterface<AgentCase> {};

TEST_P(MtpServiceAgentResultTest, BecomesTheFinalResultAndItsInstallReport) {
    const auto& [status, success, resultCode, event] = GetParam();
    phone->setFotaStatus(status);
    const auto result = finalResult(service);

    EXPECT_EQ(result->success, success);
    EXPECT_EQ(result->resultCode, resultCode);
    EXPECT_EQ(events({"install"}), std::vector<std::string>{event});
    const std::string report = event.substr(event.rfind('|') + 1);
    EXPECT_EQ(logger->contains(Channel::Verbose, "Report from Update Agent: " + report),
              !report.empty());
}

const std::string parseFailure = "Failed to parse short report data: ";

INSTANTIATE_TEST_SUITE_P(
    Answers, MtpServiceAgentResultTest,
    ::testing::Values(
        AgentCase{{0x2001, std::nullopt, {}}, false, 240, "install|error|409|"},
        AgentCase{{0x2001, std::nullopt, kvtest::MtpDatasetWriter().longString(u"no").bytes()},
                  false,
                  240,
                  "install|error|409|no"},
        AgentCase{FotaStatus::withReport(0, "Update OK \xE2\x9C\x93"), true, 0,
                  "install|ok||Update OK \xE2\x9C\x93"},
        AgentCase{FotaStatus::withReport(7, "UA: flash write failed"), false, 7,
                  "install|error|UA000007|UA: flash write failed"},
        AgentCase{{0x2001, 0xFFFFFFFF, {}}, false, 0xFFFFFFFF, "install|error|UA4294967295|"},
        // A count of 10 code units, of which 2 arrived.
        AgentCase{
            {0x2001, 0, kvtest::MtpDatasetWriter().uint32(10).uint16('o').uint16('k').bytes()},
            true,
            0,
            "install|ok||" + parseFailure +
                "Max data length is not sufficient for MTP longstring: 8 (24 needed)"},
        AgentCase{{0x2001, 3, {0x05, 0x00}},
                  false,
                  3,
                  "install|error|UA000003|" + parseFailure +
                      "Not enough data for reading MTP longstring length: 2"}));

TEST_F(MtpServiceFinalResultTest, RefusalsAreReportedAndThrownWithoutAResult) {
    const std::tuple<uint16_t, std::string> rows[] = {
        {0x2002, "Response general error for MTP operation read fota status (0x9171)"},
        {0x2005, "MTP operation read fota status (0x9171) not supported"},
        {0x2019, "Unknown new MTP response code for MTP operation read fota status(0x9171): 8217"},
    };
    std::vector<std::string> expected;
    for (const auto& [responseCode, message] : rows) {
        phone->setFotaStatus({responseCode, 0, {}});
        std::shared_ptr<kv::Kavrin::FinalResult> result;
        EXPECT_EQ(thrownBy([&] { service.getFinalResult(*record, identifiers, result); }),
                  illegalState(message));
        EXPECT_EQ(result, nullptr);
        expected.push_back("install|error|KV00" + std::to_string(responseCode) + "|" + message);
    }
    EXPECT_EQ(events({"install"}), expected);
}

using MtpServiceFinalResultFailureTest = MtpFlowFailureTest;

TEST_P(MtpServiceFinalResultFailureTest, IsReportedAndRethrown) {
    const std::string device = "install|error|KV300008|Install failed due to a device problem";
    const std::string rows[] = {
        "install|cancelled|401|",
        device + "USB communication error",
        "install|error|409|Install failed due to general errorGeneral error when executing MTP "
        "provider function",
        "install|error|KV100001|Install failed due to a device problemcable pulled",
        "install|error|409|Install failed due to general errorsink full",
        "install|error|409|Install failed due to general (...) error",
    };
    const auto record = update(1);
    inject(faults[GetParam()], 0x9171);
    std::shared_ptr<kv::Kavrin::FinalResult> result;
    expectReportedAndRethrown([&] { service.getFinalResult(*record, identifiers, result); },
                              {"install"}, {rows[GetParam()]},
                              "Sending install failed tracking event due to client cancellation");
    EXPECT_EQ(result, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Faults, MtpServiceFinalResultFailureTest,
                         ::testing::Range<size_t>(0, faults.size()));

// Answers the simulated phone never gives.
TEST_F(MtpServiceFinalResultTest, ImpossibleCountsReadNothingBeyondWhatIsThere) {
    const auto mock = std::make_shared<kvtest::MockMtpProvider>();
    MtpService mocked(Log(logger), mock, "mocked", currentProgress);
    const auto answer = [](uint16_t parameters, uint64_t dataLength) {
        return Invoke([=](auto&&, auto&&, auto&&, std::shared_ptr<MtpService::MtpResponse>& r) {
            *r = {0x2001, parameters, {0}, r->data, dataLength};
            return MtpResult::Success;
        });
    };
    EXPECT_CALL(*mock, execute("mocked", MtpService::responseBufferSize, _, _))
        .WillOnce(answer(9, 0))
        .WillOnce(answer(1, MtpService::responseBufferSize + 1));

    // More than five parameters: parameter 1 is still where it always is.
    const auto result = finalResult(mocked);
    EXPECT_TRUE(result->success);
    EXPECT_EQ(result->resultCode, 0u);
    // More data than the buffer holds is a malformed report, not a read past the buffer.
    EXPECT_TRUE(finalResult(mocked)->success);
    EXPECT_TRUE(logger->contains(Channel::Verbose, "Report from Update Agent: " + parseFailure +
                                                       "Received data length 250001 exceeds the "
                                                       "response buffer of 250000 bytes"));
}

TEST_F(MtpServiceFinalResultTest, FailingTrackingNeverStopsAFlow) {
    writePackage(*record);
    trackingLogger->onLine = [](const std::string&) { throw std::runtime_error("sink failed"); };
    transfer(service, *record);
    service.verifyAndUpdate(*record, identifiers);
    EXPECT_TRUE(finalResult(service)->success);

    EXPECT_TRUE(server->trackingDocuments().empty());
    EXPECT_EQ(
        logger->messages(Channel::Error),
        (std::vector<std::string>{
            "Could not send transfer tracking event", "Could not send transfer tracking event",
            "Could not send verify tracking event", "Could not send install tracking event",
            "Error when sending install tracking event with UA information"}));
}

}  // namespace
}  // namespace kvinternal
