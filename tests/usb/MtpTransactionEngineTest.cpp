#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MtpTransactionEngine.h"
#include "ScriptedTransport.h"
#include "UsbTestSupport.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

using namespace std::chrono_literals;
using kvusb::Endpoint;
using kvusb::TransferStatus;
using MtpResult = kv::MtpProvider::MtpResult;

constexpr uint16_t getDeviceInfo = 0x1001;
constexpr uint16_t ok = 0x2001;
constexpr uint16_t busy = 0x2019;

// The engine on a scripted phone, with pauses recorded instead of slept.
struct Engine {
    explicit Engine(ScriptedTransport& transport, std::size_t chunkSize = 256 * 1024)
        : engine(transport, options(chunkSize)) {}

    kvusb::MtpTransactionEngine::Options options(std::size_t chunkSize) {
        kvusb::MtpTransactionEngine::Options options;
        options.chunkSize = chunkSize;
        options.statusPolls = 5;
        options.pause = [this](std::chrono::milliseconds pause) { pauses.push_back(pause); };
        return options;
    }

    std::vector<std::chrono::milliseconds> pauses;
    kvusb::MtpTransactionEngine engine;
};

struct InRow {
    const char* name;
    std::function<void(ScriptedTransport&)> phone;
    // Capacity of the buffer for the phone's data; 0 for none.
    uint64_t capacity;
    MtpResult result;
    uint16_t responseCode;
    std::vector<uint8_t> received;
    std::vector<uint32_t> cancels;
    std::vector<Endpoint> halts;
    std::size_t pauses;
    bool usable;
};

const std::vector<uint8_t> small = patterned(100);
const std::vector<uint8_t> wholePackets = patterned(1024 - 12);
const std::vector<uint8_t> large = patterned(700 * 1024 + 3);

class MtpTransactionEngineInTest : public ::testing::TestWithParam<InRow> {};

TEST_P(MtpTransactionEngineInTest, ReadsThePhonesContainersOrRecoversIt) {
    const InRow& row = GetParam();
    ScriptedTransport transport;
    row.phone(transport);
    Engine engine(transport);
    kvusb::VectorSink sink(row.capacity);
    const kvusb::MtpOutcome outcome =
        engine.engine.run({getDeviceInfo, {}, nullptr, row.capacity ? &sink : nullptr});

    EXPECT_EQ(outcome.result, row.result) << outcome.problem;
    if (row.result == MtpResult::Success) {
        EXPECT_EQ(outcome.responseCode, row.responseCode);
        EXPECT_EQ(sink.bytes(), row.received);
    } else {
        EXPECT_FALSE(outcome.problem.empty());
    }
    EXPECT_EQ(transport.cancelRequests(), row.cancels);
    EXPECT_EQ(transport.clearedHalts(), row.halts);
    EXPECT_EQ(engine.pauses.size(), row.pauses);
    EXPECT_EQ(engine.engine.usable(), row.usable);
    // The command went out whole, with the first transaction id.
    ASSERT_FALSE(transport.outTransfers().empty());
    EXPECT_EQ(transport.outTransfers().front(), containerBytes(1, getDeviceInfo, 0, {}));
}

using T = ScriptedTransport;
constexpr uint64_t buffer = 250000;
constexpr uint64_t mebibyte = 1 << 20;
const std::vector<uint32_t> cancelsFirst = {0};

// The first 300 KiB of a large data container: more than the engine's first read.
std::vector<uint8_t> firstPacketsOfLarge() {
    auto first = dataBytes(getDeviceInfo, 0, large);
    first.resize(300 * 1024);
    return first;
}

// A data container's header alone, as some phones send it ahead of the data.
std::vector<uint8_t> headerOf(const std::vector<uint8_t>& payload,
                              std::optional<uint32_t> lengthField = std::nullopt) {
    auto header = dataBytes(getDeviceInfo, 0, payload, lengthField);
    header.resize(12);
    return header;
}

// clang-format off
const InRow inRows[] = {
    {"ResponseOnly", [](T& t) { t.sends(responseBytes(0x2005, 0)); },
     0, MtpResult::Success, 0x2005, {}, {}, {}, 0, true},
    {"ShortData",
     [](T& t) { t.sends(dataBytes(getDeviceInfo, 0, small)).sends(responseBytes(ok, 0)); },
     buffer, MtpResult::Success, ok, small, {}, {}, 0, true},
    {"WholePacketsThenZeroLengthPacket",
     [](T& t) {
         t.sends(dataBytes(getDeviceInfo, 0, wholePackets)).zeroLengthPacket()
             .sends(responseBytes(ok, 0));
     },
     buffer, MtpResult::Success, ok, wholePackets, {}, {}, 0, true},
    {"ResponseInTheTransferThatEndsTheData",
     [](T& t) { t.sends(dataBytes(getDeviceInfo, 0, wholePackets)).sends(responseBytes(ok, 0)); },
     buffer, MtpResult::Success, ok, wholePackets, {}, {}, 0, true},
    {"HeaderAloneThenTheData",
     [](T& t) { t.sends(headerOf(large)).sends(large).sends(responseBytes(ok, 0)); },
     mebibyte, MtpResult::Success, ok, large, {}, {}, 0, true},
    {"HeaderAloneThenWholePacketsAndTheResponse",
     [](T& t) {
         t.sends(headerOf(patterned(1024))).sends(patterned(1024)).sends(responseBytes(ok, 0));
     },
     buffer, MtpResult::Success, ok, patterned(1024), {}, {}, 0, true},
    {"HeaderAloneWithUnknownLength",
     [](T& t) {
         t.sends(headerOf(large, 0xFFFFFFFF)).sends(large).sends(responseBytes(ok, 0));
     },
     mebibyte, MtpResult::Success, ok, large, {}, {}, 0, true},
    {"DataOverSeveralChunks",
     [](T& t) { t.sends(dataBytes(getDeviceInfo, 0, large)).sends(responseBytes(ok, 0)); },
     mebibyte, MtpResult::Success, ok, large, {}, {}, 0, true},
    {"ResponseBeforeTheDataPhase", [](T& t) { t.sends(responseBytes(0x2006, 0)); },
     buffer, MtpResult::Success, 0x2006, {}, {}, {}, 0, true},
    {"UnknownLengthOverFourGibibytesEndsWithAShortPacket",
     [](T& t) {
         t.sends(dataBytes(getDeviceInfo, 0, large, 0xFFFFFFFF)).sends(responseBytes(ok, 0));
     },
     mebibyte, MtpResult::Success, ok, large, {}, {}, 0, true},
    {"UnknownLengthBeyondTheBuffer",
     [](T& t) { t.sends(dataBytes(getDeviceInfo, 0, large, 0xFFFFFFFF)); },
     buffer, MtpResult::NotEnoughMemory, 0, {}, cancelsFirst, {}, 0, true},
    {"AnnouncedMoreThanTheBuffer", [](T& t) { t.sends(dataBytes(getDeviceInfo, 0, small)); },
     99, MtpResult::NotEnoughMemory, 0, {}, cancelsFirst, {}, 0, true},
    {"DataWhereNoneIsExpected", [](T& t) { t.sends(dataBytes(getDeviceInfo, 0, small)); },
     0, MtpResult::NotEnoughMemory, 0, {}, cancelsFirst, {}, 0, true},
    {"ResponseOfAnotherTransaction", [](T& t) { t.sends(responseBytes(ok, 1)); },
     0, MtpResult::UsbResponseError, 0, {}, cancelsFirst, {}, 0, true},
    {"DataOfAnotherTransaction", [](T& t) { t.sends(dataBytes(getDeviceInfo, 7, small)); },
     buffer, MtpResult::UsbReadDataError, 0, {}, cancelsFirst, {}, 0, true},
    {"EventWhereTheResponseBelongs", [](T& t) { t.sends(containerBytes(4, 0x4002, 0, {})); },
     0, MtpResult::UsbResponseError, 0, {}, cancelsFirst, {}, 0, true},
    {"DataCutShort",
     [](T& t) {
         auto cut = dataBytes(getDeviceInfo, 0, large);
         cut.resize(5000);
         t.sends(cut).sends(responseBytes(ok, 0));
     },
     mebibyte, MtpResult::UsbReadDataError, 0, {}, cancelsFirst, {}, 0, true},
    {"BytesAfterTheDataThatMakeNoResponse",
     [](T& t) {
         auto longer = dataBytes(getDeviceInfo, 0, small);
         longer.insert(longer.end(), 20, 0xEE);
         t.sends(longer);
     },
     buffer, MtpResult::UsbResponseError, 0, {}, cancelsFirst, {}, 0, true},
    {"FewerBytesThanAHeader", [](T& t) { t.sends({1, 2, 3, 4, 5, 6}); },
     0, MtpResult::UsbResponseError, 0, {}, cancelsFirst, {}, 0, true},
    {"TwoZeroLengthPacketsBeforeTheResponse",
     [](T& t) { t.zeroLengthPacket().zeroLengthPacket().sends(responseBytes(0x2005, 0)); },
     0, MtpResult::Success, 0x2005, {}, {}, {}, 0, true},
    {"ZeroLengthPacketsOnly",
     [](T& t) { t.zeroLengthPacket().zeroLengthPacket().zeroLengthPacket(); },
     0, MtpResult::UsbResponseError, 0, {}, cancelsFirst, {}, 0, true},
    {"StallOfTheInEndpoint", [](T& t) { t.failsIn(TransferStatus::Stall); },
     buffer, MtpResult::UsbResponseError, 0, {}, {}, {Endpoint::BulkIn}, 0, true},
    {"StallMidData", [](T& t) { t.sends(firstPacketsOfLarge()).failsIn(TransferStatus::Stall); },
     mebibyte, MtpResult::UsbReadDataError, 0, {}, {}, {Endpoint::BulkIn}, 0, true},
    {"HaltsListedByTheStatusAreCleared",
     [](T& t) { t.failsIn(TransferStatus::Timeout).statusCodes({ok}, {0x81, 0x02}); },
     0, MtpResult::UsbCommunicationError, 0, {}, cancelsFirst,
     {Endpoint::BulkIn, Endpoint::BulkOut}, 0, true},
    {"Timeout", [](T& t) { t.failsIn(TransferStatus::Timeout); },
     0, MtpResult::UsbCommunicationError, 0, {}, cancelsFirst, {}, 0, true},
    {"CancelAnsweredLate",
     [](T& t) { t.failsIn(TransferStatus::Interrupted).statusCodes({busy, busy, busy}); },
     0, MtpResult::Cancelled, 0, {}, cancelsFirst, {}, 3, true},
    {"CancelNeverAnswered",
     [](T& t) {
         t.failsIn(TransferStatus::Interrupted).statusCodes({busy, busy, busy, busy, busy});
     },
     0, MtpResult::Cancelled, 0, {}, cancelsFirst, {}, 4, false},
    {"UnpluggedMidData",
     [](T& t) { t.sends(firstPacketsOfLarge()).failsIn(TransferStatus::NoDevice); },
     mebibyte, MtpResult::DeviceDisconnected, 0, {}, {}, {}, 0, false},
    {"Overflow", [](T& t) { t.failsIn(TransferStatus::Overflow); },
     0, MtpResult::UsbResponseError, 0, {}, cancelsFirst, {}, 0, true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Script, MtpTransactionEngineInTest, ::testing::ValuesIn(inRows),
                         [](const ::testing::TestParamInfo<InRow>& info) {
                             return std::string(info.param.name);
                         });

// The OUT transfers of a data phase: all but the last are whole packets, and a zero-length
// packet follows when the container is made of whole packets.
TEST(MtpTransactionEngineOutTest, DataPhasesEndWithAShortOrAZeroLengthPacket) {
    struct Row {
        std::size_t payload;
        bool zeroLengthPacket;
    };
    for (const Row& row : {Row{0, false}, Row{100, false}, Row{500, true}, Row{1012, true},
                           Row{300 * 1024, false}, Row{512 * 1024 - 12, true}}) {
        ScriptedTransport transport;
        transport.sends(responseBytes(ok, 0));
        Engine engine(transport, 64 * 1024);
        const auto payload = patterned(row.payload, 3);
        kvusb::MemorySource source(payload);
        const auto outcome = engine.engine.run({0x9178, {1, 2, 3}, &source, nullptr});
        ASSERT_EQ(outcome.result, MtpResult::Success) << outcome.problem;

        auto transfers = transport.outTransfers();
        ASSERT_GE(transfers.size(), 2u);
        EXPECT_EQ(
            transfers.front(),
            containerBytes(1, 0x9178, 0, MtpDatasetWriter().uint32(1).uint32(2).uint32(3).bytes()));
        EXPECT_EQ(transfers.back().empty(), row.zeroLengthPacket) << row.payload;
        std::vector<uint8_t> sent;
        for (std::size_t i = 1; i < transfers.size(); ++i) {
            if (i + 1 < transfers.size()) {
                EXPECT_EQ(transfers[i].size() % 512, 0u) << row.payload << " transfer " << i;
                EXPECT_LE(transfers[i].size(), 64u * 1024);
            }
            sent.insert(sent.end(), transfers[i].begin(), transfers[i].end());
        }
        EXPECT_EQ(sent, dataBytes(0x9178, 0, payload)) << row.payload;
    }
}

// A source that claims more than 4 GiB and fails after its first piece: the header says
// "unknown length", and the phone is told to cancel the transaction.
class HugeSource : public kvusb::DataSource {
public:
    uint64_t size() const override { return 5ull << 30; }
    bool read(uint8_t* into, std::size_t length) override {
        std::fill(into, into + length, 0x5A);
        return reads_++ == 0;
    }

private:
    int reads_ = 0;
};

TEST(MtpTransactionEngineOutTest, OverFourGibibytesIsAnnouncedAsUnknownLength) {
    ScriptedTransport transport;
    Engine engine(transport);
    HugeSource source;
    const auto outcome = engine.engine.run({0x100D, {}, &source, nullptr});
    EXPECT_EQ(outcome.result, MtpResult::GeneralError);
    const auto transfers = transport.outTransfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[1].size(), 256u * 1024);
    EXPECT_EQ(std::vector<uint8_t>(transfers[1].begin(), transfers[1].begin() + 12),
              containerBytes(2, 0x100D, 0, {}, 0xFFFFFFFF));
    EXPECT_EQ(transport.cancelRequests(), std::vector<uint32_t>{0});
}

TEST(MtpTransactionEngineOutTest, StallOfTheOutEndpointIsClearedAndReported) {
    ScriptedTransport transport;
    transport.failsOut(2, TransferStatus::Stall);
    Engine engine(transport, 4096);
    const auto payload = patterned(20000);
    kvusb::MemorySource source(payload);
    const auto outcome = engine.engine.run({0x100D, {}, &source, nullptr});
    EXPECT_EQ(outcome.result, MtpResult::UsbDataError);
    EXPECT_EQ(transport.clearedHalts(), std::vector<Endpoint>{Endpoint::BulkOut});
    EXPECT_TRUE(transport.cancelRequests().empty());
    EXPECT_EQ(transport.statusRequests(), 1);
}

// OpenSession carries transaction id 0 each time (also when a session is opened again), the
// operations after it 1, 2 and so on; the phone's answer is awaited for 10 minutes after the
// install operations and for a minute after the others.
TEST(MtpTransactionEngineOutTest, TransactionIdsAndResponseWaitsFollowTheOperation) {
    struct Row {
        uint16_t code;
        uint32_t transactionId;
        std::chrono::milliseconds wait;
    };
    const Row rows[] = {{getDeviceInfo, 0, 60s}, {0x1002, 0, 60s},  {0x9187, 1, 60s},
                        {0x9170, 2, 600s},       {0x9171, 3, 600s}, {0x1002, 0, 60s},
                        {0x1003, 1, 60s},        {0x1002, 0, 60s},  {0x9178, 1, 600s},
                        {0x9175, 2, 600s},       {0x100D, 3, 60s}};
    ScriptedTransport transport;
    for (const Row& row : rows) {
        transport.sends(responseBytes(ok, row.transactionId));
    }
    Engine engine(transport);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(engine.engine.run({row.code, {}, nullptr, nullptr}).result, MtpResult::Success);
        EXPECT_EQ(lastOf(transport.outTransfers()),
                  containerBytes(1, row.code, row.transactionId, {}));
        EXPECT_EQ(lastOf(transport.inTimeouts()), row.wait);
    }
}

// Past the last id a transaction may carry, 0xFFFFFFFE, the count starts again at 1.
TEST(MtpTransactionEngineOutTest, TransactionIdsWrapToOneBeforeTheInvalidId) {
    kvusb::TransactionIds ids(0xFFFFFFFD);
    const std::vector<uint32_t> taken{ids.take(getDeviceInfo), ids.take(getDeviceInfo),
                                      ids.take(getDeviceInfo)};
    EXPECT_EQ(taken, (std::vector<uint32_t>{0xFFFFFFFD, 0xFFFFFFFE, 1}));
}

// A cancel from another thread ends a transfer that the phone would never finish: a data phase
// it stops taking, and the ten-minute wait for verify-and-update's answer.
TEST(MtpTransactionEngineConcurrencyTest, InterruptFromAnotherThreadCancelsTheTransaction) {
    for (const bool awaitingTheAnswer : {false, true}) {
        SCOPED_TRACE(awaitingTheAnswer);
        ScriptedTransport transport;
        if (awaitingTheAnswer) {
            transport.blocksIn();
        } else {
            transport.blocksOut(3);
        }
        transport.statusCodes({busy});
        Engine engine(transport, 4096);
        const auto payload = patterned(50000);
        kvusb::MemorySource source(payload);
        std::thread canceller([&] {
            transport.waitUntilBlocked();
            transport.interrupt();
        });
        const auto outcome = engine.engine.run(
            awaitingTheAnswer ? kvusb::MtpOperation{0x9170, {1}, nullptr, nullptr}
                              : kvusb::MtpOperation{0x100D, {}, &source, nullptr});
        canceller.join();
        EXPECT_EQ(outcome.result, MtpResult::Cancelled);
        EXPECT_EQ(transport.cancelRequests(), std::vector<uint32_t>{0});
        EXPECT_EQ(transport.statusRequests(), 2);
        EXPECT_TRUE(engine.engine.usable());
    }
}

}  // namespace
}  // namespace kvtest
