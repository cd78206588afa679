// The library's block allocator: 32-byte aligned blocks with two bytes of bookkeeping in front.
#pragma once

#include <cstdint>

// Null for 0, 0xFFFFFFFF or no memory. The byte before the block holds its distance from the
// start of the allocation (33..64), the byte before that the kind (0 heap, 3 installed).
void* TorvexMemAlloc(uint32_t size);
void TorvexMemFree(void* block);

// An embedding program may install its own pair. The allocate function returns null to say
// "use the private heap" and all ones for failure. Pass nulls to remove the pair.
using TorvexAllocFn = void* (*)(uint32_t size);
using TorvexFreeFn = void (*)(void* allocation);
void TorvexMemSetAllocator(TorvexAllocFn allocate, TorvexFreeFn release);
