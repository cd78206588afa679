// Opens an AVI from the fuzz bytes, reads every frame (forwards, then a few out of order) and
// all the sound of every stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kroutil/input/avi_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kro::AviReader* r = kro::aviOpenMemory(data, size);
    if (!r) return 0;
    const kro::AviVideoInfo& v = kro::aviVideo(r);
    // Large pictures are legal but make every run slow; their decoding is the same code.
    if (uint64_t(v.width) * uint64_t(v.height) <= (uint64_t(1) << 20)) {
        uint32_t frames = std::min<uint32_t>(v.frames, 500);
        for (uint32_t k = 0; k <= frames; ++k) {
            if (const kro::AviFrame* f = kro::aviReadFrame(r, k)) {
                // Touch the first and last byte of the delivered picture.
                volatile uint8_t sink = f->pixels[0];
                sink = f->pixels[size_t(f->stride) * uint32_t(f->header->height) - 1];
                (void)sink;
            }
        }
        for (uint32_t k : {frames / 2, 0u, frames}) kro::aviReadFrame(r, k);
    }
    std::vector<uint8_t> buffer(1 << 16);
    for (uint32_t s = 0; s < kro::aviSoundCount(r); ++s) {
        const kro::AviSoundInfo* info = kro::aviSound(r, s);
        if (!info->pcm || info->blockAlign == 0) continue;
        uint32_t per = uint32_t(buffer.size() / info->blockAlign);
        if (per == 0) continue;
        uint64_t end = info->start + info->samples;
        for (uint64_t pos = 0, steps = 0; pos < end && steps < 4096; ++steps) {
            uint32_t got = kro::aviReadSound(r, s, pos, buffer.data(), per);
            if (got == 0) break;
            pos += got;
        }
    }
    kro::aviClose(r);
    return 0;
}
