/* Sound input: the sound of WAV files, headerless PCM, Torvex audio tracks and list files of
 * these, delivered as PCM in the caller's rate, sample size and channel count, optionally cut to
 * a window of the source.
 *
 * Output samples are 8-bit unsigned or 16-bit signed little-endian, interleaved left first. */
#ifndef KROUTIL_SFILE_H
#define KROUTIL_SFILE_H

#include <stdint.h>

#include "kroutil/export.h"
#include "kroutil/kro_file.h"
#include "kroutil/status.h"
#include "kroutil/util.h"

KRO_BEGIN_DECLS

/* Source kinds. */
#define SFILE_KIND_WAVE 1 /* WAV file or headerless PCM */
#define SFILE_KIND_TORVEX 2
#define SFILE_KIND_AVI 3
#define SFILE_KIND_LIST 4
#define SFILE_KIND_QUICKTIME 5
#define SFILE_KIND_QUARN 6
#define SFILE_KIND_DIRECTSHOW 7

struct SFilePrivate;

typedef struct SFile {
    char name[KRO_FILE_NAME_SIZE];
    const char* typeName; /* "Wave", "List", "Torvex", "Quarn", "AVI" */
    int32_t atEnd;
    uint32_t outputRate;
    uint32_t outputBits;     /* 8 or 16 */
    uint32_t outputChannels; /* 1 or 2 */
    uint32_t outputFrameBytes;
    uint64_t outputFrames; /* sample frames delivered since the start of the window */
    uint32_t sourceRate;
    uint32_t sourceBits;
    uint32_t sourceChannels;
    uint32_t sourceFrameBytes;
    uint64_t sourceFrames; /* sample frames taken from the source */
    uint32_t readBufferSize;
    int32_t kind;  /* SFILE_KIND_... */
    int32_t track; /* Torvex: the track read (0..6) */
    /* Rate conversion, in 16-bit sample values per channel: the source frame at the start of
     * the current interval and the one after it; the interpolated value x 1024 and its step
     * per output frame when the output rate is higher. */
    int32_t previousLeft, previousRight;
    int32_t nextLeft, nextRight;
    int32_t accumulatorLeft, accumulatorRight;
    int32_t stepLeft, stepRight;
    KroStatusProc status;
    uint64_t totalBytes;     /* the window's length in source bytes (a list: in output bytes) */
    uint64_t remainingBytes; /* of totalBytes, not yet taken */
    struct SFilePrivate* priv;
} SFile;

/* Opens a sound source; null on failure (reported to status at level 2).
 * name: a WAV file (".wav" implied without an extension), a Torvex file, or a ".LST" list with
 *   one name per line (switches S and E: first and last frame; L: repeat count; "#" comments).
 * rate: output rate (0: the source's); bits: 8 or 16 (else the source's); channels: 1 or 2 (else
 *   the source's).
 * start, end: the window in milliseconds; negative values -n are frame numbers (the start of
 *   frame n, the end of frame n; a sound without pictures counts 15 frames a second). An end of
 *   0 is the end of the sound.
 * track: Torvex: 1..7 is the file's track 0..6 (larger values count as 7); 0 is the first track
 *   with sound.
 * rawCode: non-zero reads the file as headerless PCM: rate x 8, + 1 for stereo, + 2 for 16-bit
 *   samples; the sound starts at rawOffset. */
KRO_API SFile* SFileOpen(const char* name, uint32_t rate, uint32_t bits, uint32_t channels, int32_t start,
                         int32_t end, uint32_t track, uint32_t rawCode, uint64_t rawOffset, KroStatusProc status);
/* Delivers up to byteCount bytes (whole output sample frames); fewer at the end, then 0. */
KRO_API uint32_t SFileGet(SFile* s, void* buffer, uint32_t byteCount);
/* Back to the start of the window. */
KRO_API void SFileReset(SFile* s);
KRO_API void SFileClose(SFile* s);
/* Takes the sound switches out of a command line: /R rate, /B bits, /C channels, /S start,
 * /E end, /T track, and raw PCM as /Y (1 8-bit mono, 2 8-bit stereo, 3 16-bit mono, 4 16-bit
 * stereo) with /D rate (default 11025) and /K offset. Every output may be null. */
KRO_API void SFileCommandLine(char* commandLine, uint32_t* rate, uint32_t* bits, uint32_t* channels, int32_t* start,
                              int32_t* end, uint32_t* track, uint32_t* rawCode, uint64_t* rawOffset);

KRO_END_DECLS

#endif
