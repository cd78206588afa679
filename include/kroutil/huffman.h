/* The Huffman encoder: builds a code for one block of counted values, writes the tree stream
 * into a bit file and then each value's code.
 *
 * Per block: HuffInitStats, HuffAddStat for every value in order, HuffStartEncode, then
 * HuffEncode for the same values in the same order. HuffSetOutput precedes the first
 * HuffStartEncode. The encoders share process-wide work arrays: HuffStartEncode calls must not
 * overlap across threads. */
#ifndef KROUTIL_HUFFMAN_H
#define KROUTIL_HUFFMAN_H

#include <stdint.h>

#include "kroutil/export.h"
#include "kroutil/kro_file.h"

KRO_BEGIN_DECLS

typedef struct HuffEncoder HuffEncoder;

/* byteSymbols non-zero: values 0..255; zero: 16-bit values with three escape slots for the last
 * three values and two byte sub-encoders for the tree's symbols. Null when memory runs out. */
KRO_API HuffEncoder* HuffOpen(int32_t byteSymbols);
KRO_API void HuffSetOutput(HuffEncoder* h, KroFile* output);
KRO_API void HuffClose(HuffEncoder* h);
KRO_API void HuffInitStats(HuffEncoder* h);
KRO_API void HuffInitLasts(HuffEncoder* h);
KRO_API void HuffAddStat(HuffEncoder* h, uint32_t value);
/* Builds the code and writes the tree stream. Returns 12 (no values), 20 (one distinct value),
 * 16 + 8 x internal nodes, or -1 when a code would be longer than 30 bits (the block's output
 * is then incomplete and must be discarded). */
KRO_API int32_t HuffStartEncode(HuffEncoder* h);
KRO_API void HuffEncode(HuffEncoder* h, uint32_t value);

KRO_END_DECLS

#endif
