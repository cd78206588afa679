/* The platform media readers: the movie framework's video and sound readers and the video
 * service's start-up call.
 *
 * Neither the movie framework nor the filter-graph framework exists on this platform: the open
 * calls return null without a message, so that graphics and sound input go on to their next
 * reader; the other calls accept null and do nothing. AVI files are read and written by the
 * library's own code, which needs no start-up: KroAVIInit and KroQTShutdown have nothing left
 * to do. */
#ifndef KROUTIL_MEDIA_H
#define KROUTIL_MEDIA_H

#include <stdint.h>

#include "kroutil/export.h"
#include "kroutil/status.h"

KRO_BEGIN_DECLS

/* A video reader's result. */
typedef struct QTFile {
    int32_t width;
    int32_t height;
    int32_t bitsPerPixel; /* of the delivered frames: 8 or 32 */
    uint32_t frames;
    uint32_t rateNum;
    uint32_t rateDen;
    int32_t hasSound;
    int32_t hasAlpha;
    uint8_t* pixels;      /* the current frame */
    int32_t pitch;        /* bytes from one row to the next */
    uint8_t* palette;     /* 256 entries for 8-bit frames */
} QTFile;

/* A sound reader's result. */
typedef struct QTSFile {
    uint32_t rate;
    uint32_t bits;
    uint32_t channels;
    uint64_t totalBytes;
    uint32_t videoTimeScale; /* 0 when the movie has no video */
    uint32_t frameDuration;
} QTSFile;

/* Null: no movie framework here. */
KRO_API QTFile* QTFileOpen(const char* name, uint32_t rateNum, uint32_t rateDen, KroStatusProc status);
/* Decodes the next frame: 0. */
KRO_API int32_t QTFileGet(QTFile* file);
KRO_API void QTFileGoto(QTFile* file, uint32_t frame);
KRO_API void QTFileClose(QTFile* file);
/* Null: no movie framework here. */
KRO_API QTSFile* QTSFileOpen(const char* name, uint32_t track, KroStatusProc status);
/* Bytes delivered: 0 without a record. */
KRO_API uint32_t QTSFileGet(QTSFile* file, void* buffer, uint32_t byteCount);
KRO_API void QTSFileGoto(QTSFile* file, uint32_t milliseconds);
KRO_API void QTSFileClose(QTSFile* file);
KRO_API void KroQTShutdown(void);
KRO_API void KroAVIInit(void);

KRO_END_DECLS

#endif
