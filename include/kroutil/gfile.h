/* Graphics input: any picture source the library reads (Torvex videos, Flic animations, RLA and
 * the other still images, numbered sequences, list files, raw frame files) as one stream of
 * frames delivered into a canvas the caller sizes, at the caller's frame rate, processed and
 * either as 32-bit true-colour pixels (0x00RRGGBB, or with the source's alpha on request) or as
 * 8-bit pixels with a computed palette.
 *
 *     GFile* g = GFileOpen(name, flags, ...);
 *     while (g->outputFrameCounter < g->outputFrameCount && GFileGet(g, 0, 0, 0, 100, 1.0f, 0))
 *         use(g->canvasBuffer, g->canvasPitch, g->workingPalette);
 *     GFileClose(g);
 *
 * Canvas rows are stored top row first, canvasPitch bytes apart. Progress, warnings and errors
 * go to the status callback given at open. Every function accepts a null record and then does
 * nothing (returns 0). */
#ifndef KROUTIL_GFILE_H
#define KROUTIL_GFILE_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

#ifndef KROUTIL_STATUS_PROC_DEFINED
#define KROUTIL_STATUS_PROC_DEFINED
typedef int32_t (*KroStatusProc)(const char* text, int32_t level);
#endif

/* Source kinds (the record's kind field). */
#define GFILE_KIND_BMP 3
#define GFILE_KIND_GIF 4
#define GFILE_KIND_TIF 5
#define GFILE_KIND_JPEG 6
#define GFILE_KIND_TGA 7
#define GFILE_KIND_PNG 8
#define GFILE_KIND_PCX 9
#define GFILE_KIND_AVI 32
#define GFILE_KIND_QUICKTIME 33
#define GFILE_KIND_DIRECTSHOW 34
#define GFILE_KIND_FLIC 128
#define GFILE_KIND_TORVEX 129
#define GFILE_KIND_RAW 130
#define GFILE_KIND_QUARN 131
#define GFILE_KIND_RLA 132
#define GFILE_KIND_LIST 256
#define GFILE_KIND_SOUND 512

/* Flags word of GFileOpen. */
#define GFILE_PALETTE_MASK 0x7          /* 0 true colour; 1-7: 8-bit output, palette method - 1 */
#define GFILE_COMMAND_LINE_BIT 0x80     /* set by GFileCommandLine, not read by GFileOpen */
#define GFILE_KEEP_ALPHA 0x100
#define GFILE_HALF_HEIGHT 0x200
#define GFILE_HALF_WIDTH 0x400
#define GFILE_FIELD_1 0x800
#define GFILE_FIELD_2 0x1000
#define GFILE_FIELD_BLEND 0x2000
#define GFILE_TRIANGLE 0x4000
#define GFILE_BOX 0x8000
#define GFILE_PREMULTIPLY 0x10000
#define GFILE_DIVIDE_ALPHA 0x20000

typedef struct GFilePrivate GFilePrivate;

typedef struct GFile {
    char name[1024];            /* the input name as given */
    const char* typeName;       /* the source kind as text ("" for a raw frame file) */
    int32_t trueColour;         /* 1: 32-bit canvas pixels; 0: 8-bit with workingPalette */
    int32_t keepAlpha;          /* flags bit 8 */
    int32_t kind;               /* GFILE_KIND_ */
    int32_t canvasWidth;
    int32_t canvasHeight;
    int32_t sourceWidth;
    int32_t sourceHeight;
    int32_t hasSound;
    int32_t hasAlpha;
    int32_t flags;              /* the flags word as sub-sources are opened with */
    int32_t outputRateField;    /* minus the output frame period in 10-microsecond units */
    int32_t outputRateNum;      /* output frames per second, as a fraction */
    int32_t outputRateDen;
    int32_t samplingRateNum;    /* the rate source frames are taken to run at */
    int32_t samplingRateDen;
    int32_t fileRateNum;        /* the rate stored in the source */
    int32_t fileRateDen;
    int32_t framesInRange;      /* source frames from the first to the last frame asked for */
    int32_t sourceFrameCounter; /* source frames read since the start of the range */
    int32_t outputFrameCount;   /* frames GFileGet delivers */
    int32_t outputFrameCounter; /* frames delivered so far */
    int32_t scaledWidth;        /* the frame's size after scaling */
    int32_t scaledHeight;
    int32_t widthSpec;          /* the size arguments of the open, unchanged */
    int32_t heightSpec;
    int32_t filter;             /* 0 cubic, 1 triangle, 2 box */
    int32_t bitsPerPixel;       /* of the source frames */
    uint8_t* canvasBuffer;
    int32_t canvasPitch;        /* bytes from one canvas row to the next */
    uint64_t fileSize;
    /* placement: the frame's top-left corner in the canvas and the part of it that shows */
    int32_t x;
    int32_t y;
    int32_t visibleX;           /* canvas column and row where the visible part starts */
    int32_t visibleY;
    int32_t visibleWidth;
    int32_t visibleHeight;
    int32_t leftMargin;         /* frame columns cut off at the left (x < 0) */
    int32_t topMargin;          /* frame rows cut off at the top (y < 0) */
    /* palette controls */
    uint8_t workingPalette[768]; /* 256 x red, green, blue */
    int32_t paletteStart;
    int32_t paletteCount;       /* entries computed (count - reserve) */
    int32_t paletteReserve;
    int32_t paletteThreshold;   /* frames analysed per palette */
    int32_t paletteMethod;      /* (flags bits 0-2) - 1; -1 in true colour */
    int32_t paletteOption;      /* 0 system colours with computed palettes, 1 always, 2 never */
    int32_t conversionMode;
    char paletteFile[1024];
    int32_t paletteCountdown;   /* frames until the next analysis */
    int32_t newPalette;         /* set to 1 whenever a palette is computed; for the caller */
    int32_t paletteFileDefaults; /* read (never set) by the library: analyse the palette file with defaults */
    int32_t paletteChanged;     /* the last frame delivered changed the palette */
    char progressCaption[32];
    KroStatusProc status;
    GFilePrivate* priv;
} GFile;

/* Opens a source (23 arguments). flags: GFILE_ bits above. Rates as numerator and denominator
 * (frames per second; 0 in either keeps the file rate, or for the output the sampling rate).
 * widthSpec, heightSpec: 0 source size, > 0 pixels, -1 proportional to the other side, -2..-1000
 * source size times the negated value, below -1000 source size times (-1000 - value) / 1000.
 * x, y: the frame's place in the canvas (may be negative); canvas 0 x 0 = the output size.
 * first/last frame 1-based (0: the first / the last of the file). Palette: threshold (0 =
 * 65536 frames per palette), start, count, reserve, option, conversion mode and palette file
 * (may be null or empty). caption: the progress text's start (null: "Processing"). Null on
 * failure, after an error to the callback. */
KRO_API GFile* GFileOpen(const char* name, int32_t flags, int32_t samplingRateNum, int32_t samplingRateDen,
                         int32_t outputRateNum, int32_t outputRateDen, int32_t widthSpec, int32_t heightSpec,
                         int32_t x, int32_t y, int32_t canvasWidth, int32_t canvasHeight, int32_t firstFrame,
                         int32_t lastFrame, int32_t paletteThreshold, int32_t paletteStart, int32_t paletteCount,
                         int32_t paletteReserve, int32_t paletteOption, int32_t conversionMode,
                         const char* paletteFile, const char* caption, KroStatusProc status);
/* Delivers the next frame into the canvas: 1, or 0 when the caller cancelled (or the palette
 * file cannot be opened). median: non-zero = 3x3 median; softening: low 16 bits horizontal, high
 * 16 bits vertical, in 1/256 percent; levels 0..128; brightness in percent (100 = unchanged);
 * gamma (1.0 = unchanged); threshold 0 = off. */
KRO_API int32_t GFileGet(GFile* g, int32_t median, int32_t softening, int32_t levels, int32_t brightness, float gamma,
                         int32_t threshold);
/* Back to the first frame of the range, with a cleared canvas. */
KRO_API void GFileReset(GFile* g);
KRO_API void GFileClose(GFile* g);

/* Reads the switches of a command line (they are cut out of it) into the arguments of
 * GFileOpen and GFileGet; null outputs are skipped. */
KRO_API void GFileCommandLine(char* commandLine, int32_t* flags, int32_t* samplingRateNum, int32_t* samplingRateDen,
                              int32_t* outputRateNum, int32_t* outputRateDen, int32_t* median, int32_t* softening,
                              int32_t* levels, int32_t* brightness, float* gamma, int32_t* threshold,
                              int32_t* widthSpec, int32_t* heightSpec, int32_t* x, int32_t* y, int32_t* canvasWidth,
                              int32_t* canvasHeight, int32_t* firstFrame, int32_t* lastFrame,
                              int32_t* paletteThreshold, int32_t* paletteStart, int32_t* paletteCount,
                              int32_t* paletteReserve, uint8_t* paletteOption, uint8_t* conversionMode,
                              char* paletteFile);

/* Counts the colours of frames of an analysis source and writes the best palette for them into
 * palette (768 bytes, read for the colours on screen now). canvas (may be null): the current
 * 8-bit canvas, its visible width and rows, pitch, the frame's x and y offset and the left and
 * top margins cut off; then the processing arguments of GFileGet for the analysed frames.
 * Returns the frames analysed, 65536 when the source ended, 0 when the user cancelled. */
KRO_API int32_t GFileBestPalette(GFile* analysis, uint8_t* palette, const uint8_t* canvas, int32_t visibleWidth,
                                 int32_t visibleRows, int32_t pitch, int32_t xOffset, int32_t yOffset,
                                 int32_t leftMargin, int32_t topMargin, int32_t median, int32_t softening,
                                 int32_t levels, int32_t brightness, float gamma, int32_t threshold);

KRO_END_DECLS

#endif
