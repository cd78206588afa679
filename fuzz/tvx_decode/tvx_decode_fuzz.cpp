// Opens a Torvex image from memory and plays it: every frame decoded into a target chosen from
// the input's last byte, dirty rectangles drained, a seek and playback past the end. Every
// sound track is requested (the headless mixer on the virtual clock plays them), each frame's
// audio is also extracted, and sound is paused and resumed once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/torvex_tracks.h"
#include "codec/torvex.h"
#include "platform/audio.h"
#include "platform/clock.h"

namespace {
struct FuzzSetup {
    FuzzSetup() {
        plat::setVirtualClock(true);
        plat::setAudioBackendForTest(plat::AudioBackend::Null);
    }
};
FuzzSetup setup;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t choice = data[size - 1];
    uint32_t flags = kTvxFromMemory | kTvxTrackBits;
    static const uint32_t displays[4] = {0, kTvxForceInterlaced, kTvxForceDoubled, kTvxForceNormal};
    flags |= displays[(choice >> 4) & 3];
    TorvexFile* f = TorvexOpenSized(data, flags, -1, size);
    if (!f) return 0;
    uint64_t area = uint64_t(f->header.width) * f->header.height;
    if (area <= (1u << 20)) {
        bool sixteen = choice & 1;
        uint32_t bytes = sixteen ? 2 : 1;
        uint32_t x = (choice >> 2) & 3, y = (choice >> 6) & 1;
        uint32_t pitch = (f->header.width + x) * bytes;
        uint32_t rows = f->header.height + y;
        std::vector<uint8_t> buffer(size_t(pitch) * rows + 1);
        uint32_t targetFlags = (sixteen ? ((choice & 8) ? 0xC0000000u : 0x80000000u) : 0) | ((choice >> 1) & 1);
        TorvexSetTarget(f, int32_t(x), int32_t(y), int32_t(pitch), int32_t(rows), buffer.data(), targetFlags);
        uint32_t played = f->tableCount < 64 ? f->tableCount + 3 : 64;
        std::vector<uint8_t> sound;
        for (uint32_t k = 0; k < played; ++k) {
            // Extraction is given the room it asks for, and once a room too small.
            for (int t = 0; t < kTvxTracks; ++t) {
                uint32_t room = std::min(TorvexExtractRoom(1u << t, f), 1u << 24);
                sound.resize(room);
                TorvexExtractAudio(1u << t, f, sound.data(), (k & 1) ? room : room / 3);
            }
            if (k == 4) {
                TorvexSetSoundActive(f, 0);
                TorvexSetSoundActive(f, (choice & 1) ? 1 : -1);
            }
            TorvexDecodeFrame(f);
            TorvexIsEarly(f);
            int32_t mode = int32_t(k % 3);
            for (int i = 0; i < 100000 && TorvexNextDirtyRect(f, mode); ++i) {
            }
            while (TorvexNextDirtyRect(f, 0)) {
            }
            TorvexAdvance(f);
            if (k == 2) TorvexSeek(f, 1 + choice % 5);
        }
    }
    TorvexClose(f);
    return 0;
}
