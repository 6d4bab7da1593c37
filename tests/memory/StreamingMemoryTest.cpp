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

}  // namespace
}  // namespace kvtest
