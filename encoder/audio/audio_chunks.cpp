#include "encoder/audio/audio_chunks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "kroutil/kro_file.h"
#include "bytes/byte_order.h"
#include "kroutil/output/audio_encoder.h"
#include "kroutil/output/dpcm_chunk.h"

namespace {

constexpr uint32_t kStereo = 1u << 28, kSixteen = 1u << 29, kHasData = 1u << 30, kCompressed = 1u << 31;
constexpr uint32_t kDct = 1u << 26, kDft = 1u << 27;

using bytes::append32le;

void set32(std::vector<uint8_t>& v, size_t at, uint32_t x) { bytes::store32le(v.data() + at, x); }

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

bool TorvexBuildTrackChunks(const TorvexWriterTrack& tr, uint32_t frames, uint32_t period, TorvexTrackChunks* out,
                            std::string* error) {
    if (!out || frames == 0) return fail(error, "no frames to carry the sound");
    if (tr.channels < 1 || tr.channels > 2 || (tr.bits != 8 && tr.bits != 16))
        return fail(error, "sound must be 8 or 16-bit, mono or stereo");
    if (tr.rate < 1000 || tr.rate > 192000) return fail(error, "sample rate " + std::to_string(tr.rate) + " Hz is out of range");
    const uint32_t frameBytes = tr.channels * tr.bits / 8;
    const uint64_t total = tr.pcm.size() / frameBytes * frameBytes;
    const uint64_t bps = uint64_t(tr.rate) * frameBytes;
    bool transform = tr.coding == TorvexAudioCoding::Dct || tr.coding == TorvexAudioCoding::Dft;
    if (transform && (tr.bits != 16 || tr.rate < 16000))
        return fail(error, "transform coding needs 16-bit sound at 16000 Hz or more");

    out->chunk.assign(frames, {});
    out->largest = 0;
    out->format = tr.rate | kHasData | (tr.channels == 2 ? kStereo : 0) | (tr.bits == 16 ? kSixteen : 0);
    if (tr.coding == TorvexAudioCoding::Dpcm) out->format |= kCompressed;
    if (tr.coding == TorvexAudioCoding::Dct) out->format |= kDct | kCompressed;
    if (tr.coding == TorvexAudioCoding::Dft) out->format |= kDft | kCompressed;

    const ChunkTimes times = chunkTimes(frames, period, bps, frameBytes, total);
    if (tr.coding == TorvexAudioCoding::Raw) {
        for (uint32_t k = 0; k < frames; ++k) {
            uint64_t a = times.startOf(k), b = times.startOf(k + 1);
            if (b <= a) continue;
            auto& c = out->chunk[k];
            append32le(c, uint32_t(4 + b - a));
            c.insert(c.end(), tr.pcm.begin() + long(a), tr.pcm.begin() + long(b));
        }
    } else if (tr.coding == TorvexAudioCoding::Dpcm) {
        // The Huffman encoder writes through a bit file: one scratch file for all chunks.
        std::random_device entropy;
        std::string scratch =
            (std::filesystem::temp_directory_path() / ("tvx-dpcm-" + std::to_string(entropy()) + std::to_string(entropy()) + ".tmp"))
                .string();
        KroFile* f = KroFileCreate(0, scratch.c_str());
        if (!f) return fail(error, "cannot create a scratch file for the sound");
        bool ok = true;
        for (uint32_t k = 0; k < frames && ok; ++k) {
            uint64_t a = times.startOf(k), b = times.startOf(k + 1);
            if (b <= a) continue;
            KroFileSetPos(f, 0);
            uint32_t n = torvex::TorvexWriteDpcmChunk(f, tr.pcm.data() + a, uint32_t(b - a), tr.channels == 2, tr.bits == 16);
            auto& c = out->chunk[k];
            if (n == 0) {  // no code could be built: this chunk needs more bits than raw would take
                ok = false;
                break;
            }
            KroFileFlush(f, 0);
            append32le(c, 8 + n);
            append32le(c, uint32_t(b - a));
            size_t at = c.size();
            c.resize(at + n);
            KroFileSetPos(f, 0);
            ok = KroFileGet(f, c.data() + at, n) == n;
        }
        KroFileClose(f);
        KroFileErase(scratch.c_str());
        if (!ok) return fail(error, "the sound could not be DPCM coded");
    } else {
        torvex::TorvexAudioEncoder* enc =
            torvex::TorvexAudioEncoderCreate(tr.rate, tr.channels, tr.coding == TorvexAudioCoding::Dct ? 1 : 0);
        if (!enc) return fail(error, "out of memory for the transform encoder");
        // Whole blocks per frame as long as the sound they stand for stays within the frame's
        // end (the last block of the sound is taken whole): running over would queue more than
        // the player's ring holds after the lead of frame 0. A chunk's unpacked length is what
        // its blocks decode to.
        const uint32_t blockOut = torvex::TorvexAudioEncoderBlockBytes(enc) - torvex::TorvexAudioEncoderOverlapBytes(enc);
        uint64_t taken = 0, delivered = 0;
        bool done = total == 0;
        for (uint32_t k = 0; k < frames && !done; ++k) {
            uint64_t target = times.startOf(k + 1);
            auto& c = out->chunk[k];
            uint32_t unpacked = 0;
            auto fits = [&] { return delivered + blockOut <= target || total - delivered <= blockOut; };
            while (!done && ((delivered < target && fits()) || k + 1 == frames)) {
                uint32_t want = torvex::TorvexAudioEncoderNextInputBytes(enc);
                uint32_t offset = torvex::TorvexAudioEncoderBlockBytes(enc) - want;
                uint32_t got = uint32_t(std::min<uint64_t>(want, total - taken));
                std::memcpy(torvex::TorvexAudioEncoderInput(enc) + offset, tr.pcm.data() + taken, got);
                taken += got;
                const uint8_t* block;
                uint32_t blockBytes;
                uint32_t d = torvex::TorvexAudioEncodeBlock(enc, got, tr.quality, &block, &blockBytes);
                if (d == 0) {
                    done = true;
                    break;
                }
                if (c.empty()) {
                    append32le(c, 0);
                    append32le(c, 0);
                }
                c.insert(c.end(), block, block + blockBytes);
                unpacked += blockOut;
                delivered += d;
                if (delivered >= total) done = true;
            }
            if (!c.empty()) {
                set32(c, 0, uint32_t(c.size()));
                set32(c, 4, unpacked);
            }
        }
        torvex::TorvexAudioEncoderFree(enc);
    }
    for (const auto& c : out->chunk) out->largest = std::max<uint32_t>(out->largest, uint32_t(c.size()));
    return true;
}
