#include "codec/torvex_tracks.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/mem_block.h"
#include "bytes/byte_order.h"
#include "codec/audio/dpcm.h"
#include "codec/audio/sound_backend.h"
#include "codec/torvex.h"
#include "codec/transform/audio_decoder.h"

using torvex::TorvexTrack;

namespace {

constexpr uint32_t kStereo = 1u << 28;
constexpr uint32_t kSixteen = 1u << 29;
constexpr uint32_t kHasData = 1u << 30;
constexpr uint32_t kCompressed = 1u << 31;
constexpr uint32_t kDct = 1u << 26;
constexpr uint32_t kRealDft = 1u << 27;
constexpr uint32_t kMaxRate = 192000;  // what the platform's devices play

// Shared by every file: the DPCM trees are built here.
struct TrackState {
    uint8_t* dpcmScratch = nullptr;
    uint32_t openTracks = 0;
};
TrackState tracks;

bool transformCoded(uint32_t format) { return format & (kDct | kRealDft); }
// A transform-coded track is compressed whatever bit 31 says.
bool compressed(uint32_t format) { return transformCoded(format) || (format & kCompressed); }

// The current frame's chunk of track t: its bytes, clipped to the frame as parsing clips them.
bool chunkOf(const TorvexFile* f, int t, const uint8_t** data, uint32_t* length) {
    const uint8_t* p = f->audioChunk[t];
    if (!p || !f->frame) return false;
    const uint8_t* end = f->frame + f->frameSize;
    if (p >= end) return false;
    uint32_t room = uint32_t(end - p);
    uint32_t len = TorvexChunkLength(p, room);
    *data = p;
    *length = len;
    return len >= 4;
}

TorvexTrack* trackOf(const TorvexFile* f, int t) { return f->tracks[t]; }

void account(TorvexFile* f, int64_t bytes) {
    f->stats.memInUse = uint32_t(int64_t(f->stats.memInUse) + bytes);
    f->stats.memPeak = std::max(f->stats.memPeak, f->stats.memInUse);
}

uint32_t roundUp4(uint64_t v) { return uint32_t(std::min<uint64_t>((v + 3) & ~uint64_t(3), 0xFFFFFFFCu)); }

void writeRing(TorvexTrack* t, const uint8_t* src, uint32_t n) {
    while (n) {
        uint32_t room = uint32_t(t->ringEnd - t->writePos);
        uint32_t k = std::min(n, room);
        std::memcpy(t->writePos, src, k);
        t->writePos += k;
        if (t->writePos == t->ringEnd) t->writePos = t->ringStart;
        src += k;
        n -= k;
    }
}

void silenceRing(TorvexTrack* t, uint32_t n) {
    const uint8_t fill = t->sixteenBit ? 0 : 0x80;
    while (n) {
        uint32_t room = uint32_t(t->ringEnd - t->writePos);
        uint32_t k = std::min(n, room);
        std::memset(t->writePos, fill, k);
        t->writePos += k;
        if (t->writePos == t->ringEnd) t->writePos = t->ringStart;
        n -= k;
    }
}

uint32_t frameBytesOf(const TorvexTrack* t) { return (t->stereo ? 2u : 1u) * (t->sixteenBit ? 2u : 1u); }

// Writes up to `room` bytes of the chunk's sound at the write position; returns the count.
uint32_t feedChunk(TorvexFile* f, int index, TorvexTrack* t, const uint8_t* chunk, uint32_t length, uint32_t amount) {
    uint32_t format = f->header.audioFormat[index];
    if (!compressed(format)) {
        writeRing(t, chunk + 4, amount);
        return amount;
    }
    const uint8_t* data = chunk + 8;
    const uint8_t* end = chunk + length;
    if (length < 8) return 0;
    if (transformCoded(format)) {
        uint32_t produced = 0;
        while (produced < amount && data < end) {
            const int16_t* pcm;
            uint32_t bytes;
            const uint8_t* next;
            if (!torvex::TorvexAudioDecodeBlock(t->decoder, data, end, &pcm, &bytes, &next)) break;
            uint32_t k = std::min(bytes, amount - produced);
            writeRing(t, reinterpret_cast<const uint8_t*>(pcm), k);
            produced += k;
            data = next;
        }
        return produced;
    }
    // DPCM straight into the ring; what the stream does not deliver is silence, so that the
    // ring keeps its timing.
    uint32_t whole = amount / frameBytesOf(t) * frameBytesOf(t);
    torvex::DpcmOutput out{t->ringStart, t->ringEnd, t->writePos};
    uint32_t written = 0;
    torvex::TorvexDecodeDpcm(data, end, whole, t->stereo, t->sixteenBit, tracks.dpcmScratch, out, &written);
    t->writePos = out.write;
    if (written < whole) silenceRing(t, whole - written);
    return whole;
}

void resetCounters(TorvexTrack* t) {
    t->held.store(0);
    t->writePos = t->ringStart;
    t->expectedFrac = 0;
    t->expectedWhole = 0;
    t->lateThreshold = t->bytesPerSecond * 512;
    t->totalWritten = 0;
    t->underrun.store(0);
    t->paddingDone = 0;
}

}  // namespace

bool TorvexOpenTrack(TorvexFile* f, int index, uint32_t headerPeriod, uint32_t effectivePeriod) {
    if (!f || index < 0 || index >= kTvxTracks || f->tracks[index]) return false;
    if (!torvex::TorvexSoundBackend()) torvex::TorvexSelectWaveOut();
    uint32_t format = f->header.audioFormat[index];
    uint32_t rate = format & 0xFFFFFF;
    if (!(format & (kHasData | kDct)) || rate == 0 || rate > kMaxRate) return false;
    bool stereo = format & kStereo, sixteen = format & kSixteen;
    uint32_t bps = rate * (sixteen ? 2 : 1) * (stereo ? 2 : 1);

    void* mem = TorvexMemAlloc(sizeof(TorvexTrack));
    if (!mem) return false;
    std::memset(mem, 0, sizeof(TorvexTrack));
    auto* t = new (mem) TorvexTrack();
    t->bytesPerSecond = bps;
    t->stereo = stereo;
    t->sixteenBit = sixteen;
    t->tailEnd = torvex::kNoTail;
    uint32_t accounted = sizeof(TorvexTrack);
    auto fail = [&]() {
        torvex::TorvexAudioDecoderFree(t->decoder);
        TorvexMemFree(t->ringAlloc);
        t->~TorvexTrack();
        TorvexMemFree(mem);
        return false;
    };
    if (transformCoded(format)) {
        // Transform coding needs 16-bit samples.
        if (!sixteen) return fail();
        t->decoder = torvex::TorvexAudioDecoderCreate(rate, stereo ? 2 : 1, (format & kDct) ? 1 : 0);
        if (!t->decoder) return fail();
    } else if (!tracks.dpcmScratch) {
        tracks.dpcmScratch = static_cast<uint8_t*>(TorvexMemAlloc(torvex::kDpcmScratchBytes));
        if (!tracks.dpcmScratch) return fail();
        accounted += torvex::kDpcmScratchBytes;
    }
    uint64_t perFrame = uint64_t(bps) * 1024 * f->period / 100000;
    t->bytesPerFrame = uint32_t(std::min<uint64_t>(perFrame, 0xFFFFFFFFu));
    t->lateThreshold = bps * 512;
    uint64_t ring = 2 * (perFrame / 1024) + bps;
    ring = std::max<uint64_t>((ring + 4095) & ~uint64_t(4095), 8192);
    if (ring > (64u << 20)) return fail();  // more than a few seconds of sound: a damaged header
    t->ringSize = uint32_t(ring);
    t->ringAlloc = TorvexMemAlloc(t->ringSize);
    if (!t->ringAlloc) return fail();
    accounted += t->ringSize;
    t->ringStart = static_cast<uint8_t*>(t->ringAlloc);
    t->ringEnd = t->ringStart + t->ringSize;
    t->writePos = t->ringStart;
    t->playbackRate = rate;
    if (headerPeriod && effectivePeriod) {
        uint64_t r = uint64_t(rate) * headerPeriod / effectivePeriod;
        t->playbackRate = uint32_t(std::clamp<uint64_t>(r, 1000, kMaxRate));
    }
    if (!torvex::TorvexSoundBackend()->openTrack(t, f->openFlags)) return fail();
    uint64_t whole = uint64_t(f->header.frames) * (perFrame / 1024);
    t->audioLead = std::min({roundUp4(perFrame / 1024 + bps), roundUp4(t->ringSize), roundUp4(whole)});
    f->tracks[index] = t;
    if (f->primaryTrack < 0) f->primaryTrack = index;
    ++tracks.openTracks;
    torvex::TorvexSoundCountTrack(1);
    account(f, accounted);
    return true;
}

void TorvexCloseTracks(TorvexFile* f) {
    if (!f) return;
    for (int i = 0; i < kTvxTracks; ++i) {
        TorvexTrack* t = trackOf(f, i);
        if (t) {
            if (auto* ops = torvex::TorvexSoundBackend()) ops->closeTrack(t);
            torvex::TorvexAudioDecoderFree(t->decoder);
            account(f, -int64_t(t->ringSize) - int64_t(sizeof(TorvexTrack)));
            TorvexMemFree(t->ringAlloc);
            t->~TorvexTrack();
            TorvexMemFree(t);
            f->tracks[i] = nullptr;
            torvex::TorvexSoundCountTrack(-1);
            if (--tracks.openTracks == 0) {
                TorvexMemFree(tracks.dpcmScratch);
                tracks.dpcmScratch = nullptr;
            }
        }
        torvex::TorvexAudioDecoderFree(f->trackDecoders[i]);
        f->trackDecoders[i] = nullptr;
    }
    f->primaryTrack = -1;
}

bool TorvexAnyTrackOpen(const TorvexFile* f) {
    if (!f) return false;
    for (int i = 0; i < kTvxTracks; ++i)
        if (f->tracks[i]) return true;
    return false;
}

TorvexTrack* TorvexGetTrack(TorvexFile* f, int i) { return f && i >= 0 && i < kTvxTracks ? trackOf(f, i) : nullptr; }

uint32_t TorvexTrackPlayPosition(TorvexFile* f, int i) {
    TorvexTrack* t = TorvexGetTrack(f, i);
    auto* ops = torvex::TorvexSoundBackend();
    return t && ops ? ops->playPosition(t) : 0;
}

void TorvexFeedAudio(TorvexFile* f) {
    if (!f || f->paused || !TorvexAnyTrackOpen(f)) return;
    if (f->period) f->syncPending = 1;
    if (TorvexTrack* p = TorvexGetTrack(f, f->primaryTrack)) {
        p->expectedFrac += p->bytesPerFrame;
        p->lateThreshold += p->bytesPerFrame;
        if (p->expectedFrac > 262144000u && p->lateThreshold > 33554432u) {
            p->expectedFrac -= 262144000u;
            p->lateThreshold -= 262144000u;
            p->expectedWhole += 256000;
        }
    }
    bool lowest = true;
    for (int i = 0; i < kTvxTracks; ++i) {
        TorvexTrack* t = trackOf(f, i);
        if (!t) continue;
        const uint8_t* chunk = nullptr;
        uint32_t length = 0;
        uint32_t amount = 0;
        uint32_t format = f->header.audioFormat[i];
        if (chunkOf(f, i, &chunk, &length)) {
            if (compressed(format)) amount = length >= 8 ? bytes::load32le(chunk + 4) : 0;
            else amount = length - 4;
            if (amount == 0xFFFFFFFFu) amount = 0;
        }
        if (lowest) {
            t->noData = amount == 0;
            lowest = false;
            if (amount == 0) return;  // nothing is fed when the lowest track has nothing
        }
        // The underrun is answered once, on the frame after the back-end saw it.
        uint32_t pad = 0;
        uint32_t held = t->held.load();
        uint32_t free = t->ringSize - std::min(held, t->ringSize);
        if (amount > free) {
            amount = free;
            ++t->cuts;
        }
        if (t->paddingDone) {
            t->paddingDone = 0;
            t->underrun.store(0);
        } else if (t->underrun.load()) {
            if (amount < t->audioLead && t->totalWritten) {
                uint32_t target = std::min(t->audioLead, free);
                pad = target > amount ? (target - amount) / frameBytesOf(t) * frameBytesOf(t) : 0;
                if (pad) {
                    silenceRing(t, pad);
                    ++t->paddings;
                }
            }
            t->paddingDone = 1;
        }
        uint32_t done = amount && chunk ? feedChunk(f, i, t, chunk, length, std::min(amount, free - pad)) : 0;
        t->held.fetch_add(pad + done);
        t->totalWritten += pad + done;
    }
    if (TorvexTrack* p = TorvexGetTrack(f, f->primaryTrack)) {
        uint64_t expected = uint64_t(p->expectedWhole) + p->expectedFrac / 1024;
        if (p->totalWritten < expected) {
            p->expectedWhole = p->totalWritten;
            p->expectedFrac = 0;
            p->lateThreshold = p->bytesPerSecond * 512;
        }
    }
}

namespace {

// What extraction needs to know of the current frame's chunk of the lowest track in mask.
struct Extraction {
    int track = -1;
    const uint8_t* data = nullptr;  // after the length fields
    const uint8_t* end = nullptr;
    uint32_t unpacked = 0;  // raw chunks: their sample bytes
    uint32_t room = 0;      // what extraction delivers
    torvex::TorvexAudioDecoder* decoder = nullptr;
};

bool extraction(uint32_t mask, TorvexFile* f, Extraction* x) {
    if (!f || f->readError) return false;
    int i = 0;
    while (i < kTvxTracks && !(mask & (1u << i))) ++i;
    if (i == kTvxTracks) return false;
    const uint8_t* chunk;
    uint32_t length;
    if (!chunkOf(f, i, &chunk, &length)) return false;
    uint32_t format = f->header.audioFormat[i];
    x->track = i;
    x->end = chunk + length;
    if (!compressed(format)) {
        x->data = chunk + 4;
        x->unpacked = x->room = length - 4;
        return x->room != 0;
    }
    if (length < 8) return false;
    x->data = chunk + 8;
    x->unpacked = bytes::load32le(chunk + 4);
    // All ones and absurd sizes are damage: nothing is delivered for them.
    if (x->unpacked == 0 || x->unpacked > kTorvexLargestUnpacked) return false;
    x->room = x->unpacked;
    if (transformCoded(format)) {
        torvex::TorvexAudioDecoder*& dec = f->trackDecoders[i];
        if (!dec)
            dec = torvex::TorvexAudioDecoderCreate(format & 0xFFFFFF, (format & kStereo) ? 2 : 1,
                                                   (format & kDct) ? 1 : 0);
        if (!dec) return false;
        // Blocks are delivered whole, the last one too.
        uint64_t block = torvex::TorvexAudioDecoderBlockBytes(dec);
        x->room = uint32_t((x->unpacked + block - 1) / block * block);
        x->decoder = dec;
    }
    return true;
}

}  // namespace

uint32_t TorvexExtractRoom(uint32_t mask, TorvexFile* f) {
    Extraction x;
    return extraction(mask, f, &x) ? x.room : 0;
}

uint32_t TorvexExtractAudio(uint32_t mask, TorvexFile* f, void* destVoid, uint32_t capacity) {
    Extraction x;
    if (!destVoid || !extraction(mask, f, &x)) return 0;
    auto* dest = static_cast<uint8_t*>(destVoid);
    const uint32_t limit = std::min(x.room, capacity);
    uint32_t format = f->header.audioFormat[x.track];
    if (!compressed(format)) {
        std::memcpy(dest, x.data, limit);
        return limit;
    }
    const uint8_t* data = x.data;
    if (x.decoder) {
        // A chunk whose unpacked length is not a whole number of blocks keeps its last block.
        uint32_t produced = 0;
        while (produced < x.unpacked && produced < limit && data < x.end) {
            const int16_t* pcm;
            uint32_t bytes;
            const uint8_t* next;
            if (!torvex::TorvexAudioDecodeBlock(x.decoder, data, x.end, &pcm, &bytes, &next)) break;
            uint32_t k = std::min(bytes, limit - produced);
            std::memcpy(dest + produced, pcm, k);
            produced += k;
            data = next;
        }
        return produced;
    }
    bool stereo = format & kStereo, sixteen = format & kSixteen;
    uint8_t scratch[torvex::kDpcmScratchBytes];
    uint8_t* trees = tracks.dpcmScratch ? tracks.dpcmScratch : scratch;
    uint32_t frame = (stereo ? 2u : 1u) * (sixteen ? 2u : 1u);
    torvex::DpcmOutput out{dest, dest + limit, dest};
    uint32_t written = 0;
    uint32_t whole = limit / frame * frame;
    torvex::TorvexDecodeDpcm(data, x.end, whole, stereo, sixteen, trees, out, &written);
    // A chunk without data, or one that ends early, stands for silence.
    std::memset(dest + written, sixteen ? 0 : 0x80, limit - written);
    return limit;
}

void TorvexResetTracks(TorvexFile* f) {
    if (!f) return;
    auto* ops = torvex::TorvexSoundBackend();
    for (int i = 0; i < kTvxTracks; ++i) {
        TorvexTrack* t = trackOf(f, i);
        if (!t) continue;
        resetCounters(t);
        if (ops) ops->reset(t);
    }
}

int32_t TorvexSetSoundActive(TorvexFile* f, int32_t on) {
    if (!f) return 0;
    if (!TorvexAnyTrackOpen(f)) return 1;
    auto* ops = torvex::TorvexSoundBackend();
    if (on == 0) {
        if (!f->paused) {
            f->paused = 1;
            f->pauseFrame = f->frameIndex;
            for (int i = 0; i < kTvxTracks; ++i)
                if (TorvexTrack* t = trackOf(f, i)) {
                    ops->pause(t);
                    uint32_t held = t->held.exchange(0);
                    t->totalWritten -= std::min(held, t->totalWritten);
                }
        }
    } else if (f->paused) {
        for (int i = 0; i < kTvxTracks; ++i) {
            TorvexTrack* t = trackOf(f, i);
            if (!t) continue;
            uint32_t played = ops->playPosition(t);
            if (f->frameIndex != 0) {
                // Rebuild the cushion just behind the write position.
                uint32_t lead = std::min(t->audioLead, t->ringSize);
                uint8_t* save = t->writePos;
                uint32_t back = uint32_t(t->writePos - t->ringStart);
                t->writePos = back >= lead ? t->writePos - lead : t->ringEnd - (lead - back);
                if (f->frameIndex != f->pauseFrame || on < 0) silenceRing(t, lead);
                t->writePos = save;
                uint32_t previous = t->held.exchange(lead);
                t->totalWritten += lead - previous;
                t->expectedWhole = played;
                t->expectedFrac = 0;
                t->lateThreshold = t->bytesPerSecond * 512;
            } else {
                t->expectedWhole = 0;
                t->expectedFrac = 0;
                t->lateThreshold = t->bytesPerSecond * 512;
                f->syncPending = 0;
            }
            if (!ops->resume(t)) return 0;
            ops->service();
            t->underrun.store(0);
        }
        f->paused = 0;
    }
    if (ops) ops->service();
    return 1;
}

bool TorvexAudioLate(TorvexFile* f) {
    TorvexTrack* p = f ? TorvexGetTrack(f, f->primaryTrack) : nullptr;
    if (!p || f->paused || p->noData) return false;
    uint64_t position = torvex::TorvexSoundBackend()->playPosition(p);
    if (position * 1024 >= uint64_t(p->expectedWhole) * 1024 + p->lateThreshold) {
        f->syncPending = 0;
        return true;
    }
    return false;
}

int32_t TorvexAudioIsEarly(TorvexFile* f) {
    TorvexTrack* p = TorvexGetTrack(f, f->primaryTrack);
    if (!p) return 0;
    if (!f->syncPending || f->paused) return 0;
    uint64_t position = torvex::TorvexSoundBackend()->playPosition(p);
    if (position + 8 >= uint64_t(p->expectedWhole) + p->expectedFrac / 1024) {
        f->syncPending = 0;
        return 0;
    }
    TorvexReadAhead(f);
    return 1;
}

bool TorvexAudioRanOut(TorvexFile* f, uint32_t* dueIn) {
    TorvexTrack* p = f ? TorvexGetTrack(f, f->primaryTrack) : nullptr;
    if (!p || f->paused || !p->noData || p->held.load() != 0) return false;
    uint64_t expected = uint64_t(p->expectedWhole) + p->expectedFrac / 1024;
    uint64_t position = torvex::TorvexSoundBackend()->playPosition(p);
    if (expected <= p->totalWritten || position < p->totalWritten) return false;
    uint64_t ahead = expected > position ? expected - position : 0;
    if (dueIn) *dueIn = uint32_t(std::min<uint64_t>(ahead * 100000 / std::max(1u, p->bytesPerSecond), 0x7FFFFFFF));
    return true;
}

bool TorvexSoundPlayedOut(TorvexFile* f) {
    auto* ops = torvex::TorvexSoundBackend();
    for (int i = 0; i < kTvxTracks; ++i) {
        TorvexTrack* t = f ? trackOf(f, i) : nullptr;
        if (t && ops && ops->playPosition(t) < t->totalWritten) return false;
    }
    return true;
}

uint32_t TorvexSoundDrainLimitMs(TorvexFile* f) {
    if (!f) return 0;
    uint64_t lead = 0;
    for (int i = 0; i < kTvxTracks; ++i)
        if (TorvexTrack* t = trackOf(f, i))
            lead = std::max<uint64_t>(lead, uint64_t(t->audioLead) * 1000 / std::max(1u, t->bytesPerSecond));
    return uint32_t(std::min<uint64_t>(f->period / 100 + lead, 60000));
}
