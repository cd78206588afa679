/* Quarn video files (".qrn"): the container, its sound tracks, the picture planes and a writer.
 *
 * A file is a 44-byte header, three tables with one 32-bit word per sound track (largest
 * decoded sound per frame, format, identifier) and a frame index; each frame holds one sound
 * packet per track and then the picture planes (alpha when the file has one, luma, two
 * half-size chroma planes unless the file is grey).
 *
 * Reading: QuarnStreamOpen, then the current frame's sound with QuarnExtractAudio and its
 * picture with QuarnVideoDecode, QuarnAdvance to the next frame, QuarnStreamClose. A failed
 * open leaves its reason in QuarnLastError. Every function accepts a null record and then does
 * nothing (returns 0 or null). */
#ifndef KROUTIL_QUARN_H
#define KROUTIL_QUARN_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

/* Open flags. */
#define QUARN_OPEN_NO_DECODER_BUFFERS 0x400u /* no picture working buffers at open */
#define QUARN_OPEN_USE_TRACK_SELECTION 0x4000u /* keep the process-wide track selection */
#define QUARN_OPEN_ALPHA 0x100000u /* deliver the alpha plane when the file has one */
#define QUARN_OPEN_NO_FILL 0x200000u /* do not fill the input buffer at open */
#define QUARN_OPEN_HANDLE 0x800000u /* source is a file handle (int cast to a pointer), read from its position */
#define QUARN_OPEN_MEMORY 0x4000000u /* source is the whole file image */
#define QUARN_OPEN_NO_THREAD 0x8000000u /* no background reading */
#define QUARN_OPEN_SCALING(mode) (((uint32_t)(mode)&7u) << 28) /* 0 the file's, 7 none */

/* Video flags (header word and QuarnStream.videoFlags). */
#define QUARN_VIDEO_NO_LUMA_SIZE 0x8000u /* revisions 'f' to 'h': the luma plane has no size field */
#define QUARN_VIDEO_OLD_REVISION 0x10000u /* revisions 'f' and 'g' */
#define QUARN_VIDEO_GREY 0x20000u /* no chroma planes */
#define QUARN_VIDEO_ALPHA 0x100000u /* an alpha plane (effective flags: and it is delivered) */
#define QUARN_VIDEO_SCALING(flags) (((flags) >> 28) & 7u)

/* Sound track format word. */
#define QUARN_AUDIO_RATE(format) ((format)&0xFFFFu)
#define QUARN_AUDIO_DCT 0x10000000u
#define QUARN_AUDIO_STEREO 0x20000000u
#define QUARN_AUDIO_16BIT 0x40000000u
#define QUARN_AUDIO_DFT 0x80000000u

typedef struct QuarnStreamPrivate QuarnStreamPrivate;

typedef struct QuarnStream {
    uint32_t displayWidth;    /* after the scaling mode */
    uint32_t displayHeight;
    uint32_t width;           /* as stored */
    uint32_t height;
    uint32_t videoFlags;      /* effective: see QuarnStreamOpen */
    uint32_t frames;
    uint32_t indexEntries;
    uint32_t rateNum;         /* frames per second = rateNum / rateDen */
    uint32_t rateDen;
    uint32_t dataSize;        /* the header's: file size minus 8 */
    uint32_t audioTracks;
    const uint32_t* audioSizes;   /* per track: largest decoded sound bytes of one frame */
    const uint32_t* audioFormats; /* per track: the format word */
    const uint32_t* trackIds;     /* per track: the identifier */
    const uint32_t* frameIndex;   /* indexEntries + 1 words: position | key-frame bit 0 */
    uint32_t peakSecond;      /* bytes of the busiest second */
    uint32_t peakSecondStart; /* its first frame (0-based) */
    uint32_t allKeyFrames;
    uint32_t currentFrame;    /* 1-based */
    uint32_t framePos;        /* the current frame's file position */
    uint32_t frameSize;       /* its size from the index */
    uint32_t frameKey;        /* 1 for a key frame */
    const uint8_t* frameData; /* its bytes; frameBytes of them could be read */
    uint32_t frameBytes;
    uint32_t bufferSize;      /* input buffer bytes; 0 when the frames are in memory */
    uint32_t preloaded;       /* 1 when the frame data was read whole at open */
    uint32_t fileHasAlpha;    /* the file carries an alpha plane (delivered or not) */
    uint32_t revision;        /* 'f', 'g', 'h' or 'i' */
    uint32_t selectedTracks;  /* tracks matched by the track selection at open */
    uint32_t memInUse;        /* bytes held by the stream and its tracks */
    uint32_t memPeak;
    QuarnStreamPrivate* priv;
} QuarnStream;

/* source: a file name; with QUARN_OPEN_HANDLE a file handle cast to a pointer; with
 * QUARN_OPEN_MEMORY the file image (the header's data size + 8 bytes are taken to be there).
 * Null on failure, with the reason in QuarnLastError. */
KRO_API QuarnStream* QuarnStreamOpen(const void* source, uint32_t flags);
/* As QuarnStreamOpen; a memory image is bounded by imageSize (all ones: trust the header). */
KRO_API QuarnStream* QuarnStreamOpenSized(const void* source, uint32_t flags, uint64_t imageSize);
/* Frees the record, its buffers and its file (a caller's handle stays open). Close the stream's
 * tracks and picture decoder first. */
KRO_API void QuarnStreamClose(QuarnStream* stream);
/* The reason the last open failed ("" after a successful one). */
KRO_API const char* QuarnLastError(void);
/* Makes frame (1-based; 0 counts as 1, past the end as the last) current. 1, or 0 when its
 * bytes could not all be read (frameBytes tells how many were). */
KRO_API int32_t QuarnGotoFrame(QuarnStream* stream, uint32_t frame);
/* Moves to the next frame: 1, or 0 at the last frame (which stays current) or on a short read. */
KRO_API int32_t QuarnAdvance(QuarnStream* stream);
/* The process-wide track selection that opens with QUARN_OPEN_USE_TRACK_SELECTION use (at most
 * 16 identifiers); other opens reset it to the one identifier 0. */
KRO_API void QuarnSelectTracks(const uint32_t* ids, uint32_t count);

typedef struct QuarnAudioTrack {
    uint32_t sampleRate;
    uint32_t bitsPerSample;   /* of the delivered PCM: 16, or 8 (unsigned) */
    uint32_t channels;
    uint32_t bufferSize;      /* the most bytes QuarnExtractAudio writes for one frame: the
                                 track's largest rounded up to 4 (at most 16 MiB), halved for 8 bits */
    QuarnStream* stream;
    void* decoder;
    uint32_t trackIndex;
} QuarnAudioTrack;

/* Null for a null stream, an index past the tracks, a format without transform coding, or no
 * memory. Tracks without QUARN_AUDIO_16BIT deliver 8-bit unsigned samples (high byte + 128). */
KRO_API QuarnAudioTrack* QuarnOpenAudioTrack(QuarnStream* stream, uint32_t index);
/* Decodes the current frame's packet of the track into dest (bufferSize bytes); returns the
 * bytes written, 0 when the frame has no usable packet for it. */
KRO_API uint32_t QuarnExtractAudio(QuarnAudioTrack* track, void* dest);
KRO_API void QuarnCloseAudioTrack(QuarnAudioTrack* track);
/* The index of the last track with this identifier, or -1. */
KRO_API int32_t QuarnFindTrack(QuarnStream* stream, uint32_t id);

/* The picture decoder's use of wide vector code: features is a mask of what may be used
 * (QUARN_FEATURE_WIDE: the four-pixel colour conversion); returns what is in use now. */
#define QUARN_FEATURE_WIDE 1u
KRO_API uint32_t QuarnControlPlatformFeatures(uint32_t features);

typedef struct QuarnVideoPrivate QuarnVideoPrivate;

typedef struct QuarnVideo {
    uint32_t width;           /* display size of the delivered pictures */
    uint32_t height;
    uint32_t hasAlpha;        /* 1 when the top byte of each pixel holds the alpha plane */
    uint32_t lastFrame;       /* the frame last decoded (1-based), 0 before the first */
    uint32_t alphaEnd;        /* where each part of the last frame ended, from the frame start */
    uint32_t lumaEnd;
    uint32_t chromaEnd[2];
    QuarnVideoPrivate* priv;
} QuarnVideo;

/* A picture decoder on an open stream (which must outlive it). */
KRO_API QuarnVideo* QuarnVideoOpen(QuarnStream* stream);
/* Decodes the stream's current frame into pixels (height rows of width 32-bit values
 * 0xAARRGGBB, or 0x00RRGGBB without alpha; rows pitch bytes apart). A frame that does not
 * follow the last one decoded is reached from its key frame. 1 on success; 0 when the planes
 * cannot be decoded (a file from another writer, damaged data): the pixels are left as they
 * were. */
KRO_API int32_t QuarnVideoDecode(QuarnVideo* video, uint32_t* pixels, int32_t pitch);
KRO_API void QuarnVideoClose(QuarnVideo* video);

/* Writer: QuarnWriterCreate, QuarnWriterAddTrack for each sound track (before the first
 * frame), then per frame QuarnWriterPutAudio for the tracks and QuarnWriterPutFrame with the
 * picture, and QuarnWriterClose. */
typedef struct QuarnWriter QuarnWriter;

#define QUARN_WRITE_ALPHA 1u /* keep the top byte of the pixels as an alpha plane */
#define QUARN_WRITE_GREY 2u  /* luma only (colour is dropped) */

/* frames: the expected count (0 if unknown; the index grows when more come). keyInterval:
 * every nth frame is a key frame (0 or 1: all). Null when the file cannot be created or the
 * size is outside 1..32767. */
KRO_API QuarnWriter* QuarnWriterCreate(const char* name, uint32_t width, uint32_t height, uint32_t rateNum,
                                       uint32_t rateDen, uint32_t flags, uint32_t frames, uint32_t keyInterval);
/* A sound track of 16-bit PCM coded with transform blocks (variant 1 DCT, 0 real DFT) at the
 * given quality (0..99); 16-bit or 8-bit delivery as sixteenBit says. The track index, or -1. */
KRO_API int32_t QuarnWriterAddTrack(QuarnWriter* writer, uint32_t id, uint32_t rate, uint32_t channels,
                                    uint32_t sixteenBit, uint32_t variant, uint32_t quality);
/* Queues 16-bit interleaved PCM for the track; it goes into the next frame written. */
KRO_API int32_t QuarnWriterPutAudio(QuarnWriter* writer, uint32_t track, const void* pcm, uint32_t bytes);
/* Writes one frame (width x height 32-bit pixels, rows pitch bytes apart) with the sound queued
 * since the last frame. 1, or 0 once the writer has failed. */
KRO_API int32_t QuarnWriterPutFrame(QuarnWriter* writer, const uint32_t* pixels, int32_t pitch);
/* Completes the file. 1 on success; a writer that failed (or wrote no frame) deletes its file
 * and returns 0. */
KRO_API int32_t QuarnWriterClose(QuarnWriter* writer);

KRO_END_DECLS

#endif
