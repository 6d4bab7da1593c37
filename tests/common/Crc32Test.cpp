#include "common/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace kvinternal {
namespace {

TEST(Crc32Test, MatchesZlibOnRandomInputs) {
    std::mt19937 random(42);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(random() % 5000, '\0');
        for (auto& byte : bytes) {
            byte = static_cast<char>(random());
        }
        const auto expected =
            ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                    static_cast<uInt>(bytes.size()));
        ASSERT_EQ(crc32(bytes), static_cast<uint32_t>(expected)) << "length " << bytes.size();
    }
}

}  // namespace
}  // namespace kvinternal
