/* Still images: the image descriptor, its error codes, every still-image reader and writer, and
 * colour conversion.
 *
 * An image is a device-independent bitmap: rows stored bottom-up (image row y, counted from the
 * top, starts at pixels + (height - 1 - y) * row_bytes), each row padded to a multiple of 4 bytes,
 * 1, 8, 16 or 24 bits per pixel. 1- and 8-bit pixels index the colour table (four bytes blue,
 * green, red, 0 per entry; 1-bit rows hold the leftmost pixel in the most significant bit),
 * 24-bit pixels are blue, green, red bytes, 16-bit images are grey levels without a table.
 *
 * Readers and writers work on the working area (x1, y1)-(x2, y2), inclusive, counted from the
 * top-left: a reader puts the picture's top-left corner at (x1, y1) and stores at most the
 * area's width and height; a writer saves exactly the area. Every reader and writer first checks
 * the image: it swaps x1/x2 and y1/y2 in the descriptor when they are reversed, and refuses an
 * area with a negative corner or outside the image (IMGERR_AREA).
 *
 * Every function returns IMG_OK (0) or a negative IMGERR_ code. A writer that fails after it
 * created its output file deletes the file. Readers and writers of one format run one at a
 * time (one lock per format); allocimage and freeimage take no lock and must not be
 * used on the same descriptor from two threads at once. */
#ifndef KROUTIL_IMAGE_H
#define KROUTIL_IMAGE_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

/* ---- the descriptor ------------------------------------------------------------------------ */

typedef struct ImageDescriptor {
    uint8_t* pixels;   /* the pixel rows (bottom-up) */
    int32_t x1;        /* first column of the working area */
    int32_t y1;        /* first row of the working area, counted from the top */
    int32_t x2;        /* last column of the working area (inclusive) */
    int32_t y2;        /* last row of the working area (inclusive) */
    int32_t row_bytes; /* bytes from one pixel row to the next */
    uint8_t* palette;  /* colour table: blue, green, red, 0 per entry */
    int32_t colors;    /* colour table entries in use */
    uint32_t flags;    /* IMAGE_FLAG_GREY */
    void* header;      /* KroBitmapInfoHeader of the whole image, followed by the colour table */
    void* dib;         /* a display surface owning the pixels; always null in this library */
} ImageDescriptor;

/* The image is grey-scale: every table entry has red = green = blue and entry i has the level
 * i * s (s = 255 for 1 bit per pixel, else 255 / (2^bits - 1) rounded down); 16-bit images are
 * grey-scale by definition. */
#define IMAGE_FLAG_GREY 1u

/* The 40-byte bitmap info header (little-endian fields on disk, native here). */
typedef struct KroBitmapInfoHeader {
    uint32_t size;           /* 40 */
    int32_t width;
    int32_t height;          /* images of this library are bottom-up: positive */
    uint16_t planes;         /* 1 */
    uint16_t bit_count;      /* 1, 8, 16 or 24 */
    uint32_t compression;    /* 0 = uncompressed; anything else: IMGERR_PACKED */
    uint32_t size_image;     /* row_bytes * height */
    int32_t x_pels_per_meter;
    int32_t y_pels_per_meter;
    uint32_t clr_used;       /* colour table entries (2^bits below 16 bits, else 0) */
    uint32_t clr_important;
} KroBitmapInfoHeader;

/* ---- per-format information records --------------------------------------------------------- */

typedef struct PcxInfo {
    int32_t version;        /* header byte 1 */
    int32_t width;          /* xmax - xmin + 1 */
    int32_t height;         /* ymax - ymin + 1 */
    int32_t bits;           /* bits per pixel per plane */
    int32_t planes;
    int32_t bytes_per_line; /* per plane */
    int32_t palette_info;   /* header word at offset 68 */
    int32_t alloc_bits;     /* depth of the image to allocate: 1, 8 or 24 */
} PcxInfo;

typedef struct TgaInfo {
    int32_t id_length;       /* identification field length */
    int32_t width;
    int32_t height;
    int32_t colormap_type;
    int32_t image_type;
    int32_t colormap_bits;   /* colour map entry size in bits */
    int32_t colormap_first;  /* first index (not used when loading) */
    int32_t colormap_length;
    int32_t pixel_depth;
    int32_t alpha_bits;      /* descriptor byte bits 0-3 */
    int32_t origin;          /* descriptor byte bits 4-5 shifted down: bit 0 right, bit 1 top */
    int32_t interleave;      /* descriptor byte bits 6-7, unshifted */
    int32_t alloc_bits;      /* 8 when the pixel depth is 8 (or 16 grey with alpha), else 24 */
} TgaInfo;

typedef struct GifInfo {
    int32_t width;            /* of the first image */
    int32_t height;
    int32_t color_resolution; /* ((screen packed byte / 16) & 7) + 1 */
    int32_t bits_per_pixel;   /* colour table size in bits (the first image's local one if any) */
    int32_t transparent;      /* transparent index before the first image, or -1 */
    int32_t interlaced;       /* 1 when the first image is interlaced */
    int32_t code_size;        /* LZW minimum code size of the first image */
    int32_t version;          /* 87 or 89 */
    int32_t alloc_bits;       /* 1 when bits_per_pixel is 1, else 8 */
} GifInfo;

typedef struct TiffInfo {
    int32_t byte_order;        /* 18761 little-endian, 19789 big-endian */
    int32_t width;
    int32_t height;
    int32_t bits_per_sample;   /* the first value */
    int32_t compression;
    int32_t samples_per_pixel;
    int32_t photometric;
    int32_t planar_config;
    int32_t alloc_bits;        /* bits per sample, or 24 for three or more samples of 8 bits */
} TiffInfo;

typedef struct JpegInfo {
    int32_t frame_type;  /* low four bits of the first frame marker; -1 when none came before the first scan */
    int32_t width;
    int32_t height;
    int32_t components;
    int32_t precision;
    int32_t sampling[4]; /* horizontal * 16 + vertical factor of the first four components; 0 if absent */
    int32_t alloc_bits;  /* 8 for one component, else 24 */
} JpegInfo;

typedef struct PngInfoRecord {
    int32_t width;
    int32_t height;
    int32_t bit_depth;
    int32_t alloc_bits;       /* 1, 8 or 24 */
    int32_t color_type;
    int32_t interlaced;       /* 1 for seven-pass interlacing */
    int32_t layout;           /* 0..14: the supported pair of colour type and bit depth */
    int32_t samples;          /* samples per pixel */
    int32_t file_pixel_bits;  /* bit depth * samples */
    int32_t file_row_bytes;   /* (width * file_pixel_bits + 7) / 8 */
    int32_t trns_seen;
    int32_t trns_data[2];     /* the transparent palette index, or up to three 16-bit grey or colour values (machine order) */
    int32_t trns_bytes;       /* byte count of the transparency values */
    int32_t bkgd_seen;
    int32_t bkgd_length;
    int32_t bkgd_data[2];     /* 1 to 6 bytes of background (16-bit values in machine order) */
    int32_t gamma;
    int32_t sbit;             /* up to four significant-bit bytes */
    int32_t phys_x;
    int32_t phys_y;
    int32_t phys_unit;
    int32_t offs_x;
    int32_t offs_y;
    int32_t offs_unit;
} PngInfoRecord;

/* ---- result codes ---------------------------------------------------------------------------- */

#define IMG_OK 0
#define IMGERR_AREA (-1)        /* no pixels or header, size 0, area outside the image, no colour table */
#define IMGERR_WRITE (-3)       /* the output file took fewer bytes than written */
#define IMGERR_OPEN (-4)        /* the input file cannot be opened */
#define IMGERR_PARAMETER (-5)   /* a parameter out of range */
#define IMGERR_BAD_TIFF (-6)
#define IMGERR_COMPRESSION (-9) /* unsupported or damaged compressed data */
#define IMGERR_CREATE (-10)     /* the output file cannot be created */
#define IMGERR_PACKED (-12)     /* the image's header says its pixels are compressed */
#define IMGERR_MEMORY (-14)     /* out of memory, or an image larger than 2^31 - 1 bytes */
#define IMGERR_NOT_PCX (-16)
#define IMGERR_NOT_GIF (-17)
#define IMGERR_BAD_TGA (-25)
#define IMGERR_DEPTH (-26)      /* the image's depth is not allowed for the call or the file */
#define IMGERR_NOT_BMP (-27)
/* Reserved: pixel memory cannot be tested for readability here, so no call returns it. */
#define IMGERR_BUFFER (-42)
#define IMGERR_BAD_JPEG (-43)
#define IMGERR_TIFF_CODING (-44)
#define IMGERR_BAD_SOURCE (-52)
#define IMGERR_TRUNCATED (-62)  /* the file ends inside the image data (what was decoded stays) */
#define IMGERR_BAD_PNG (-63)
#define IMGERR_DEFLATE (-64)
#define IMGERR_TOO_LARGE (-73)  /* the area is wider or taller than 65535 pixels */

/* ---- images ------------------------------------------------------------------------------------ */

/* Allocates a zeroed image of 1, 4 (made 8), 8, 16 or 24 bits per pixel with the default grey
 * colour table (and IMAGE_FLAG_GREY for 1, 8 and 16 bits); the area is the whole image. The
 * descriptor is cleared first. IMGERR_DEPTH for other depths, IMGERR_AREA for a width or height
 * <= 0, IMGERR_MEMORY when the image would exceed 2^31 - 1 bytes or memory runs out. */
KRO_API int32_t allocimage(ImageDescriptor* img, int32_t width, int32_t height, int32_t bits);
/* Releases an image of allocimage and clears the descriptor: 0. Non-zero, touching nothing, for
 * a null descriptor or a header this library did not allocate (also a second call). */
KRO_API int32_t freeimage(ImageDescriptor* img);
/* Records that the library was initialised; images never live in display surfaces here. */
KRO_API void KroVICInit(void);


/* ---- BMP ---------------------------------------------------------------------------------------- */

/* Fills info from the file's header (a core header is widened to 40 bytes; used and important
 * colour counts and the image size are completed; a top-down file reports a positive height). */
KRO_API int32_t bmpinfo(const char* name, KroBitmapInfoHeader* info);
/* Loads into an image of 1, 8 (also for 4-bit files) or 24 bits (also for 16- and 32-bit files). */
KRO_API int32_t loadbmp(const char* name, ImageDescriptor* img);
/* Writes the area of a 1-, 8- or 24-bit image; rle8 non-zero codes an 8-bit image as RLE8
 * (other depths: IMGERR_COMPRESSION, no file). */
KRO_API int32_t WriteBmpFile(const char* name, ImageDescriptor* img, int32_t rle8);

/* ---- PCX ---------------------------------------------------------------------------------------- */

KRO_API int32_t pcxinfo(const char* name, PcxInfo* info);
/* Loads 1 bit in 1 plane (1-bit image), 4 bits in 1 plane, 8 bits in 1 plane, 1 bit in 4 planes
 * (8-bit images) and 8 bits in 3 planes (24-bit image). */
KRO_API int32_t loadpcx(const char* name, ImageDescriptor* img);
/* Writes the area of a 1- or 8-bit image; an 8-bit file always carries the 256-entry table at
 * its end. */
KRO_API int32_t WritePcxFile(const char* name, ImageDescriptor* img);

/* ---- TGA ---------------------------------------------------------------------------------------- */

KRO_API int32_t tgainfo(const char* name, TgaInfo* info);
/* Loads colour-mapped and grey files into 8-bit images, true-colour files into 24-bit images. */
KRO_API int32_t loadtga(const char* name, ImageDescriptor* img);
/* As loadtga; alpha (may be null: an 8-bit image covering the area) receives the alpha of 32-bit
 * true-colour and 16-bit grey files. */
KRO_API int32_t LoadTgaWithAlpha(const char* name, ImageDescriptor* img, ImageDescriptor* alpha);
/* Writes the area of a 24-bit image, run-length coded when rle is non-zero. */
KRO_API int32_t WriteTgaFile(const char* name, ImageDescriptor* img, int32_t rle);

/* ---- colour conversion ---------------------------------------------------------------------------- */

/* Reduces the common area of a 24-bit image to colors (2..256) table entries chosen by median cut
 * and maps every pixel to its nearest entry into an 8-bit image with a colour table. */
KRO_API int32_t convertrgbtopal(int32_t colors, ImageDescriptor* src, ImageDescriptor* dst);
/* Expands the common area of an 8-bit image through its colour table into a 24-bit image. */
KRO_API int32_t convertpaltorgb(ImageDescriptor* src, ImageDescriptor* dst);

/* ---- GIF ---------------------------------------------------------------------------------------- */

/* Describes the first image of the file (IMGERR_NOT_GIF for a file without one, IMGERR_TRUNCATED
 * when the file ends before it). IMGERR_PARAMETER for a null record. */
KRO_API int32_t gifinfo(const char* name, GifInfo* info);
/* Loads the first image into a 1- or 8-bit image (a 1-bit image keeps the low bit of each index;
 * 24 bits: IMGERR_DEPTH). IMGERR_TRUNCATED when the data end or break off early: the rows decoded
 * so far and the colour table stay. */
KRO_API int32_t loadgif(const char* name, ImageDescriptor* img);
/* The number of images up to the trailer (or up to where a cut-off file ends). */
KRO_API int32_t CountGifImages(const char* name, int32_t* count);
/* Writes the area of a 1- or 8-bit image with a colour table as a single-image GIF87a file
 * (colors 0: IMGERR_PARAMETER; more colours than the depth holds: IMGERR_AREA). */
KRO_API int32_t WriteGifFile(const char* name, ImageDescriptor* img);

/* ---- TIFF --------------------------------------------------------------------------------------- */

/* Fills info from the first directory (IMGERR_BAD_TIFF for a file that is not a TIFF, a damaged
 * directory or a used tag of the wrong type). alloc_bits is the depth to allocate: the bits per
 * sample (5 and 6: 8), or 24 for three or more samples of 8 bits. */
KRO_API int32_t tiffinfo(const char* name, TiffInfo* info);
/* Loads the first image into an image of 1, 8 (also for 4- to 6-bit files), 16 or 24 bits:
 * uncompressed, PackBits, LZW (with horizontal differencing), the fax codings and JPEG strips as
 * the depth allows. Alpha and extra samples are dropped, CMYK becomes RGB, the orientation is
 * turned upright. IMGERR_COMPRESSION for an unsupported layout, IMGERR_TRUNCATED when the data
 * end early and IMGERR_TIFF_CODING when they are damaged (what was decoded stays in both cases). */
KRO_API int32_t loadtif(const char* name, ImageDescriptor* img);
/* Writes the area of a 1-, 8-, 16- or 24-bit image as a little-endian single-image file.
 * options & ~0x30: 0 none, 1 LZW, 2 PackBits, 3 modified Huffman, 4 Group 4, 5 Group 3 (the last
 * three for 1-bit images only; PackBits not for 16 or 24 bits; LZW not for 16 bits); bit 4 (16):
 * one strip; bit 5 (32): fill order 2 for 1-bit images. Other compressions: IMGERR_COMPRESSION. */
KRO_API int32_t WriteTiffFile(const char* name, ImageDescriptor* img, int32_t options);

/* ---- JPEG --------------------------------------------------------------------------------------- */

/* Fills info from the headers up to the first scan (frame_type -1 when no frame header came
 * first). IMGERR_BAD_JPEG when the stream has no start-of-image marker first or no scan. */
KRO_API int32_t jpeginfo(const char* name, JpegInfo* info);
/* Loads a baseline, extended sequential or progressive Huffman-coded 8-bit file: one component
 * into an 8-bit image (which then gets the grey table), three or four into a 24-bit image (the
 * fourth is ignored; with an Adobe marker saying "no transform" the samples are red, green,
 * blue). IMGERR_TRUNCATED when the data end or are damaged: what was decoded stays in the image
 * (every complete MCU of a single-scan file; for a progressive file the picture from all
 * coefficients read). */
KRO_API int32_t loadjpg(const char* name, ImageDescriptor* img);
/* As loadjpg from a complete stream in memory; colour streams are always converted from YCbCr.
 * IMGERR_BAD_SOURCE for a null address. */
KRO_API int32_t LoadJpegMemory(const void* data, uint32_t length, ImageDescriptor* img);
/* Writes the area of an 8-bit (grey: one component; colour-mapped: through the table) or 24-bit
 * image as baseline JFIF (extended sequential when a quality of 23 or less needs 16-bit tables), colour
 * at 4:2:0, at quality 1..100 (0 or less as 1, above 100 as 100). */
KRO_API int32_t WriteJpegFile(const char* name, ImageDescriptor* img, int32_t quality);

/* ---- PNG ---------------------------------------------------------------------------------------- */

/* Fills the record from the file's chunks (all fields zero that the file does not supply). */
KRO_API int32_t PngInfo(const char* name, PngInfoRecord* info);
/* Loads into an image of the record's alloc_bits (another depth: IMGERR_DEPTH); alpha and the low
 * bytes of 16-bit samples are dropped. IMGERR_BAD_PNG for anything damaged or unsupported. */
KRO_API int32_t LoadPngFile(const char* name, ImageDescriptor* img);
/* Writes the area: 24-bit images as RGB, grey-flagged 8-bit images as grey, other 8-bit and
 * 1-bit images with a palette (a grey ramp when colors is 0). options bit 0: interlaced; bits
 * 1-3 (options & 14): 0 adaptive filters, 2/4/6/8/10 always None/Sub/Up/Average/Paeth (grey and
 * RGB only; 12 and 14: IMGERR_PARAMETER). */
KRO_API int32_t WritePngFile(const char* name, ImageDescriptor* img, int32_t options);

KRO_END_DECLS

#endif
