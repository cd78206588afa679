// Sound conversion output: sound read through SFile, written one block per call as the sound
// chunks the Torvex audio decoder reads (raw, delta coded or transform coded).
#include "kroutil/csfile.h"

#include <cstring>
#include <new>
#include <vector>

#include "kroutil/output/audio_encoder.h"
#include "kroutil/output/dpcm_chunk.h"

namespace {

// Per quality tenth: the delta mask and the tolerance (one entry more, for interpolation).
constexpr int32_t kMask16[10] = {-1, ~3, ~7, ~15, ~63, ~127, ~255, ~511, ~1023, ~2047};
constexpr int32_t kTolerance16[11] = {0, 4, 8, 16, 64, 128, 256, 512, 1024, 2048, 3072};
constexpr int32_t kMask8[10] = {-1, ~1, ~1, ~3, ~3, ~7, ~7, ~15, ~15, ~31};
constexpr int32_t kTolerance8[11] = {0, 1, 2, 2, 3, 6, 8, 12, 16, 24, 32};

torvex::TorvexAudioEncoder* encoderOf(const CSFile* c) {
    return static_cast<torvex::TorvexAudioEncoder*>(c->transformEncoder);
}

void put32(KroFile* f, uint32_t v) { KroFilePut32(f, v); }

}  // namespace

struct CSFilePrivate {
    std::vector<uint8_t> block;
    bool firstTransformBlock = true;
};

namespace {

// Fills dst with up to n bytes: the remaining lead-in as silence, then sound. With restart the
// sound starts again when it ends; with loop a used-up block length starts sound, lead-in and
// block length again. Returns the bytes filled; the rest of dst is left alone.
uint32_t fill(CSFile* c, uint8_t* dst, uint32_t n) {
    const uint32_t fb = c->sound->outputFrameBytes;
    uint32_t done = 0;
    bool emptyRestart = false;
    while (done < n) {
        if (c->loop && c->blockLeft == 0) {
            if (c->blockLength == 0) break;
            SFileReset(c->sound);
            c->leadInLeft = c->leadInLength;
            c->blockLeft = c->blockLength;
        }
        uint64_t room = n - done;
        if (c->loop && c->blockLeft < room) room = c->blockLeft;
        uint32_t k;
        if (c->leadInLeft) {
            k = uint32_t(c->leadInLeft < room ? c->leadInLeft : room);
            std::memset(dst + done, int(c->silenceFill & 0xFF), k);
            c->leadInLeft -= k;
        } else {
            k = SFileGet(c->sound, dst + done, uint32_t(room / fb * fb));
            if (k == 0) {
                if (!c->restart || emptyRestart || room < fb) break;
                SFileReset(c->sound);
                emptyRestart = true;  // a sound that gives nothing after a reset ends it
                continue;
            }
            emptyRestart = false;
        }
        done += k;
        if (c->loop) c->blockLeft -= k;
    }
    return done;
}

uint32_t limitCount(CSFile* c, uint32_t byteCount) {
    uint32_t fb = c->sound->outputFrameBytes;
    uint64_t count = byteCount / fb * fb;
    if (!c->loop) {
        if (count > c->blockLeft) count = c->blockLeft / fb * fb;
        c->blockLeft -= count;
    }
    return uint32_t(count);
}

uint32_t putDelta(CSFile* c, uint32_t count) {
    CSFilePrivate* p = c->priv;
    KroFile* f = c->output;
    if (p->block.size() < count) p->block.resize(count);
    uint8_t* b = p->block.data();
    std::memset(b, int(c->silenceFill & 0xFF), count);
    fill(c, b, count);
    uint64_t start = KroFileGetPos(f);
    put32(f, 0);
    if (c->raw) {
        KroFilePut(f, b, count);
        while ((KroFileGetPos(f) - start) % 4) KroFilePut8(f, 0);
    } else {
        put32(f, count);
        torvex::DpcmQuantiser q{c->deltaMask, c->deltaTolerance};
        uint32_t n = torvex::TorvexWriteDpcmChunk(f, b, count, c->sound->outputChannels == 2,
                                                  c->sound->outputBits == 16, q, c->huffman);
        if (n == 0) {  // no memory for the trees: the samples as they are
            KroFileSetPos(f, start);
            put32(f, 0);
            KroFilePut(f, b, count);
            while ((KroFileGetPos(f) - start) % 4) KroFilePut8(f, 0);
        }
    }
    uint64_t end = KroFileGetPos(f);
    KroFileSetPos(f, start);
    put32(f, uint32_t(end - start));
    KroFileSetPos(f, end);
    c->lastDelivered = count;
    return uint32_t(end - start);
}

uint32_t putTransform(CSFile* c, uint32_t count) {
    CSFilePrivate* p = c->priv;
    KroFile* f = c->output;
    torvex::TorvexAudioEncoder* enc = encoderOf(c);
    uint64_t start = KroFileGetPos(f);
    put32(f, 0);
    put32(f, 0);
    uint32_t delivered = 0;
    while (delivered < count) {
        uint8_t* in = torvex::TorvexAudioEncoderInput(enc);
        uint32_t want = torvex::TorvexAudioEncoderNextInputBytes(enc);
        if (!p->firstTransformBlock) in += torvex::TorvexAudioEncoderOverlapBytes(enc);
        uint32_t got = fill(c, in, want);
        if (got == 0) break;  // the sound is over: no block of padding alone
        p->firstTransformBlock = false;
        const uint8_t* out;
        uint32_t outBytes;
        uint32_t pcm = torvex::TorvexAudioEncodeBlock(enc, got, uint32_t(c->quality), &out, &outBytes);
        KroFilePut(f, out, outBytes);
        // A block that stands for no sound would never end the loop.
        if (pcm == 0) break;
        delivered += pcm;
    }
    while ((KroFileGetPos(f) - start) % 4) KroFilePut8(f, 0);
    uint64_t end = KroFileGetPos(f);
    KroFileSetPos(f, start);
    put32(f, uint32_t(end - start));
    put32(f, delivered);
    KroFileSetPos(f, end);
    c->lastDelivered = delivered;
    return uint32_t(end - start);
}

}  // namespace

extern "C" {

CSFile* CSFileOpen(const char* name, int32_t level, int32_t restart, int32_t loop, uint32_t leadIn,
                   uint32_t blockLength, uint32_t rate, uint32_t bits, uint32_t channels, int32_t start, int32_t end,
                   uint32_t track, uint32_t rawCode, uint64_t rawOffset, KroStatusProc status) {
    bool raw = false;
    if (rawCode) {
        rate = rawCode / 8;
        raw = rawCode > 3;
        bits = 0;
        channels = 0;
    }
    SFile* sound = SFileOpen(name, rate, bits, channels, start, end, track, rawCode, rawOffset, status);
    if (!sound) return nullptr;
    CSFile* c = new (std::nothrow) CSFile();
    CSFilePrivate* p = c ? new (std::nothrow) CSFilePrivate() : nullptr;
    if (!p) {
        delete c;
        SFileClose(sound);
        return nullptr;
    }
    c->priv = p;
    c->sound = sound;
    if (level < 0) level = 0;
    c->quality = level % 100;
    c->raw = raw;
    c->restart = restart & 0xFF ? 1 : 0;
    c->loop = loop & 0xFF ? 1 : 0;
    const bool sixteen = sound->outputBits == 16;
    c->silenceFill = sixteen ? 0 : 0x80808080u;
    if (level >= 100 && !raw && sixteen && sound->outputRate >= 16000)
        c->transformEncoder =
            torvex::TorvexAudioEncoderCreate(sound->outputRate, sound->outputChannels, level < 200 ? 1 : 0);
    if (!c->transformEncoder)
        for (auto& h : c->huffman) h = HuffOpen(1);
    int q = c->quality / 10, u = c->quality % 10;
    const int32_t* masks = sixteen ? kMask16 : kMask8;
    const int32_t* tol = sixteen ? kTolerance16 : kTolerance8;
    c->deltaMask = masks[q];
    c->deltaTolerance = tol[q] + (tol[q + 1] - tol[q]) * u / 10;
    const uint64_t fb = sound->outputFrameBytes;
    auto bytesOfMs = [&](uint64_t ms) { return (fb * sound->outputRate * ms / 1000 + fb - 1) / fb * fb; };
    c->leadInLength = c->leadInLeft = bytesOfMs(leadIn);
    uint64_t soundBytes = sound->totalBytes / sound->sourceFrameBytes * sound->outputRate / sound->sourceRate * fb;
    c->blockLength = (blockLength == 0 || raw) ? c->leadInLength + soundBytes : bytesOfMs(blockLength);
    c->blockLeft = c->blockLength;
    return c;
}

void CSFileSetOutput(CSFile* c, KroFile* output) {
    if (!c) return;
    c->output = output;
    for (auto* h : c->huffman) HuffSetOutput(h, output);
}

uint32_t CSFilePut(CSFile* c, uint32_t byteCount) {
    if (!c || !c->output) return 0;
    uint32_t count = limitCount(c, byteCount);
    c->lastDelivered = 0;
    c->lastWritten = 0;
    // An empty block writes nothing, on either path.
    if (count == 0) return 0;
    uint32_t written = c->transformEncoder ? putTransform(c, count) : putDelta(c, count);
    c->lastWritten = written;
    c->totalWritten += written;
    c->totalDelivered += c->lastDelivered;
    return written;
}

void CSFileClose(CSFile* c) {
    if (!c) return;
    SFileClose(c->sound);
    torvex::TorvexAudioEncoderFree(encoderOf(c));
    for (auto* h : c->huffman) HuffClose(h);
    delete c->priv;
    delete c;
}

void CSFileCommandline(char* commandLine, int32_t* level, int32_t* present, uint32_t* rate, uint32_t* bits,
                       uint32_t* channels, int32_t* start, int32_t* end, uint32_t* track, uint32_t* rawCode,
                       uint64_t* rawOffset) {
    int32_t l = GetSwitchNum(commandLine, 'L', 104);
    int32_t p = GetSwitch(commandLine, 'P');
    if (level) *level = l;
    if (present) *present = p;
    SFileCommandLine(commandLine, rate, bits, channels, start, end, track, rawCode, rawOffset);
}

}  // extern "C"
