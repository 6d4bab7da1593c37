#include "mtp/MtpCodec.h"

#include <gtest/gtest.h>

#include <limits>

#include "MtpDatasetWriter.h"
#include "SimulatedPhone.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

using Bytes = std::vector<uint8_t>;

struct ReadOutcome {
    std::u16string text;
    ptrdiff_t consumed;
};

ReadOutcome readString(const Bytes& bytes, uint64_t max, bool isLong) {
    const uint8_t* cursor = bytes.data();
    auto text = readMtpString(cursor, max, isLong);
    return {text, cursor - bytes.data()};
}

std::string failureOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const IllegalArgumentException& e) {
        return e.what();
    }
    return "no failure";
}

TEST(MtpCodecTest, ReadsStringsWithAndWithoutTerminator) {
    struct Case {
        Bytes bytes;
        bool isLong;
        std::u16string expected;
    };
    const Case cases[] = {
        {{3, 'A', 0, 'B', 0, 0, 0}, false, u"AB"},
        {{2, 'A', 0, 'B', 0}, false, u"AB"},
        {{1, 0, 0}, false, u""},
        {{2, 0, 0, 0, 0}, false, std::u16string(1, u'\0')},  // only the last 0 goes
        {{2, 0, 0, 0, 'x', 0, 0, 0}, true, u"x"},
        {{0, 0, 0, 0}, true, u""},
        {{1, 0xAC, 0x20}, false, u"\u20AC"},
    };
    for (const auto& c : cases) {
        const auto outcome = readString(c.bytes, c.bytes.size(), c.isLong);
        EXPECT_EQ(outcome.text, c.expected);
        EXPECT_EQ(outcome.consumed, static_cast<ptrdiff_t>(c.bytes.size()));
    }
}

TEST(MtpCodecTest, OneByteBoundYieldsEmptyTextAndConsumesNothing) {
    for (const bool isLong : {false, true}) {
        const auto outcome = readString({5}, 1, isLong);
        EXPECT_EQ(outcome.text, u"");
        EXPECT_EQ(outcome.consumed, 0);
    }
}

TEST(MtpCodecTest, RejectsStringsThatDoNotFitTheirBound) {
    struct Case {
        Bytes bytes;
        uint64_t max;
        bool isLong;
        const char* message;
    };
    const Case cases[] = {
        {{}, 0, false, "Max data length is set to 0!"},
        {{}, 0, true, "Max data length is set to 0!"},
        {{3, 0, 0}, 3, true, "Not enough data for reading MTP longstring length: 3"},
        {{3, 0, 0, 0, 1, 0, 2, 0, 3},
         9,
         true,
         "Max data length is not sufficient for MTP longstring: 9 (10 needed)"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0, 0},
         6,
         true,
         "Max data length is not sufficient for MTP longstring: 6 (8589934594 needed)"},
        {{5, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         10,
         false,
         "Max data length is not sufficient for MTP string: 10 (11 needed)"},
        {{5, 0}, 2, false, "Max data length is not sufficient for MTP string: 2 (11 needed)"},
        {{0xFF, 0, 0},
         3,
         false,
         "Max data length is not sufficient for MTP string: 3 (511 needed)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { readString(c.bytes, c.max, c.isLong); }), c.message);
    }
}

TEST(MtpCodecTest, ReadsArraysUpToTheExactFit) {
    const Bytes three{3, 0, 0, 0, 1, 0, 2, 0, 0x34, 0x12};
    const uint8_t* cursor = three.data();
    EXPECT_EQ(readArrayOfUint16(cursor, 10), (std::vector<uint16_t>{1, 2, 0x1234}));
    EXPECT_EQ(cursor, three.data() + 10);

    struct Case {
        Bytes bytes;
        uint64_t max;
        const char* message;
    };
    const Case cases[] = {
        {three, 9, "Max data length is not sufficient for reading array: 9"},
        {{0, 0, 0}, 3, "Max data length is not sufficient for reading array"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 1, 0},
         6,
         "Max data length is not sufficient for reading array: 6"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] {
                      const uint8_t* at = c.bytes.data();
                      readArrayOfUint16(at, c.max);
                  }),
                  c.message);
    }
}

TEST(MtpCodecTest, WritesLongStringWithItsByteLength) {
    EXPECT_EQ(writeLongString(u"ab"), (Bytes{8, 0, 0, 0, 0x61, 0, 0x62, 0}));
    EXPECT_EQ(writeLongString(u""), (Bytes{4, 0, 0, 0}));
    EXPECT_EQ(writeLongString(u"\u20AC"), (Bytes{6, 0, 0, 0, 0xAC, 0x20}));
    EXPECT_EQ(longStringByteLength(0x7FFFFFFD), 0xFFFFFFFEu);
    EXPECT_EQ(failureOf([] { longStringByteLength(0x7FFFFFFE); }),
              "Text is too long for an MTP longstring: 2147483646 code units");
    EXPECT_EQ(failureOf([] { longStringByteLength(std::numeric_limits<uint64_t>::max()); }),
              "Text is too long for an MTP longstring: 18446744073709551615 code units");
}

TEST(MtpCodecTest, ParsesTheDeviceInfoOfASimulatedPhone) {
    kvtest::SimulatedPhone phone(kvtest::SimulatedPhone::Kind::LegacyFota);
    const Bytes dataset = phone.deviceInfoDataset();
    const auto info = parseDeviceInfo(dataset.data(), dataset.size());
    EXPECT_EQ(info->standardVersion, 100);
    EXPECT_EQ(info->vendorExtensionId, 6u);
    EXPECT_EQ(info->mtpVersion, 100);
    EXPECT_EQ(info->mtpExtensions, u"kavrin.example: 1.0;");
    EXPECT_EQ(info->functionalMode, 0);
    ASSERT_GE(info->operationsSupported.size(), 2u);
    EXPECT_EQ(info->operationsSupported.front(), 0x1001);
    EXPECT_EQ(info->operationsSupported.back(), 0x9171);
    EXPECT_EQ(info->eventsSupported.size(), 4u);
    EXPECT_EQ(info->devicePropertiesSupported.size(), 2u);
    EXPECT_TRUE(info->captureFormats.empty());
    EXPECT_EQ(info->playbackFormats.size(), 6u);
    EXPECT_EQ(info->manufacturer, u"Kavrin Test Devices");
    EXPECT_EQ(info->model, u"Kestrel 5");
    EXPECT_EQ(info->deviceVersion, u"1.0");
    EXPECT_EQ(info->serialNumber, u"KT0123456789");
}

// Each prefix sits in a buffer of exactly its size, so a read past it shows under ASan.
TEST(MtpCodecTest, EveryTruncationParsesOrIsRejected) {
    const Bytes dataset = kvtest::SimulatedPhone().deviceInfoDataset();
    int parsed = 0;
    for (size_t length = 0; length <= dataset.size(); ++length) {
        const Bytes prefix(dataset.begin(), dataset.begin() + length);
        try {
            parseDeviceInfo(prefix.data(), prefix.size());
            ++parsed;
        } catch (const IllegalArgumentException&) {
        }
    }
    // The whole dataset, and the four cuts one byte into a trailing string: a one-byte bound reads
    // as an empty string, so that string and the ones after it come out empty.
    EXPECT_EQ(parsed, 5);
}

TEST(MtpCodecTest, RejectsMalformedDeviceInfo) {
    const auto header = [] { return kvtest::MtpDatasetWriter().uint16(100).uint32(6).uint16(100); };
    struct Case {
        Bytes bytes;
        const char* message;
    };
    const Case cases[] = {
        {Bytes(8, 0), "Data length is not enough for creating a valid device info"},
        {Bytes(2, 0), "Data length is not enough for creating a valid device info"},
        {header().mtpString(u"x").bytes(),
         "Data length is not enough for reading the functional mode: 0 bytes left (2 needed)"},
        {header().uint8(0).uint8(0).bytes(),
         "Data length is not enough for reading the functional mode: 1 bytes left (2 needed)"},
        {header().uint8(0).uint16(0).uint32(0xFFFFFFFF).bytes(),
         "Max data length is not sufficient for reading array: 4"},
        {header().uint8(0).uint16(0).array({1, 2}).uint32(3).uint16(0).bytes(),
         "Max data length is not sufficient for reading array: 6"},
        {header().uint8(9).uint16(0).bytes(),
         "Max data length is not sufficient for MTP string: 3 (19 needed)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { parseDeviceInfo(c.bytes.data(), c.bytes.size()); }), c.message);
    }
    EXPECT_EQ(failureOf([] { parseDeviceInfo(nullptr, 0); }),
              "Data length is not enough for creating a valid device info");
}

}  // namespace
}  // namespace kvinternal
