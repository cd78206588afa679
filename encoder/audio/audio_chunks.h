// The sound side of the Torvex writer: a track's PCM cut into one audio chunk per frame, stored
// raw, DPCM-Huffman coded (lossless) or transform coded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class TorvexAudioCoding { Raw, Dpcm, Dct, Dft };

// What a track holds and how it is stored.
struct TorvexSoundFormat {
    uint32_t rate = 22050;
    uint32_t channels = 1;     // 1 or 2
    uint32_t bits = 16;        // 8 or 16
    TorvexAudioCoding coding = TorvexAudioCoding::Raw;
    uint32_t quality = 0;      // transform coding: 0 (best) .. 99
};

struct TorvexWriterTrack : TorvexSoundFormat {
    // 8-bit unsigned or 16-bit signed little-endian, interleaved. A track without a whole
    // sample frame of sound is left out of the file (not declared in the header).
    std::vector<uint8_t> pcm;
};

// A track's PCM, read once from the start in order (8-bit unsigned or 16-bit signed
// little-endian, interleaved).
class TorvexSoundSource {
public:
    virtual ~TorvexSoundSource() = default;
    // Bytes of PCM in all; only whole sample frames of it are used.
    virtual uint64_t size() const = 0;
    // The next `bytes` bytes (never past size()); false with a message when they cannot be read.
    virtual bool read(uint8_t* out, size_t bytes, std::string* error) = 0;
};

// A source over PCM in memory (which must outlive it).
class TorvexMemorySound : public TorvexSoundSource {
public:
    TorvexMemorySound(const uint8_t* pcm, size_t bytes) : pcm_(pcm), bytes_(bytes) {}
    uint64_t size() const override { return bytes_; }
    bool read(uint8_t* out, size_t bytes, std::string* error) override;

private:
    const uint8_t* pcm_;
    size_t bytes_, at_ = 0;
};

struct TorvexTrackChunks {
    uint32_t format = 0;                     // the header's audio format word
    uint32_t largest = 0;                    // the largest chunk's length
    std::vector<std::vector<uint8_t>> chunk; // per frame, whole chunks; empty = none
};

// Cuts a track into `frames` chunks, one frame at a time, reading the source as it goes (so
// the sound is never all in memory). Frame 0 carries the lead the player queues ahead of the
// picture (one period plus a second of sound), every later frame one period; the sound that
// outlasts the frames goes into the last one. The sound at time s is thus played when frame
// s / period is shown. The period is in 10 us units; with 0 everything goes into frame 0.
class TorvexTrackChunker {
public:
    TorvexTrackChunker();
    ~TorvexTrackChunker();
    // False with a message for unusable tracks (transform coding needs 16-bit sound at a rate
    // of at least 16000 Hz).
    bool open(const TorvexSoundFormat& format, TorvexSoundSource* source, uint32_t frames, uint32_t period,
              std::string* error);
    // The next frame's chunk (empty: none). False with a message when the source fails or the
    // sound cannot be coded.
    bool next(std::vector<uint8_t>& chunk, std::string* error);
    uint32_t format() const { return format_; }
    uint32_t largest() const { return largest_; }  // of the chunks made so far

private:
    struct State;
    std::unique_ptr<State> s_;
    uint32_t format_ = 0, largest_ = 0;
};

// Every chunk of a track in memory at once (the chunker over the track's PCM).
bool TorvexBuildTrackChunks(const TorvexWriterTrack& track, uint32_t frames, uint32_t period, TorvexTrackChunks* out,
                            std::string* error);
