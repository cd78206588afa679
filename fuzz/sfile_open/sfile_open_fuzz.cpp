// Sound input over arbitrary files. Eight leading bytes choose how the rest is opened and what
// is asked of it:
//   0: the kind: 0 WAV, 1 raw PCM, 2 Torvex, 3 AVI, 4 a list naming the file as a WAV, 5 Quarn;
//   1: output rate (a table), 2: output bits and channels, 3: window start, 4: window end
//      (signed; negative values are frames), 5: track, 6-7: raw code (rate / 8 from a table,
//      stereo, 16-bit) and raw offset.
// The rest is the file. The sound is read to its end (or a cap), reset, read again in part.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kroutil/sfile.h"

namespace {

std::string tempName(const char* ext) {
    return "/tmp/fuzz_sfile_" + std::to_string(getpid()) + ext;
}

void writeFile(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

// Reads until the end or `cap` bytes, in pieces of odd sizes.
uint64_t drain(SFile* s, uint64_t cap, uint32_t piece) {
    static std::vector<uint8_t> buffer(70001);
    uint64_t total = 0;
    while (total < cap) {
        uint32_t n = SFileGet(s, buffer.data(), piece);
        if (n == 0) break;
        if (n > piece || n % s->outputFrameBytes) __builtin_trap();
        total += n;
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    static const uint32_t rates[] = {0, 8000, 11025, 22050, 44100, 48000, 7, 96000};
    const uint8_t kind = data[0] % 6;
    const uint32_t rate = rates[data[1] & 7];
    const uint32_t bits = (data[2] & 1) ? 8 : (data[2] & 2) ? 16 : 0;
    const uint32_t channels = (data[2] >> 2) & 3;
    const int32_t start = int32_t(int8_t(data[3])) * 37;
    const int32_t end = int32_t(int8_t(data[4])) * 53;
    const uint32_t track = data[5] & 15;
    uint32_t rawCode = 0;
    uint64_t rawOffset = 0;
    if (kind == 1) {
        rawCode = rates[data[6] & 7] * 8 + ((data[6] >> 3) & 3);
        rawOffset = data[7];
    }
    static const char* const exts[] = {".wav", ".raw", ".tvx", ".avi", ".wav", ".qrn"};
    const std::string file = tempName(exts[kind]);
    writeFile(file, data + 8, size - 8);
    std::string name = file;
    if (kind == 4) {
        name = tempName(".lst");
        std::string list = "# fuzzed\n" + file + " /S" + std::to_string(data[6] & 7) + "\n" + file + " /L2\n";
        writeFile(name, reinterpret_cast<const uint8_t*>(list.data()), list.size());
    }
    SFile* s = SFileOpen(name.c_str(), rate, bits, channels, start, end, track, rawCode, rawOffset, nullptr);
    if (s) {
        const uint32_t piece = 1 + (data[7] % 64) * 1009 % 70000;
        uint64_t first = drain(s, 1 << 20, piece);
        SFileReset(s);
        uint64_t again = drain(s, first, piece);
        // The same window gives the same amount after a reset.
        if (again != first && first < (1 << 20)) __builtin_trap();
        SFileClose(s);
    }
    return 0;
}
