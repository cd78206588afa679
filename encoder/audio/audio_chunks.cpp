#include "encoder/audio/audio_chunks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "bytes/byte_order.h"
#include "kroutil/kro_file.h"
#include "kroutil/output/audio_encoder.h"
#include "kroutil/output/dpcm_chunk.h"

namespace {

constexpr uint32_t kStereo = 1u << 28, kSixteen = 1u << 29, kHasData = 1u << 30, kCompressed = 1u << 31;
constexpr uint32_t kDct = 1u << 26, kDft = 1u << 27;

using bytes::append32le;

// Byte offset where frame k's sound starts. The player keeps about a frame period and a second
// of sound queued ahead of the picture (its audio lead), so frame 0 carries that lead and every
// later frame one more period: frame k's chunk ends where the sound of frame k + 1 + lead
// begins, and the queue never runs dry between frames. All in whole sample frames.
struct ChunkTimes {
    uint32_t frames, period;
    uint64_t bytesPerSecond, total, lead;
    uint32_t frameBytes;

    uint64_t periods(uint64_t k) const { return k * period * bytesPerSecond / 100000 / frameBytes * frameBytes; }
    uint64_t startOf(uint64_t k) const {
        if (k == 0) return 0;
        if (period == 0 || k >= frames) return total;
        return std::min(total, lead + periods(k - 1));
    }
};

ChunkTimes chunkTimes(uint32_t frames, uint32_t period, uint64_t bytesPerSecond, uint32_t frameBytes, uint64_t total) {
    ChunkTimes c{frames, period, bytesPerSecond, total, 0, frameBytes};
    // The same lead the player computes: one period in whole bytes plus a second, to 4 bytes.
    uint64_t lead = (bytesPerSecond * period / 100000 + bytesPerSecond + 3) & ~uint64_t(3);
    c.lead = lead / frameBytes * frameBytes;
    return c;
}

bool fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

}  // namespace

bool TorvexMemorySound::read(uint8_t* out, size_t bytes, std::string* error) {
    if (bytes > bytes_ - at_) return fail(error, "read past the end of the sound");
    std::memcpy(out, pcm_ + at_, bytes);
    at_ += bytes;
    return true;
}

struct TorvexTrackChunker::State {
    TorvexSoundFormat format;
    TorvexSoundSource* source = nullptr;
    ChunkTimes times{};
    uint32_t k = 0;  // the next frame
    // DPCM: the Huffman encoder writes through a bit file, one scratch file for all chunks.
    std::string scratch;
    KroFile* file = nullptr;
    std::vector<uint8_t> pcm;
    // Transform coding.
    torvex::TorvexAudioEncoder* encoder = nullptr;
    uint32_t blockOut = 0;
    uint64_t taken = 0, delivered = 0;
    bool done = false;

    ~State() {
        if (file) {
            KroFileClose(file);
            KroFileErase(scratch.c_str());
        }
        torvex::TorvexAudioEncoderFree(encoder);
    }
};

TorvexTrackChunker::TorvexTrackChunker() = default;
TorvexTrackChunker::~TorvexTrackChunker() = default;

bool TorvexTrackChunker::open(const TorvexSoundFormat& tr, TorvexSoundSource* source, uint32_t frames, uint32_t period,
                              std::string* error) {
    s_.reset();
    largest_ = 0;
    if (!source || frames == 0) return fail(error, "no frames to carry the sound");
    if (tr.channels < 1 || tr.channels > 2 || (tr.bits != 8 && tr.bits != 16))
        return fail(error, "sound must be 8 or 16-bit, mono or stereo");
    if (tr.rate < 1000 || tr.rate > 192000) return fail(error, "sample rate " + std::to_string(tr.rate) + " Hz is out of range");
    const uint32_t frameBytes = tr.channels * tr.bits / 8;
    const uint64_t total = source->size() / frameBytes * frameBytes;
    const uint64_t bps = uint64_t(tr.rate) * frameBytes;
    bool transform = tr.coding == TorvexAudioCoding::Dct || tr.coding == TorvexAudioCoding::Dft;
    if (transform && (tr.bits != 16 || tr.rate < 16000))
        return fail(error, "transform coding needs 16-bit sound at 16000 Hz or more");

    auto s = std::make_unique<State>();
    s->format = tr;
    s->source = source;
    s->times = chunkTimes(frames, period, bps, frameBytes, total);
    format_ = tr.rate | kHasData | (tr.channels == 2 ? kStereo : 0) | (tr.bits == 16 ? kSixteen : 0);
    if (tr.coding == TorvexAudioCoding::Dpcm) {
        format_ |= kCompressed;
        std::random_device entropy;
        s->scratch = (std::filesystem::temp_directory_path() /
                      ("tvx-dpcm-" + std::to_string(entropy()) + std::to_string(entropy()) + ".tmp"))
                         .string();
        s->file = KroFileCreate(0, s->scratch.c_str());
        if (!s->file) return fail(error, "cannot create a scratch file for the sound");
    }
    if (tr.coding == TorvexAudioCoding::Dct) format_ |= kDct | kCompressed;
    if (tr.coding == TorvexAudioCoding::Dft) format_ |= kDft | kCompressed;
    if (transform) {
        s->encoder = torvex::TorvexAudioEncoderCreate(tr.rate, tr.channels, tr.coding == TorvexAudioCoding::Dct ? 1 : 0);
        if (!s->encoder) return fail(error, "out of memory for the transform encoder");
        s->blockOut = torvex::TorvexAudioEncoderBlockBytes(s->encoder) - torvex::TorvexAudioEncoderOverlapBytes(s->encoder);
        s->done = total == 0;
    }
    s_ = std::move(s);
    return true;
}

bool TorvexTrackChunker::next(std::vector<uint8_t>& c, std::string* error) {
    c.clear();
    if (!s_) return fail(error, "the sound is not open");
    State& s = *s_;
    const ChunkTimes& times = s.times;
    const uint32_t k = s.k;
    if (k >= times.frames) return fail(error, "more frames than the sound was cut for");
    ++s.k;
    if (s.format.coding == TorvexAudioCoding::Raw) {
        uint64_t a = times.startOf(k), b = times.startOf(k + 1);
        if (b > a) {
            append32le(c, uint32_t(4 + b - a));
            c.resize(4 + size_t(b - a));
            if (!s.source->read(c.data() + 4, size_t(b - a), error)) return false;
        }
    } else if (s.format.coding == TorvexAudioCoding::Dpcm) {
        uint64_t a = times.startOf(k), b = times.startOf(k + 1);
        if (b > a) {
            s.pcm.resize(size_t(b - a));
            if (!s.source->read(s.pcm.data(), s.pcm.size(), error)) return false;
            KroFileSetPos(s.file, 0);
            uint32_t n = torvex::TorvexWriteDpcmChunk(s.file, s.pcm.data(), uint32_t(b - a), s.format.channels == 2,
                                                      s.format.bits == 16);
            // No code could be built: this chunk needs more bits than raw would take.
            if (n == 0) return fail(error, "the sound could not be DPCM coded");
            KroFileFlush(s.file, 0);
            append32le(c, 8 + n);
            append32le(c, uint32_t(b - a));
            c.resize(8 + size_t(n));
            KroFileSetPos(s.file, 0);
            if (KroFileGet(s.file, c.data() + 8, n) != n) return fail(error, "the sound could not be DPCM coded");
        }
    } else {
        // Whole blocks per frame as long as the sound they stand for stays within the frame's
        // end (the last block of the sound is taken whole): running over would queue more than
        // the player's ring holds after the lead of frame 0. A chunk's unpacked length is what
        // its blocks decode to.
        const uint64_t total = times.total;
        uint64_t target = times.startOf(k + 1);
        uint32_t unpacked = 0;
        auto fits = [&] { return s.delivered + s.blockOut <= target || total - s.delivered <= s.blockOut; };
        while (!s.done && ((s.delivered < target && fits()) || k + 1 == times.frames)) {
            uint32_t want = torvex::TorvexAudioEncoderNextInputBytes(s.encoder);
            uint32_t offset = torvex::TorvexAudioEncoderBlockBytes(s.encoder) - want;
            uint32_t got = uint32_t(std::min<uint64_t>(want, total - s.taken));
            if (got && !s.source->read(torvex::TorvexAudioEncoderInput(s.encoder) + offset, got, error)) return false;
            s.taken += got;
            const uint8_t* block;
            uint32_t blockBytes;
            uint32_t d = torvex::TorvexAudioEncodeBlock(s.encoder, got, s.format.quality, &block, &blockBytes);
            if (d == 0) {
                s.done = true;
                break;
            }
            if (c.empty()) c.resize(8);
            c.insert(c.end(), block, block + blockBytes);
            unpacked += s.blockOut;
            s.delivered += d;
            if (s.delivered >= total) s.done = true;
        }
        if (!c.empty()) {
            bytes::store32le(c.data(), uint32_t(c.size()));
            bytes::store32le(c.data() + 4, unpacked);
        }
    }
    largest_ = std::max<uint32_t>(largest_, uint32_t(c.size()));
    return true;
}

bool TorvexBuildTrackChunks(const TorvexWriterTrack& tr, uint32_t frames, uint32_t period, TorvexTrackChunks* out,
                            std::string* error) {
    if (!out) return fail(error, "no frames to carry the sound");
    TorvexMemorySound source(tr.pcm.data(), tr.pcm.size());
    TorvexTrackChunker chunker;
    if (!chunker.open(tr, &source, frames, period, error)) return false;
    out->chunk.assign(frames, {});
    for (uint32_t k = 0; k < frames; ++k)
        if (!chunker.next(out->chunk[k], error)) return false;
    out->format = chunker.format();
    out->largest = chunker.largest();
    return true;
}
