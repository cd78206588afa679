// Opens an RLA image from the fuzz bytes (through a file, as graphics input does) and decodes it
// into a buffer of exactly the picture's size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kroutil/input/rla_reader.h"

namespace {
// One input file per process, removed when the run ends.
struct InputFile {
    std::string path = "/tmp/fuzz_rla_read_" + std::to_string(std::random_device{}()) + ".rla";
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
    RlaImage* image = rlaOpen(path.c_str());
    if (!image) return 0;
    uint32_t rowBytes = image->width * image->panels * 4;
    if (size_t(rowBytes) * image->height <= (size_t(1) << 24)) {
        std::vector<uint8_t> picture(size_t(rowBytes) * image->height);
        rlaRead(image, picture.data(), rowBytes);
    }
    rlaClose(image);
    return 0;
}
