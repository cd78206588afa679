/* Graphics output: a sequence of frames written as an AVI file (uncompressed, with an optional
 * PCM sound track), a Flic animation, or one still image per frame (BMP, JPEG, PNG, TGA, TIFF,
 * PCX, GIF) with numbered names.
 *
 * Frames are given top row first: 32-bit pixels (blue, green, red and an unused byte) for
 * true-colour output, or 8-bit pixels with a 768-byte palette (256 x red, green, blue) for 8-bit
 * output; rows are sourcePitch pixels apart. Every function accepts a null record. */
#ifndef KROUTIL_OGFILE_H
#define KROUTIL_OGFILE_H

#include <stdint.h>

#include "kroutil/export.h"
#include "kroutil/flic.h"
#include "kroutil/image.h"
#include "kroutil/kro_file.h"
#include "kroutil/status.h"

KRO_BEGIN_DECLS

/* Output kinds, by the name's extension. */
#define OGFILE_KIND_FLIC 0
#define OGFILE_KIND_BMP 1
#define OGFILE_KIND_JPG 2
#define OGFILE_KIND_TGA 3
#define OGFILE_KIND_TIF 4
#define OGFILE_KIND_PCX 5
#define OGFILE_KIND_GIF 6
#define OGFILE_KIND_PNG 7
#define OGFILE_KIND_AVI 128

/* OGFileCreate flags. */
#define OGFILE_QUIET_TYPE 1 /* do not report an unsupported type (else passed to the question) */
#define OGFILE_REPLACE 2    /* replace existing files without asking */

/* The PCM sound format of an AVI output. */
typedef struct KroWaveFormat {
    uint16_t formatTag; /* 1: PCM */
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
} KroWaveFormat;

struct OGFilePrivate;

typedef struct OGFile {
    /* The output name; for still images with the number inserted before the extension as a
     * format (a '%' of the name itself is doubled). */
    char namePattern[KRO_FILE_NAME_SIZE + 8];
    char firstName[KRO_FILE_NAME_SIZE];        /* the first still image written */
    char description[2 * KRO_FILE_NAME_SIZE + 8]; /* the name, or "first to last" of the stills */
    int32_t trueColour;   /* 1: 24-bit output from 32-bit frames; 0: 8-bit */
    int32_t width;
    int32_t height;
    uint32_t frameCount;
    uint32_t rateNum;     /* frames per second */
    uint32_t rateDen;
    int32_t sourcePitch;  /* row length of the caller's frames, in pixels */
    uint32_t frameCounter;/* frames written, also the number of the next still image */
    int32_t kind;         /* OGFILE_KIND_... */
    int32_t bitsPerPixel; /* 8 or 24 */
    uint64_t bytesWritten;
    int32_t error;        /* set once a write failed */
    int32_t aviReady;     /* set once the AVI streams exist */
    KroStatusProc status;
    KroOFlic* flic;
    ImageDescriptor image;   /* the still image (bottom-up rows) */
    int32_t imageRowStep;    /* bytes from one top-down row of the image to the next (negative) */
    uint8_t* imageFirstRow;  /* the image's top row */
    void* aviFile;           /* the AVI writer */
    void* videoStream;       /* unused: the writer keeps its streams */
    void* uncompressedStream;/* unused */
    int32_t dibStride;
    uint8_t* dibFirstRow;    /* the frame buffer's top row (rows are stored bottom-up) */
    uint8_t* dibPalette;     /* 256 x blue, green, red, 0 */
    KroBitmapInfoHeader* dibHeader;
    void* audioStream;       /* non-null once the sound stream exists */
    uint64_t soundTotal;     /* sound bytes expected for the whole output */
    uint64_t soundExpected;  /* of those, still to come */
    uint64_t soundDelivered; /* bytes written so far */
    uint32_t preloadBytes;   /* how far the sound leads the frames */
    KroWaveFormat soundFormat;
    int32_t jpegQuality;     /* 1..100 */
    struct OGFilePrivate* priv;
} OGFile;

/* Opens the output; null on failure (reported to status at level 2, or level 3 with a null text
 * when the user declined to replace an existing file). parent: the window that would own a
 * dialog (unused). format: low three bits 0 for 32-bit frames and 24-bit output, else 8-bit
 * frames and output. A rate with a zero part gives stills 15 frames a second and fails AVI and
 * Flic outputs. */
KRO_API OGFile* OGFileCreate(void* parent, const char* name, uint32_t frameCount, uint32_t rateNum, uint32_t rateDen,
                             int32_t width, int32_t height, int32_t sourcePitch, KroStatusProc status, int32_t flags,
                             int32_t format);
/* Writes the next frame; palette (8-bit frames) may be null to keep the last one. 1 when
 * written, 0 when not (the error field is then set). */
KRO_API int32_t OGFilePut(OGFile* out, const void* pixels, const uint8_t* palette);
/* How many sound bytes to deliver now (0 unless the output is AVI); the first call creates the
 * sound stream of the given format. */
KRO_API uint32_t OGFilePutSoundAmount(OGFile* out, uint32_t rate, uint32_t bits, uint32_t channels);
/* Writes the whole sample frames of bytes to the sound track; 1 when written. */
KRO_API int32_t OGFilePutSound(OGFile* out, const void* data, uint32_t bytes);
/* Finishes the output and frees the record: the bytes written (AVI and Flic: the file's size;
 * 0 when the file could not be completed and was removed). */
KRO_API uint64_t OGFileClose(OGFile* out);

KRO_END_DECLS

#endif
