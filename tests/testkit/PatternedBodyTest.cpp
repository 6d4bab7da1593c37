#include "PatternedBody.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace kvtest {
namespace {

uint64_t littleEndianWord(const std::string& bytes) {
    uint64_t value = 0;
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) {
        value = value << 8 | static_cast<uint8_t>(*byte);
    }
    return value;
}

TEST(PatternedBodyTest, EachWordHoldsItsOwnOffset) {
    for (const uint64_t offset : {uint64_t{0}, uint64_t{8}, uint64_t{4096}, uint64_t{1} << 33,
                                  uint64_t{0x0102030405060708} & ~uint64_t{7}}) {
        EXPECT_EQ(littleEndianWord(PatternedBody::bytes(offset, 8)), offset);
    }
}

TEST(PatternedBodyTest, AnUnalignedPieceIsTheSameBytesAsInTheWhole) {
    const std::string whole = PatternedBody::bytes(0, 64);
    for (const auto& [offset, length] : {std::make_pair(3, 21), std::make_pair(8, 5),
                                         std::make_pair(13, 0), std::make_pair(1, 63)}) {
        EXPECT_EQ(PatternedBody::bytes(offset, length), whole.substr(offset, length))
            << offset << "+" << length;
    }
}

}  // namespace
}  // namespace kvtest
