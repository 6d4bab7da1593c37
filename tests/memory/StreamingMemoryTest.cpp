#include <string>
#include <utility>

#include "HeapCounter.h"
#include "e2e/UpdateExecutionFixture.h"

namespace kvtest {
namespace {

constexpr uint64_t largePackage = 64ull << 20;
constexpr std::size_t heapLimit = 16u << 20;

class StreamingMemoryTest : public UpdateExecutionTest {};

// The package is streamed through fixed buffers on its way to disk and to the phone, never held.
TEST_F(StreamingMemoryTest, LargePackageMovesWithinABoundedHeap) {
    phone->setTransferMode(SimulatedPhone::TransferMode::DigestOnly);
    const std::string updateId = offerPackage(SimulatedPackage::example("pkg", largePackage));
    ASSERT_FALSE(updateId.empty());

    const std::size_t before = HeapCounter::inUse();
    HeapCounter::resetPeak();
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
    EXPECT_LT(HeapCounter::peak() - before, heapLimit);

    const auto stored = phone->storedObject(firstObjectHandle);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->size, largePackage);
    EXPECT_EQ(stored->sha256, server->packageHash("pkg"));
}

// State files cost a bounded heap whatever they hold: one of millions of tiny values is refused
// before it is parsed, and the largest that is parsed, about 150,000 values in 16 MiB, stays
// well within bounds.
TEST_F(StreamingMemoryTest, StateFilesCostABoundedHeapWhateverTheyHold) {
    constexpr std::size_t stateHeapLimit = 64u << 20;
    std::string tinyValues = "[0";
    while (tinyValues.size() < kvinternal::platform::maximumStateFileSize - 2) {
        tinyValues += ",0";
    }
    tinyValues += "]";
    std::string manyEntries = "{\"deltaFiles\":[";
    const std::string longUrl(900, 'u');
    for (int entry = 0; entry < 16000; ++entry) {
        manyEntries += std::string(entry == 0 ? "" : ",") + "{\"url\":\"" + longUrl +
                       std::to_string(entry) + "\",\"fileName\":\"f\",\"fileSize\":1}";
    }
    manyEntries += "]}";
    ASSERT_LE(manyEntries.size(), kvinternal::platform::maximumStateFileSize);
    for (const auto& [name, text] : {std::make_pair("identifiers.cache", tinyValues),
                                     std::make_pair("updatesessionids.cache", tinyValues),
                                     std::make_pair("deltafiles.cache", manyEntries)}) {
        ASSERT_TRUE(kvinternal::platform::writeFileAtomically(workingDirectory.file(name), text));
    }
    tinyValues.clear();
    tinyValues.shrink_to_fit();
    manyEntries.clear();
    manyEntries.shrink_to_fit();

    const std::size_t before = HeapCounter::inUse();
    HeapCounter::resetPeak();
    openSession();
    EXPECT_LT(HeapCounter::peak() - before, stateHeapLimit);
    EXPECT_EQ(logger->messagesContaining("values a state file may hold").size(), 2u);
    EXPECT_TRUE(kvinternal::platform::fileSize(workingDirectory.file("deltafiles.cache")));
}

}  // namespace
}  // namespace kvtest
