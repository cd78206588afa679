/* The millisecond clock and the library's block allocator. */
#ifndef KROUTIL_KRO_TIMER_H
#define KROUTIL_KRO_TIMER_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

/* Milliseconds since the first call (which returns 0). Follows the system tick count when the
 * high-resolution counter drifts from it by more than 200 ms between two readings, and never
 * runs backwards. One thread at a time. */
KRO_API uint32_t KroTimerRead(void);

/* A block of at least size bytes, aligned to 32 bytes; null for 0, 0xFFFFFFFF or no memory.
 * Free it with utilfree only. */
KRO_API void* utilmalloc(uint32_t size);
/* Frees a block from utilmalloc; null is ignored. */
KRO_API void utilfree(void* block);

KRO_END_DECLS

#endif
