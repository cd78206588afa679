// Audio chunk decoders on arbitrary bytes. The first byte picks the coding and the format; the
// rest is the chunk's bitstream. Decoding must stay inside the input, the ring and the block.
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/audio/dpcm.h"
#include "codec/transform/audio_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const uint8_t* in = data + 1;
    const uint8_t* end = data + size;
    // The input in a buffer of its own size, so that any read past its end is caught.
    std::vector<uint8_t> chunk(in, end);
    if (mode & 0x80) {
        static const uint32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
        uint32_t rate = rates[mode & 7];
        uint32_t channels = (mode & 8) ? 2 : 1;
        uint32_t variant = (mode & 16) ? 1 : 0;
        torvex::TorvexAudioDecoder* d = torvex::TorvexAudioDecoderCreate(rate, channels, variant);
        if (!d) return 0;
        const uint8_t* p = chunk.data();
        const uint8_t* e = chunk.data() + chunk.size();
        for (int blocks = 0; blocks < 8 && p < e; ++blocks) {
            const int16_t* pcm;
            uint32_t bytes;
            const uint8_t* next;
            if (!torvex::TorvexAudioDecodeBlock(d, p, e, &pcm, &bytes, &next)) break;
            volatile int16_t sink = bytes ? pcm[bytes / 2 - 1] : 0;
            (void)sink;
            if (next <= p) break;
            p = next;
        }
        torvex::TorvexAudioDecoderFree(d);
    } else {
        bool stereo = mode & 1, sixteen = mode & 2;
        uint32_t unpacked = uint32_t(mode >> 2) * 97 + 1;
        std::vector<uint8_t> ring(257), scratch(torvex::kDpcmScratchBytes);
        torvex::DpcmOutput out{ring.data(), ring.data() + ring.size(), ring.data() + (mode % 200)};
        uint32_t written = 0;
        torvex::TorvexDecodeDpcm(chunk.data(), chunk.data() + chunk.size(), unpacked, stereo, sixteen, scratch.data(), out,
                                 &written);
    }
    return 0;
}
