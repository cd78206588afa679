// Graphics input over fuzzed files: the first byte picks the name the bytes are stored under
// (one of the default extensions, a list file, a name without extension), the second the
// output (true colour or 8-bit with a computed palette, scaling, placement, a frame range);
// the rest is the file (a program file's string table may point into itself). Every frame is read (up to a limit), then again after a reset. Lists
// may name the small raw file and the numbered files kept beside the input, or themselves.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "kroutil/gfile.h"

namespace {

namespace fs = std::filesystem;

const char* const kNames[] = {"in.raw", "in.tvx", "in.bmp", "in.gif", "in.jpg", "in.tga", "in.png", "in.pcx",
                              "in.rla", "in.avi", "in.lst", "in.flc", "in.wav", "in",     "in.LST", "in.tif", "in.exe"};

void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

// A 2 x 1 raw file of two frames.
void writeSmallRaw(const std::string& path) {
    uint8_t b[20 + 4 + 768 + 2 * (4 + 2)] = {'R', 'A', 'W', 'B', 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0xA0, 0x0F, 0, 0};
    size_t at = 20 + 4;
    for (int i = 0; i < 768; ++i) b[at + i] = uint8_t(i * 5);
    at += 768;
    for (int k = 0; k < 2; ++k) {
        b[at] = 1;
        b[at + 4] = uint8_t(k);
        b[at + 5] = uint8_t(k + 9);
        at += 6;
    }
    writeBytes(path, b, sizeof b);
}

// One folder per process with the files lists may name; removed when the run ends.
struct Folder {
    std::string path;
    Folder() {
        path = (fs::temp_directory_path() / ("fuzz_gfile_open_" + std::to_string(std::random_device{}()))).string();
        fs::create_directories(path);
        writeSmallRaw(path + "/a.raw");
        for (int n = 1; n <= 3; ++n) writeSmallRaw(path + "/p0" + std::to_string(n) + ".raw");
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

const Folder& folder() {
    static const Folder f;
    return f;
}

int32_t quiet(const char*, int32_t) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Folder& dir = folder();
    std::string name = dir.path + "/" + kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
    uint8_t o = data[1];
    writeBytes(name, data + 2, size - 2);
    int32_t flags = (o & 1) ? 1 + ((o >> 1) & 1) : 0;  // 8-bit with method 0 or 1
    if (o & 4) flags |= 0x4000;                       // triangle filter
    if (o & 8) flags |= 0x800 | 0x100;                // first field, alpha kept
    int32_t widthSpec = (o & 16) ? -1500 : 0;
    int32_t heightSpec = (o & 32) ? -1 : 0;
    int32_t x = (o & 64) ? -3 : 0;
    int32_t first = (o & 128) ? 2 : 0;
    GFile* g = GFileOpen(name.c_str(), flags, 0, 0, (o & 64) ? 50 : 0, 1, widthSpec, heightSpec, x, 1, 0, 0, first, 0,
                         (o & 2) ? 3 : 0, (o & 4) ? 10 : 0, 200, (o & 8) ? 20 : 0, (o >> 4) & 3, (o >> 6) & 3, nullptr,
                         nullptr, quiet);
    if (!g) return 0;
    // Pictures of millions of pixels only make the run slow; their parsing is what matters.
    bool small = int64_t(g->sourceWidth) * g->sourceHeight <= 65536 && int64_t(g->scaledWidth) * g->scaledHeight <= 65536;
    for (int k = 0; small && k < 40 && g->outputFrameCounter < g->outputFrameCount; ++k)
        GFileGet(g, o & 1, (o & 2) ? 0x05000500 : 0, o & 24, (o & 4) ? 150 : 100, (o & 32) ? 2.2f : 1.0f, o & 3);
    GFileReset(g);
    if (small) GFileGet(g, 0, 0, 0, 100, 1.0f, 0);
    GFileClose(g);
    return 0;
}
