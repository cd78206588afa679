// Sound tracks of a Quarn stream: each frame starts with one packet per track (a length, then
// the decoded byte count and transform-coded blocks); a track takes its own packet out of the
// current frame and decodes it.
#include <cstring>

#include "base/mem_block.h"
#include "bytes/byte_order.h"
#include "codec/transform/audio_decoder.h"
#include "kroutil/quarn/quarn_internal.h"

namespace {

constexpr uint32_t kDecoderMemory = 65536;  // what a transform decoder is counted as holding
// Callers size their buffers from a track's largest frame, which comes from the file: 16 MiB
// (over a minute and a half of 16-bit stereo at 44100 Hz in one frame) bounds what a damaged
// table can make them allocate.
constexpr uint64_t kMaxFrameSound = 1u << 24;

torvex::TorvexAudioDecoder* decoderOf(QuarnAudioTrack* t) { return static_cast<torvex::TorvexAudioDecoder*>(t->decoder); }

// The 16-bit bytes one frame may deliver: the track's largest, rounded up to whole words.
uint32_t sixteenBitLimit(const QuarnStream* s, uint32_t index) {
    uint64_t size = (uint64_t(s->audioSizes[index]) + 3) & ~uint64_t(3);
    return uint32_t(size > kMaxFrameSound ? kMaxFrameSound : size);
}

}  // namespace

extern "C" {

QuarnAudioTrack* QuarnOpenAudioTrack(QuarnStream* stream, uint32_t index) {
    if (!stream || index >= stream->audioTracks) return nullptr;
    uint32_t format = stream->audioFormats[index];
    uint32_t variant;
    if (format & QUARN_AUDIO_DFT) variant = 0;
    else if (format & QUARN_AUDIO_DCT) variant = 1;
    else return nullptr;
    uint32_t channels = (format & QUARN_AUDIO_STEREO) ? 2 : 1;
    torvex::TorvexAudioDecoder* dec = torvex::TorvexAudioDecoderCreate(QUARN_AUDIO_RATE(format), channels, variant);
    if (!dec) return nullptr;
    void* memory = TorvexMemAlloc(sizeof(QuarnAudioTrack));
    if (!memory) {
        torvex::TorvexAudioDecoderFree(dec);
        return nullptr;
    }
    QuarnAudioTrack* t = static_cast<QuarnAudioTrack*>(memory);
    std::memset(t, 0, sizeof *t);
    t->sampleRate = QUARN_AUDIO_RATE(format);
    t->bitsPerSample = (format & QUARN_AUDIO_16BIT) ? 16 : 8;
    t->channels = channels;
    t->bufferSize = sixteenBitLimit(stream, index);
    if (t->bitsPerSample == 8) t->bufferSize /= 2;
    t->stream = stream;
    t->decoder = dec;
    t->trackIndex = index;
    quarn::countMemory(stream, kDecoderMemory + sizeof(QuarnAudioTrack));
    return t;
}

uint32_t QuarnExtractAudio(QuarnAudioTrack* track, void* dest) {
    if (!track || !dest) return 0;
    QuarnStream* s = track->stream;
    quarn::ensureFrame(s);
    const uint8_t* frame = s->frameData;
    const uint32_t size = s->frameBytes;
    if (!frame) return 0;
    // Find the track's packet; every packet before it must lie inside the frame.
    uint32_t pos = 0, length = 0;
    for (uint32_t i = 0;; ++i) {
        if (i >= s->audioTracks || size - pos < 4) return 0;
        length = bytes::load32le(frame + pos);
        pos += 4;
        if (length > size - pos) return 0;
        if (i == track->trackIndex) {
            if (length == 0) return 0;
            break;
        }
        pos += length;
    }
    if (length < 4) return 0;
    uint32_t wanted = bytes::load32le(frame + pos);
    // The caller's buffer is sized by the track's largest frame: a packet claiming more is cut.
    uint32_t limit = sixteenBitLimit(s, track->trackIndex);
    if (wanted > limit) wanted = limit;
    const uint8_t* in = frame + pos + 4;
    const uint8_t* end = frame + pos + length;
    uint8_t* out = static_cast<uint8_t*>(dest);
    const bool eightBit = track->bitsPerSample == 8;
    uint32_t produced = 0, written = 0;
    while (produced < wanted && in < end) {
        const int16_t* pcm = nullptr;
        uint32_t bytes = 0;
        const uint8_t* next = nullptr;
        if (!torvex::TorvexAudioDecodeBlock(decoderOf(track), in, end, &pcm, &bytes, &next)) break;
        if (bytes > wanted - produced) bytes = wanted - produced;
        if (eightBit) {
            for (uint32_t k = 0; k < bytes / 2; ++k) out[written++] = uint8_t((uint16_t(pcm[k]) >> 8) + 128);
        } else {
            std::memcpy(out + written, pcm, bytes);
            written += bytes;
        }
        produced += bytes;
        if (next <= in) break;
        in = next;
    }
    return written;
}

int32_t QuarnFindTrack(QuarnStream* stream, uint32_t id) {
    if (!stream) return -1;
    for (uint32_t t = stream->audioTracks; t-- > 0;)
        if (stream->trackIds[t] == id) return int32_t(t);
    return -1;
}

void QuarnCloseAudioTrack(QuarnAudioTrack* track) {
    if (!track) return;
    if (track->stream) quarn::countMemory(track->stream, -int64_t(kDecoderMemory + sizeof(QuarnAudioTrack)));
    torvex::TorvexAudioDecoderFree(decoderOf(track));
    TorvexMemFree(track);
}

}  // extern "C"
