// The library's block allocator: 32-byte aligned blocks with two bytes of bookkeeping in front.
#pragma once

#include <cstdint>

// Null for 0, 0xFFFFFFFF or no memory. The byte before the block holds its distance from the
// start of the allocation (33..64), the byte before that the kind (0 heap, 3 installed).
void* TorvexMemAlloc(uint32_t size);
void TorvexMemFree(void* block);

// An embedding program may install its own pair. The allocate function returns null to say
// "use the private heap" and all ones for failure. Pass nulls to remove the pair.
// Fault injection, built in every configuration so that the default build's tests use it: after
// TorvexMemFailAt(n) the nth allocation from then on fails as if memory had run out (once);
// 0 turns it off. TorvexMemAllocations counts the allocations asked for since the last
// TorvexMemFailAt, so a test can loop n from 1 until the fault is no longer reached.
void TorvexMemFailAt(uint64_t n);
uint64_t TorvexMemAllocations();

using TorvexAllocFn = void* (*)(uint32_t size);
using TorvexFreeFn = void (*)(void* allocation);
void TorvexMemSetAllocator(TorvexAllocFn allocate, TorvexFreeFn release);
