// The picture chain every frame of graphics input passes through before it reaches the canvas:
// scaling (with optional softening), premultiply, de-interlace, gamma, black threshold, levels,
// brightness, 3x3 median and alpha division, then the conversions into the canvas. It knows
// nothing of the GFile record: the record keeps one FrameProcessor, configures it from its
// flags word and scaled size, and hands it each frame it reads with the six per-call values.
//
// Pixels of every stage are 32-bit 0xAARRGGBB words (blue in the lowest byte, as stored in
// memory on this little-endian platform). A stage that is not selected costs nothing, and a
// frame is copied only when some stage runs: otherwise the result is the source view itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kro {

// Bits of the GFileOpen flags word that the chain reads.
constexpr uint32_t kFlagKeepAlpha = 1u << 8;      // canvas conversion keeps the alpha byte
constexpr uint32_t kFlagKeepField1 = 1u << 11;    // de-interlace: keep rows 0, 2, 4 ...
constexpr uint32_t kFlagKeepField2 = 1u << 12;    // de-interlace: keep rows 1, 3, 5 ...
constexpr uint32_t kFlagFieldBlend = 1u << 13;    // de-interlace: blend the fields
constexpr uint32_t kFlagTriangle = 1u << 14;      // scaling filter: triangle
constexpr uint32_t kFlagBox = 1u << 15;           // scaling filter: box (neither: cubic)
constexpr uint32_t kFlagPremultiply = 1u << 16;   // colour x alpha as 32-bit pixels are read
constexpr uint32_t kFlagDivideAlpha = 1u << 17;   // colour / alpha at the end of the chain

enum class ScaleFilter : int32_t { Cubic = 0, Triangle = 1, Box = 2 };

// The filter the flags word selects (box wins when both bits are set); its number is the
// record's `filter` field.
ScaleFilter filterFromFlags(uint32_t flags);

// A picture in memory, not owned. Depth in bits per pixel:
//   4   two palette indices per byte, low nibble first ((width + 1) / 2 bytes a row)
//   8   one palette index per byte (depths 1 to 7 are taken as 8: one index per byte)
//   16  little-endian 5-5-5 words (bit 15 ignored); each 5-bit channel c reads as c << 3
//   24  bytes blue, green, red (alpha reads as 0)
//   32  little-endian 0xAARRGGBB words
// The caller guarantees `height` rows of `pitch` bytes (pitch may be negative for bottom-up
// storage) each holding `width` pixels. Palette: 256 entries of red, green, blue bytes (768
// bytes), used for depths up to 8; a null palette reads index i as grey (i, i, i).
struct FrameView {
    const uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 0;
    ptrdiff_t pitch = 0;
    const uint8_t* palette = nullptr;
};

// The per-frame processing values of GFileGet, unchanged from the caller.
struct FrameArgs {
    int32_t median = 0;        // non-zero: 3x3 median
    uint32_t softening = 0;    // low 16 bits horizontal, high 16 bits vertical, 1/256 percent
    int32_t levels = 0;        // 0..128 (larger counts as 128, 0 or negative is off)
    int32_t brightness = 100;  // percent; 100 and negative values are off
    float gamma = 1.0f;        // off within 0.0001 of 1, and when <= 0 or not finite
    int32_t threshold = 0;     // 0 or negative is off
};

// One axis of a resampler: for each output sample, the source samples it reads (always inside
// [0, from)) with weights summing to 1. `identity` is set when from == to: that axis is copied.
struct AxisScaler {
    int32_t from = 0;
    int32_t to = 0;
    bool identity = true;
    std::vector<int32_t> first;     // to + 1 entries: taps of output i are [first[i], first[i + 1])
    std::vector<int32_t> source;    // source sample of each tap
    std::vector<double> weight;     // weight of each tap
};

// Builds the resampler of one axis: output sample i is centred on source position i / e, with
// e = (to - 1) / (from - 1), or to / from when either size is 1; shrinking widens the filter by
// 1 / e. Positions outside the source reflect about the edge samples without repeating them.
// Sizes below 1 count as 1.
AxisScaler buildAxisScaler(int32_t from, int32_t to, ScaleFilter filter);

// Turns an unrounded channel value into a byte: 0 when not above 0, 255 from 254.5 on,
// otherwise rounded to nearest (halves round down).
uint8_t roundChannel(double v);

// The chain for one record. Not thread-safe; one per record.
class FrameProcessor {
public:
    FrameProcessor();
    ~FrameProcessor();
    FrameProcessor(const FrameProcessor&) = delete;
    FrameProcessor& operator=(const FrameProcessor&) = delete;

    // flags: the GFileOpen flags word (after the record dropped the alpha bits for sources
    // without alpha); scaled size: the frame size after scaling. Frames of any source size are
    // scaled to it; scalers are rebuilt only when the source, intermediate or scaled size
    // changes. Sizes below 1 count as 1.
    void configure(uint32_t flags, int32_t scaledWidth, int32_t scaledHeight);

    // Runs the chain on one source frame. False only when memory for the work pictures could
    // not be had; picture() is then the empty view. The result stays valid until the next
    // process() or configure().
    bool process(const FrameView& source, const FrameArgs& args);

    // The processed frame: the source view itself when no stage ran (same size, depth and
    // palette), else a 32-bit picture of the scaled size owned by the processor.
    const FrameView& picture() const { return result_; }
    // True when the last process() ran at least one stage (the picture is then 32-bit).
    bool ranStages() const { return ranStages_; }

    // The 24-bit conversion of the part of the picture at (x, y), width x rows (clipped to the
    // picture): packed blue, green, red bytes, rows of width x 3 bytes, owned by the processor
    // until the next call. Null when the rectangle is empty or memory fails.
    const FrameView* packed24(int32_t x, int32_t y, int32_t width, int32_t rows);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    FrameView result_;
    bool ranStages_ = false;
};

// Canvas conversion for true-colour output: the part of `picture` at (x, y), width x rows
// (clipped to the picture), becomes 0x00RRGGBB words at `canvas`, rows canvasPitch bytes apart.
// 32-bit pictures keep their alpha byte when keepAlpha is set; other depths read as above.
void convertToCanvas32(const FrameView& picture, int32_t x, int32_t y, int32_t width,
                       int32_t rows, uint32_t* canvas, ptrdiff_t canvasPitch, bool keepAlpha);

// Canvas conversion for 8-bit output of pictures of depth 8 or less (4-bit pictures give two
// pixels a byte, low nibble first): indices are copied, through `remap` (256 entries) when it
// is not null. Deeper pictures are mapped by ColourMapper (palette.h) instead; this call leaves
// the canvas untouched for them.
void convertToCanvas8(const FrameView& picture, int32_t x, int32_t y, int32_t width,
                      int32_t rows, uint8_t* canvas, ptrdiff_t canvasPitch,
                      const uint8_t* remap);

// Tests: when set, the scalers use their plain code even where AVX2 is there (both give the
// same bits).
extern bool gScalerPlainOnly;

// Reads pixel (x, y) of a picture of any depth as 0xAARRGGBB; (x, y) must lie inside.
uint32_t readPixel(const FrameView& picture, int32_t x, int32_t y);
// Reads n pixels of row y from column x on; the span must lie inside the picture.
void readPixels(const FrameView& picture, int32_t y, int32_t x, int32_t n, uint32_t* out);

}  // namespace kro
