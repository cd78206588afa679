// Opens the fuzz bytes as a Quarn file, from memory and through a file (buffered or read whole),
// and takes every track's sound and the picture out of every frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kroutil/quarn.h"

namespace {
struct InputFile {
    std::string path = "/tmp/fuzz_quarn_open_" + std::to_string(std::random_device{}()) + ".qrn";
    ~InputFile() { std::remove(path.c_str()); }
};
const std::string& inputPath() {
    static const InputFile file;
    return file.path;
}

void readAll(QuarnStream* s) {
    if (!s) return;
    std::vector<QuarnAudioTrack*> tracks;
    for (uint32_t t = 0; t < s->audioTracks && t < 8; ++t) tracks.push_back(QuarnOpenAudioTrack(s, t));
    std::vector<uint8_t> out;
    // Pictures of any size the header may claim would only measure the allocator.
    QuarnVideo* video = uint64_t(s->displayWidth) * s->displayHeight <= (1u << 16) ? QuarnVideoOpen(s) : nullptr;
    std::vector<uint32_t> pixels(video ? size_t(video->width) * video->height : 0);
    // Frames are bounded by the input's size, the walk by a fixed count.
    for (uint32_t n = 0; n < 2000; ++n) {
        for (QuarnAudioTrack* t : tracks) {
            if (!t) continue;
            out.resize(t->bufferSize + 1);
            QuarnExtractAudio(t, out.data());
        }
        if (video) QuarnVideoDecode(video, pixels.data(), int32_t(video->width * 4));
        if (!QuarnAdvance(s) && s->currentFrame >= s->frames) break;
    }
    QuarnGotoFrame(s, s->frames / 2);
    if (video) QuarnVideoDecode(video, pixels.data(), int32_t(video->width * 4));
    QuarnVideoClose(video);
    for (QuarnAudioTrack* t : tracks) QuarnCloseAudioTrack(t);
    QuarnStreamClose(s);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    readAll(QuarnStreamOpenSized(data, QUARN_OPEN_MEMORY, size));
    const std::string& path = inputPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    readAll(QuarnStreamOpen(path.c_str(), 0));
    return 0;
}
