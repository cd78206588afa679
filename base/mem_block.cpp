#include "base/mem_block.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kroutil/kro_timer.h"

namespace {

constexpr uint8_t kKindHeap = 0;
constexpr uint8_t kKindInstalled = 3;

struct AllocatorState {
    TorvexAllocFn allocate = nullptr;
    TorvexFreeFn release = nullptr;
};
AllocatorState allocator;

}  // namespace

namespace {
std::atomic<uint64_t> faultAt{0}, allocations{0};
}  // namespace

void TorvexMemFailAt(uint64_t n) {
    allocations = 0;
    faultAt = n;
}
uint64_t TorvexMemAllocations() { return allocations.load(); }

void* TorvexMemAlloc(uint32_t size) {
    if (size == 0 || size == 0xFFFFFFFFu) return nullptr;
    if (uint64_t n = ++allocations; n == faultAt.load(std::memory_order_relaxed)) return nullptr;
    size_t total = size_t(size) + 64;  // no wrap: computed in the wider type
    uint8_t kind = kKindHeap;
    void* raw = nullptr;
    if (allocator.allocate) {
        // The installed function counts in 32 bits; sizes it cannot express go to the heap.
        raw = total <= 0xFFFFFFFFu ? allocator.allocate(uint32_t(total)) : nullptr;
        if (raw == reinterpret_cast<void*>(~uintptr_t(0))) return nullptr;
        if (raw) kind = kKindInstalled;
    }
    if (!raw) raw = std::malloc(total);
    if (!raw) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    uint8_t offset = uint8_t(64 - (start % 32));  // 33..64
    uint8_t* block = static_cast<uint8_t*>(raw) + offset;
    block[-1] = offset;
    block[-2] = kind;
    if (kind == kKindInstalled) std::memcpy(block - 12, &allocator.release, sizeof(TorvexFreeFn));
    return block;
}

void TorvexMemFree(void* p) {
    if (!p) return;
    uint8_t* block = static_cast<uint8_t*>(p);
    uint8_t* raw = block - block[-1];
    if (block[-2] == kKindInstalled) {
        TorvexFreeFn release;
        std::memcpy(&release, block - 12, sizeof release);
        if (release) release(raw);
        return;
    }
    std::free(raw);
}

void TorvexMemSetAllocator(TorvexAllocFn allocate, TorvexFreeFn release) {
    allocator.allocate = allocate;
    allocator.release = release;
}

extern "C" KRO_API void* utilmalloc(uint32_t size) { return TorvexMemAlloc(size); }
extern "C" KRO_API void utilfree(void* block) { TorvexMemFree(block); }
