#include "store/Sha256Hasher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ReferenceCrypto.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

constexpr size_t mebibyte = 1048576;

std::string hashedInPieces(const std::string& data) {
    static const size_t pieces[] = {1, 3, 7, 13, 61, 64, 65, 127, 1000003};
    Sha256Hasher hasher;
    size_t offset = 0;
    for (size_t i = 0; offset < data.size(); ++i) {
        const size_t count = std::min(pieces[i % std::size(pieces)], data.size() - offset);
        hasher.update(reinterpret_cast<const uint8_t*>(data.data()) + offset, count);
        offset += count;
    }
    return toHex(hasher.finish());
}

std::string hashedAsStream(const std::string& data) {
    std::istringstream stream(data);
    return toHex(hashStream(stream));
}

std::string randomBytes(size_t count, std::mt19937& random) {
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

void expectAllWaysMatchTheReference(const std::string& data) {
    const auto expected = kvtest::referenceSha256Hex(data);
    EXPECT_EQ(hashedAsStream(data), expected) << "stream, length " << data.size();
    EXPECT_EQ(hashedInPieces(data), expected) << "pieces, length " << data.size();
}

using Engine = Sha256Hasher::Engine;

// Runs each test on one engine and puts the process-wide selection back afterwards. Every
// engine is checked against the reference, so the engines agree with each other as well.
class Sha256EngineTest : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        if (!Sha256Hasher::selectEngine(GetParam())) {
            GTEST_SKIP() << "this build or CPU has no x86 SHA extensions; the portable engine "
                            "is still checked";
        }
        ASSERT_EQ(Sha256Hasher::selectedEngine(), GetParam());
    }
    void TearDown() override { Sha256Hasher::selectEngine(initial_); }

private:
    const Engine initial_ = Sha256Hasher::selectedEngine();
};

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         ::testing::Values(Engine::Portable, Engine::X86ShaExtensions),
                         [](const auto& info) {
                             return info.param == Engine::Portable ? "Portable"
                                                                   : "X86ShaExtensions";
                         });

TEST_P(Sha256EngineTest, PublishedTestVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
         "qrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [message, digest] : vectors) {
        EXPECT_EQ(hashedAsStream(message), digest) << message.size();
        EXPECT_EQ(hashedInPieces(message), digest) << message.size();
    }
}

TEST_P(Sha256EngineTest, EveryShortLengthMatchesTheReference) {
    std::mt19937 random(4);
    for (size_t length = 0; length <= 300; ++length) {
        expectAllWaysMatchTheReference(randomBytes(length, random));
    }
}

TEST_P(Sha256EngineTest, StreamBufferBoundariesDoNotChangeTheDigest) {
    std::mt19937 random(5);
    const auto data = randomBytes(2 * mebibyte + 65, random);
    for (size_t length : {mebibyte - 65, mebibyte - 1, mebibyte, mebibyte + 1, mebibyte + 64,
                          2 * mebibyte, 2 * mebibyte + 65}) {
        expectAllWaysMatchTheReference(data.substr(0, length));
    }
}

// The flags the kernel reports for the first CPU: an independent reading of the cpuid bits.
// Empty when it reports none (not an x86 CPU).
std::set<std::string> cpuFlags() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            return {std::istream_iterator<std::string>(words), {}};
        }
    }
    return {};
}

TEST(Sha256HasherTest, AcceleratedEngineIsChosenExactlyWhenTheCpuHasIt) {
    const auto flags = cpuFlags();
    if (flags.empty()) {
        GTEST_SKIP() << "no x86 CPU flags in /proc/cpuinfo";
    }
    const bool cpuHasIt = flags.count("sha_ni") && flags.count("sse4_1") && flags.count("ssse3");
    EXPECT_EQ(Sha256Hasher::isAvailable(Engine::X86ShaExtensions), cpuHasIt);
    EXPECT_EQ(Sha256Hasher::selectedEngine(),
              cpuHasIt ? Engine::X86ShaExtensions : Engine::Portable);
}

TEST(Sha256HasherTest, HexIsLowercaseAndZeroFilled) {
    const uint8_t bytes[] = {0x00, 0x0a, 0xf0, 0xff, 0x5c};
    EXPECT_EQ(toHex(bytes, std::size(bytes)), "000af0ff5c");
    EXPECT_EQ(toHex(bytes, 0), "");
    EXPECT_EQ(toHex(Sha256Digest{}), std::string(64, '0'));
}

// Delivers a few bytes, then fails like a disk read error.
class FailingBuffer : public std::streambuf {
public:
    FailingBuffer() { setg(bytes_, bytes_, bytes_ + sizeof(bytes_)); }

protected:
    int_type underflow() override { throw std::runtime_error("read error"); }

private:
    char bytes_[100] = {};
};

TEST(Sha256HasherTest, StreamThatFailsIsNotHashed) {
    FailingBuffer buffer;
    std::istream failing(&buffer);
    EXPECT_THROW(hashStream(failing), IllegalStateException);

    std::istringstream failedBefore("abc");
    failedBefore.setstate(std::ios::failbit);
    EXPECT_THROW(hashStream(failedBefore), IllegalStateException);
}

}  // namespace
}  // namespace kvinternal
