#include "HeapCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Every allocation of this test program carries its size in a header, so that the counter can
// follow the bytes in use and their peak.
namespace {

constexpr std::size_t headerSize = alignof(std::max_align_t);

std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

void* allocate(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + headerSize));
    if (!block) {
        throw std::bad_alloc();
    }
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t now = inUse.fetch_add(size) + size;
    std::size_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return block + headerSize;
}

void release(void* pointer) noexcept {
    if (!pointer) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - headerSize;
    inUse.fetch_sub(*reinterpret_cast<std::size_t*>(block));
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* pointer) noexcept {
    release(pointer);
}
void operator delete[](void* pointer) noexcept {
    release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    release(pointer);
}

namespace kvtest {

std::size_t HeapCounter::inUse() {
    return ::inUse.load();
}

void HeapCounter::resetPeak() {
    ::peak.store(::inUse.load());
}

std::size_t HeapCounter::peak() {
    return ::peak.load();
}

}  // namespace kvtest
