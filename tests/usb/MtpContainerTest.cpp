#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "MtpContainer.h"
#include "MtpDatasets.h"
#include "UsbTestSupport.h"

namespace kvtest {
namespace {

using namespace kvusb;

TEST(MtpContainerTest, CommandCarriesItsHeaderAndParametersLittleEndian) {
    const auto bytes = MtpContainer::encode(ContainerType::Command, 0x1007, 0x01020304,
                                            {0x00010001, 0, 0xFFFFFFFF, 4, 5});
    EXPECT_EQ(bytes, containerBytes(1, 0x1007, 0x01020304,
                                    MtpDatasetWriter()
                                        .uint32(0x00010001)
                                        .uint32(0)
                                        .uint32(0xFFFFFFFF)
                                        .uint32(4)
                                        .uint32(5)
                                        .bytes()));
    EXPECT_THROW(MtpContainer::encode(ContainerType::Command, 1, 1, {1, 2, 3, 4, 5, 6}),
                 ProtocolError);
}

TEST(MtpContainerTest, DataHeaderSaysUnknownLengthFromFourGibibytesOn) {
    struct Row {
        uint64_t payload;
        uint32_t lengthField;
    };
    for (const Row& row : {Row{0, 12}, Row{100, 112}, Row{0xFFFFFFF2ull, 0xFFFFFFFE},
                           Row{0xFFFFFFF3ull, 0xFFFFFFFF}, Row{(5ull << 30) + 1, 0xFFFFFFFF}}) {
        const auto header = MtpContainer::dataHeader(0x100D, 9, row.payload);
        EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()),
                  containerBytes(2, 0x100D, 9, {}, row.lengthField))
            << row.payload;
    }
}

TEST(MtpContainerTest, ParametersAreReadOnlyFromAWholeWellFormedContainer) {
    const auto response = responseBytes(0x2001, 4, {7, 8});
    EXPECT_EQ(MtpContainer::decodeParameters(response.data(), response.size()),
              (std::vector<uint32_t>{7, 8}));
    const ContainerHeader header = MtpContainer::decodeHeader(response.data(), response.size());
    EXPECT_EQ(header.length, 20u);
    EXPECT_EQ(header.type, 3);
    EXPECT_EQ(header.code, 0x2001);
    EXPECT_EQ(header.transactionId, 4u);

    auto oddLength = responseBytes(0x2001, 4, {7});
    oddLength.push_back(0);
    oddLength[0] = static_cast<uint8_t>(oddLength.size());
    const auto sixParameters = responseBytes(0x2001, 4, {1, 2, 3, 4, 5, 6});
    auto lengthDisagrees = responseBytes(0x2001, 4, {7});
    lengthDisagrees[0] = 20;
    auto lengthTooSmall = responseBytes(0x2001, 4);
    lengthTooSmall[0] = 11;
    for (const auto& bad : {oddLength, sixParameters, lengthDisagrees, lengthTooSmall,
                            std::vector<uint8_t>(response.begin(), response.begin() + 11)}) {
        EXPECT_THROW(MtpContainer::decodeParameters(bad.data(), bad.size()), ProtocolError);
    }
    // A header that announces less than itself would make its payload's length wrap.
    EXPECT_THROW(MtpContainer::decodeHeader(lengthTooSmall.data(), lengthTooSmall.size()),
                 ProtocolError);
}

TEST(MtpDatasetsTest, ObjectInfoRoundTripsAndATruncatedOneIsRefused) {
    const ObjectInfo info{0x00010001, MtpDatasets::formatUndefined, 123456, 0x103,
                          u"update_package"};
    const auto bytes = MtpDatasets::encodeObjectInfo(info);
    const ObjectInfo read = MtpDatasets::decodeObjectInfo(bytes);
    EXPECT_EQ(read.storageId, info.storageId);
    EXPECT_EQ(read.format, info.format);
    EXPECT_EQ(read.compressedSize, info.compressedSize);
    EXPECT_EQ(read.parent, info.parent);
    EXPECT_EQ(read.filename, info.filename);
    // The filename's count promises more code units than remain.
    EXPECT_THROW(MtpDatasets::decodeObjectInfo({bytes.begin(), bytes.begin() + 60}),
                 std::invalid_argument);
    EXPECT_THROW(MtpDatasets::encodeObjectInfo({0, 0, 0, 0, std::u16string(255, u'a')}),
                 std::invalid_argument);
}

TEST(MtpDatasetsTest, ArraysMustHoldWhatTheirCountPromises) {
    EXPECT_EQ(
        MtpDatasets::decodeUint32Array(MtpDatasetWriter().uint32(2).uint32(5).uint32(6).bytes()),
        (std::vector<uint32_t>{5, 6}));
    EXPECT_THROW(MtpDatasets::decodeUint32Array(MtpDatasetWriter().uint32(3).uint32(5).bytes()),
                 std::invalid_argument);
    EXPECT_THROW(MtpDatasets::decodeUint32Array({1, 0}), std::invalid_argument);
    EXPECT_THROW(MtpDatasets::decodeUint32Array(MtpDatasetWriter().uint32(0x40000000).bytes()),
                 std::invalid_argument);
}

TEST(MtpDatasetsTest, PathsAreConvertedFromUtf8AndMalformedBytesRefused) {
    EXPECT_EQ(MtpDatasets::utf16("recovery"), u"recovery");
    EXPECT_EQ(MtpDatasets::utf16("\xC3\xA9t\xE2\x82\xAC"), u"\u00E9t\u20AC");
    EXPECT_EQ(MtpDatasets::utf16("\xF0\x9F\x93\xB1"), std::u16string({0xD83D, 0xDCF1}));
    for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xFF", "a\xC3("}) {
        EXPECT_THROW(MtpDatasets::utf16(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace kvtest
