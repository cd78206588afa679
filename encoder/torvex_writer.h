// The Torvex writer: writes a valid Torvex file from a sequence of 8-bit frames with 256-entry
// palettes.
//
// Writing is lossless for what the format can show: decoding the written file gives back each
// frame's pixels inside the 4x4 block grid (pixels right of width/4*4 and below the last whole
// block row are never painted and stay as the target had them) and its palette with 6-bit
// precision (TorvexWriterShownPalette). Interlaced storage keeps the even display rows (the odd
// ones are never painted); doubled storage keeps the even rows and shows each twice.
//
// The header trees are built with the word-mode Huffman encoder from the statistics of all the
// frames written (ring frame included). Each tree's node storage is declared as the encoder's
// result for it: 12 for an absent tree, 20 for a lone value, 16 + 8 x internal nodes otherwise,
// which is what the decoder needs (TorvexTreeStorage).
//
// Since the trees come first in the file and depend on every frame, the writer reads the frames
// twice: a first pass gathers the trees' statistics (and keeps each frame's block choices while
// they fit a small budget), a second pass codes. TorvexStreamWriter asks a frame source for the
// frames on each pass and holds only a few of them, so memory does not grow with the length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encoder/audio/audio_chunks.h"

struct TorvexWriterFrame {
    const uint8_t* pixels = nullptr;   // width x displayed height indexes, top row first
    const uint8_t* palette = nullptr;  // 256 x (red, green, blue), 8 bits each
    bool forcePalette = false;         // write a palette chunk even when nothing changed
};

enum class TorvexDisplay { Normal, Interlaced, Doubled };

struct TorvexWriterOptions {
    int version = 2;                 // 2 = "TVX2", 4 = "TVX4"
    bool ring = false;               // add the ring frame (last frame back to frame 0)
    bool ringForcePalette = false;   // the ring frame carries a palette chunk even if unchanged
    TorvexDisplay display = TorvexDisplay::Normal;
    int32_t frameRate = 66;          // the header field as is
    // Up to seven sound tracks, entry t stored as audio track t; an entry without sound (empty
    // pcm) leaves track t out, so {a, {}, {}, b} writes tracks 0 and 3 only. One chunk per
    // frame: frame 0 holds the lead of sound the player queues (a period and a second), later
    // frames a period each; what outlasts the frames goes into the last one. The ring frame
    // repeats frame 0's chunk, so that a loop through it keeps the sound in time.
    std::vector<TorvexWriterTrack> tracks;
};

struct TorvexWriterStats {
    uint32_t blocks[4] = {0, 0, 0, 0};  // mono, full, skip, solid (blocks coded)
    uint32_t fullModes[3] = {0, 0, 0};  // "TVX4" full blocks by mode
    uint32_t paletteChunks = 0;
    uint32_t treeSizes[4] = {0, 0, 0, 0};
    uint64_t fileSize = 0;
};

// Frames for the streaming writer, asked for twice (rewind in between). Each pass must give the
// same frames: the writer refuses a second pass that would not fit the trees of the first.
class TorvexFrameSource {
public:
    enum class Status { Frame, End, Failed };
    virtual ~TorvexFrameSource() = default;
    // The next frame, or End after the last one, or Failed with a message. The frame's pixels
    // and palette need to stay valid only until the next call.
    virtual Status next(TorvexWriterFrame* frame, std::string* error) = 0;
    // Back to the first frame; false with a message when that is not possible.
    virtual bool rewind(std::string* error) = 0;
};

// Frames already in memory, as a frame source.
class TorvexFrameList : public TorvexFrameSource {
public:
    explicit TorvexFrameList(const std::vector<TorvexWriterFrame>& frames) : frames_(frames) {}
    Status next(TorvexWriterFrame* frame, std::string* error) override;
    bool rewind(std::string*) override {
        at_ = 0;
        return true;
    }

private:
    const std::vector<TorvexWriterFrame>& frames_;
    size_t at_ = 0;
};

// The writer for any number of frames:
//
//     TorvexStreamWriter w;
//     ok = w.open(path, width, height, options, &error)
//          && w.setSound(0, format, &wavSource, &error)   // any tracks, read once in step
//          && w.write(frameSource, &error, &stats);      // both passes; the file is complete
//
// The file is created only after the first pass, as PATH.part, and takes its name when complete;
// a writer that fails (or is destroyed before write() finished) leaves no file behind and an
// existing file at the path as it was. options.tracks are used as well; their PCM and every
// source must outlive write().
class TorvexStreamWriter {
public:
    TorvexStreamWriter();
    ~TorvexStreamWriter();
    TorvexStreamWriter(const TorvexStreamWriter&) = delete;
    TorvexStreamWriter& operator=(const TorvexStreamWriter&) = delete;

    // Checks the size and options; false with a message when they are unusable.
    bool open(const std::string& path, uint32_t width, uint32_t displayedHeight, const TorvexWriterOptions& options,
              std::string* error = nullptr);
    // Stores sound track t (0..6) from a source, in place of options.tracks[t]. A source without
    // a whole sample frame of sound leaves the track out, as an empty track does.
    bool setSound(int track, const TorvexSoundFormat& format, TorvexSoundSource* source, std::string* error = nullptr);
    // Reads the frames (twice) and writes the file. Once per open().
    bool write(TorvexFrameSource& frames, std::string* error = nullptr, TorvexWriterStats* stats = nullptr);

    // The budget for the block choices the first pass keeps for the second, in bytes: what does
    // not fit is worked out again. Default: four stored pictures' worth (at least 256 KB).
    void setChoiceBudget(size_t bytes);

private:
    struct State;
    std::unique_ptr<State> s_;
};

// Writes the file from frames in memory (a TorvexStreamWriter over them); false with a message
// when the frames are unusable or writing fails.
bool TorvexWrite(const std::string& path, uint32_t width, uint32_t displayedHeight,
                 const std::vector<TorvexWriterFrame>& frames, const TorvexWriterOptions& options,
                 std::string* error = nullptr, TorvexWriterStats* stats = nullptr);

// The palette the decoder shows for an 8-bit palette (6-bit values expanded again).
void TorvexWriterShownPalette(const uint8_t* palette, uint8_t* shown);
