// Graphics input's own state behind GFile::priv, shared by the files of the module: the readers
// of each source kind (gfile_sources.cpp), lists and numbered sequences (gfile_list.cpp), frame
// delivery (gfile.cpp) and the palette steps (gfile_palette.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kroutil/gfile.h"
#include "kroutil/image.h"
#include "kroutil/input/frame_process.h"
#include "kroutil/input/palette.h"

struct TorvexFile;
struct KroFlic;
struct RlaImage;
namespace kro {
struct AviReader;
}
struct KroFile;
struct QuarnStream;
struct QuarnVideo;

namespace gfile {

// One source frame as a reader left it: rows top first (pitch may be negative for bottom-up
// storage), depth 8 (indexes into a 768-byte palette), 16 (5-5-5), 24 (blue, green, red) or
// 32 (0xAARRGGBB words).
using SourceFrame = kro::FrameView;

// One line of a list: a name with its frame range and repeat count.
struct ListEntry {
    std::string name;
    int32_t first = 0;
    int32_t last = 0;
    int32_t frames = 0;  // output frames it delivers, known after the list's open
};

struct ListState {
    std::vector<ListEntry> entries;  // lines expanded (sequences, repeats)
    size_t next = 0;                 // entry opened next
    GFile* sub = nullptr;            // the entry delivering frames now
    int depth = 0;                   // nesting of lists inside lists
};

// The raw frame file's reader.
struct RawState {
    KroFile* file = nullptr;
    uint32_t frames = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;
    std::vector<uint8_t> picture;
    uint8_t palette[768] = {};
};

// The processing arguments of GFileGet.
struct Processing {
    int32_t median = 0;
    int32_t softening = 0;
    int32_t levels = 0;
    int32_t brightness = 100;
    float gamma = 1.0f;
    int32_t threshold = 0;
};

}  // namespace gfile

// Behind GFile::priv (declared in the public header at global scope).
struct GFilePrivate {
    using SourceFrame = gfile::SourceFrame;
    using ListState = gfile::ListState;
    using RawState = gfile::RawState;
    using Processing = gfile::Processing;

    // ---- the source
    TorvexFile* torvex = nullptr;
    KroFlic* flic = nullptr;
    RlaImage* rla = nullptr;
    kro::AviReader* avi = nullptr;
    int embeddedHandle = -1;        // the program file a Torvex video is read from inside
    QuarnStream* quarn = nullptr;
    QuarnVideo* quarnVideo = nullptr;
    RawState raw;
    ImageDescriptor still{};
    bool stillLoaded = false;
    bool stillFailed = false;
    std::vector<uint8_t> picture;  // the frame buffer of Torvex, Flic, RLA and stills with alpha
    int64_t picturePitch = 0;
    uint8_t sourcePalette[768] = {};
    ListState list;
    bool skipped = false;           // sequential sources moved to the first frame
    uint32_t firstIndex = 0;        // zero-based first frame of the range
    int32_t frameCount = 0;         // frames in the source
    SourceFrame frame;              // the frame read last
    bool haveFrame = false;
    bool ended = false;

    // ---- arguments kept for sub-sources and the palette analysis
    int32_t openFlags = 0;
    int32_t openRates[4] = {0, 0, 0, 0};  // sampling and output, as given
    int32_t openFirst = 0;
    int32_t openLast = 0;
    int32_t conversionMode = 0;
    bool captionGiven = true;       // an empty caption (sub-sources) sends no progress

    // ---- processing and canvas
    std::unique_ptr<kro::FrameProcessor> processor;
    SourceFrame processed;           // the frame read last after the chain
    int32_t outputWidth = 0;         // after scaling and halving
    int32_t outputHeight = 0;
    bool processedValid = false;
    Processing proc;                 // the arguments of the GFileGet in progress (lists pass them on)
    Processing processedWith;        // the arguments `processed` was made with
    uint32_t skipFrames = 0;         // lists: frames of the current entry still before the range

    // ---- palette
    GFile* analysis = nullptr;       // the source whose colours make the palettes
    bool analysisFailed = false;
    uint32_t paletteCountdown = 0;   // frames until the next analysis
    bool alternate = false;          // reserve alternation: the next palette starts at start + reserve
    int32_t baseStart = 0;           // palette start as opened
    uint8_t remap[256] = {};
    bool remapValid = false;
    uint8_t remapPalette[768] = {};  // the source palette the remap table was built for
    std::unique_ptr<kro::ColourMapper> mapper;  // deep pixels to palette entries, cached
    bool mapperStale = true;         // the palette or its range changed since the mapper saw it
    int32_t pendingFrame = 0;        // analysis sources: a frame read but not yet counted
};

namespace gfile {

// ---- gfile.cpp
void sendProgress(GFile* g, const char* text, bool first, bool* cancelled);
// The rate of a frame-rate field (positive: milliseconds per frame, negative: minus the period
// in 10-microsecond units); 0 gives 15 frames per second.
void rateOfField(int32_t field, int32_t* num, int32_t* den);
// Reads the next source frame into priv->frame (false at the end of the source or on a failure
// that left no picture).
bool readSourceFrame(GFile* g);
// Moves the source back to its first frame.
void rewindSource(GFile* g);
void closeSource(GFile* g);
// Opens one source that is not a list; false after the error message.
bool openSingle(GFile* g, const char* name);
// Opens a list file or a sequence pattern; false after the error message.
bool openList(GFile* g, const char* name, bool pattern, int depth);
bool isSequencePattern(const char* name);
// Reads the next frame of a list (the next entry when one ends).
bool readListFrame(GFile* g);
void rewindList(GFile* g);
void closeList(GFile* g);
// Nested opens share one depth counter for the list that opens them.
GFile* openSub(GFile* parent, const char* name, int32_t first, int32_t last, int depth);
GFile* openInternal(const char* name, int32_t flags, const int32_t rates[4], int32_t widthSpec, int32_t heightSpec,
                    int32_t x, int32_t y, int32_t canvasWidth, int32_t canvasHeight, int32_t firstFrame,
                    int32_t lastFrame, int32_t paletteThreshold, int32_t paletteStart, int32_t paletteCount,
                    int32_t paletteReserve, int32_t paletteOption, int32_t conversionMode, const char* paletteFile,
                    const char* caption, KroStatusProc status, int depth);
// Reads up to the next output frame and processes it; false when no frame exists yet.
bool advanceFrame(GFile* g, const Processing& p, bool* readAny);
// The processed picture of the frame read last (the work picture when a stage ran).
SourceFrame processedFrame(const GFile* g);
// Output frames before source frame index i (positions in progress texts count output frames).
int64_t outputFramesBefore(const GFile* g, int64_t i);
bool extensionIs(const char* name, const char* ext);

// ---- gfile_process.cpp
// Runs the frame read last through the processing chain.
void processFrame(GFile* g, const Processing& p);

// ---- gfile_palette.cpp
// The palette steps of an 8-bit delivery; false when the palette file cannot be opened or the
// analysis was cancelled before any palette existed.
bool deliverPalettised(GFile* g, const Processing& p);
int32_t bestPalette(GFile* a, uint8_t* palette, const uint8_t* canvas, int32_t visibleWidth, int32_t visibleRows,
                    int32_t pitch, int32_t xOffset, int32_t yOffset, int32_t leftMargin, int32_t topMargin,
                    const Processing& proc);
void resetPalette(GFile* g);
void closePalette(GFile* g);

}  // namespace gfile
