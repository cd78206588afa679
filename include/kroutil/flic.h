/* Flic animations (FLI and FLC): reading frame by frame into an 8-bit picture, and writing FLC.
 *
 * Reader: KroFlicOpen, then KroFlicGetNext for each frame into a buffer of pitch x roundedHeight
 * bytes (rows of pitch bytes, top row first). After the last frame the reader starts again at
 * frame 1 with a cleared picture. The palette is the one in force after the last frame read.
 *
 * Writer: KroOFlicCreate, KroOFlicPutNext for each picture (width x height bytes, top row first)
 * with its palette, KroOFlicClose. Every function accepts a null record and then does nothing. */
#ifndef KROUTIL_FLIC_H
#define KROUTIL_FLIC_H

#include <stdint.h>

#include "kroutil/export.h"
#include "kroutil/kro_file.h"

KRO_BEGIN_DECLS

typedef struct KroFlicPrivate KroFlicPrivate;

typedef struct KroFlic {
    uint32_t headerSize;     /* the header's size field (offset 0: the file's size as stored) */
    uint32_t pitch;          /* width rounded up to a multiple of 4 */
    uint32_t roundedHeight;  /* height rounded up to a multiple of 4 */
    uint32_t frameCount;
    int32_t frameRate;       /* minus the frame period in 10-microsecond units; 0 unpaced */
    uint32_t width;
    uint32_t height;
    KroFile* file;
    uint32_t framesRead;     /* frames read since the start (0 before frame 1) */
    uint32_t lastFrameSize;  /* bytes of chunk data in the last frame read */
    uint32_t frame1Offset;   /* file offset of frame 1 */
    uint8_t palette[768];    /* 256 x red, green, blue */
    KroFlicPrivate* priv;
} KroFlic;

/* Opens name as given; a name without an extension gets ".flc", or ".fli" when no ".flc" file
 * exists. Null for a missing file, a short header, an unknown magic, a size outside 1..8192, an
 * FLC of another depth than 8 bits or a file without frames. */
KRO_API KroFlic* KroFlicOpen(const char* name);
/* Reads the next frame into picture. 0 without a record or picture; 2 when the frame brought a
 * palette; else 1 (also for a frame that cannot be read, which leaves the picture as it was). */
KRO_API int32_t KroFlicGetNext(KroFlic* flic, uint8_t* picture);
/* Reads until frame (limited to the frame count) has been read, from frame 1 again when the
 * reader is at or past it; 0 rewinds without reading. 2 when a palette came on the way, 1
 * otherwise, 0 without a record or picture. */
KRO_API int32_t KroFlicGoto(KroFlic* flic, uint32_t frame, uint8_t* picture);
/* The 768-byte palette (null without a record). */
KRO_API uint8_t* KroFlicGetPalette(KroFlic* flic);
/* Copies the file name as opened into dest (KRO_FILE_NAME_SIZE bytes) when dest is not null;
 * returns dest, or the record's own copy when dest is null; null without a record. */
KRO_API char* KroFlicGetName(KroFlic* flic, char* dest);
KRO_API void KroFlicClose(KroFlic* flic);

typedef struct KroOFlic KroOFlic;

/* Creates an FLC; a name without an extension gets ".flc". rate: minus the frame period in
 * 10-microsecond units, or milliseconds per frame when positive. Null for an odd width, a side
 * of 0 or above 8192, or a file that cannot be created. */
KRO_API KroOFlic* KroOFlicCreate(const char* name, int32_t width, int32_t height, int32_t rate);
/* Appends one frame; palette may be null (no palette change). 1, or 0 once the writer has
 * failed (a write error, more than 65535 frames or a file that would pass 4 GiB). */
KRO_API int32_t KroOFlicPutNext(KroOFlic* out, const uint8_t* picture, const uint8_t* palette);
/* Appends the ring frame, completes the header and closes. Returns the file size; a writer
 * that has failed deletes its file and returns 0. */
KRO_API uint32_t KroOFlicClose(KroOFlic* out);

KRO_END_DECLS

#endif
