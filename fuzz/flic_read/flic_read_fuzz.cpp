// Opens a Flic from the fuzz bytes (through a file, as callers do), reads every frame and one
// past the end, and goes back and forth with Goto.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kroutil/flic.h"

namespace {
// One input file per process, removed when the run ends.
struct InputFile {
    std::string path = "/tmp/fuzz_flic_read_" + std::to_string(std::random_device{}()) + ".flc";
    ~InputFile() { std::remove(path.c_str()); }
};
const std::string& inputPath() {
    static const InputFile file;
    return file.path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = inputPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    KroFlic* flic = KroFlicOpen(path.c_str());
    if (!flic) return 0;
    size_t area = size_t(flic->pitch) * flic->roundedHeight;
    if (area <= (size_t(1) << 22)) {
        // Exactly the documented size, so that any write past it is caught.
        std::vector<uint8_t> picture(area);
        uint32_t frames = std::min<uint32_t>(flic->frameCount, 300);
        for (uint32_t k = 0; k <= frames; ++k) KroFlicGetNext(flic, picture.data());
        KroFlicGoto(flic, frames / 2, picture.data());
        KroFlicGoto(flic, 1, picture.data());
        KroFlicGoto(flic, frames, picture.data());
        KroFlicGoto(flic, 0, picture.data());
        (void)KroFlicGetPalette(flic);
        (void)KroFlicGetName(flic, nullptr);
    }
    KroFlicClose(flic);
    return 0;
}
