/* Sound conversion output: reads sound through SFile and writes it into the caller's bit file,
 * one block per call, as raw samples, delta (DPCM-Huffman) coded samples or transform-coded
 * blocks: exactly the sound chunks the Torvex audio decoder reads.
 *
 * Levels: 0 lossless delta coding; 1..99 deltas rounded to coarser steps (larger loses more);
 * 100..199 and 200 and above the transform coder (DCT, real DFT) at quality level mod 100, for
 * 16-bit sound at 16000 Hz or more (otherwise delta coding at level mod 100). */
#ifndef KROUTIL_CSFILE_H
#define KROUTIL_CSFILE_H

#include <stdint.h>

#include "kroutil/export.h"
#include "kroutil/huffman.h"
#include "kroutil/kro_file.h"
#include "kroutil/sfile.h"
#include "kroutil/status.h"

KRO_BEGIN_DECLS

struct CSFilePrivate;

typedef struct CSFile {
    SFile* sound;
    void* transformEncoder; /* null unless transform coding */
    int32_t quality;        /* level mod 100 */
    int32_t raw;            /* blocks hold plain samples */
    uint32_t silenceFill;   /* 0x80808080 for 8-bit sound, 0 for 16-bit */
    uint64_t leadInLeft;
    uint64_t leadInLength;
    uint64_t blockLeft;
    uint64_t blockLength;
    int32_t deltaMask;
    int32_t deltaTolerance;
    int32_t restart; /* start the sound again when it ends inside a block */
    int32_t loop;    /* start sound, lead-in and block length again when the block length is used up */
    KroFile* output;
    HuffEncoder* huffman[4];
    uint32_t lastDelivered; /* sample bytes of the last block */
    uint64_t totalDelivered;
    uint32_t lastWritten; /* file bytes of the last block */
    uint64_t totalWritten;
    struct CSFilePrivate* priv;
} CSFile;

/* leadIn, blockLength: milliseconds (block length 0: the whole sound); the sound arguments are
 * those of SFileOpen. A raw code sets the rate and writes raw blocks. Null when the sound cannot
 * be opened (the reader reports why). */
KRO_API CSFile* CSFileOpen(const char* name, int32_t level, int32_t restart, int32_t loop, uint32_t leadIn,
                           uint32_t blockLength, uint32_t rate, uint32_t bits, uint32_t channels, int32_t start,
                           int32_t end, uint32_t track, uint32_t rawCode, uint64_t rawOffset, KroStatusProc status);
KRO_API void CSFileSetOutput(CSFile* c, KroFile* output);
/* Writes one block of byteCount sample bytes (whole sample frames, within the block length);
 * returns the file bytes written (0 for an empty block, which writes nothing). */
KRO_API uint32_t CSFilePut(CSFile* c, uint32_t byteCount);
KRO_API void CSFileClose(CSFile* c);
/* /L level (default 104), /P (1 when given), then the switches of SFileCommandLine.
 * Every output may be null. */
KRO_API void CSFileCommandline(char* commandLine, int32_t* level, int32_t* present, uint32_t* rate, uint32_t* bits,
                               uint32_t* channels, int32_t* start, int32_t* end, uint32_t* track, uint32_t* rawCode,
                               uint64_t* rawOffset);

KRO_END_DECLS

#endif
