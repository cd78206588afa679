// Throughput of the buffered bit-file layer against stdio with the same buffer size, on a file
// that sits in the page cache. Prints MB/s per case and the ratio to the stdio figure.
//
//   bench_file_io [size in MiB, default 256] [directory, default /tmp]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "kroutil/kro_file.h"

namespace {

constexpr uint32_t kBuffer = 64 * 1024;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

struct Figure {
    const char* name;
    double mbps;
    double reference;  // stdio MB/s for the same kind of work, 0 if none
};

void print(const Figure& f) {
    if (f.reference > 0)
        std::printf("%-34s %9.0f MB/s   %.2f x stdio\n", f.name, f.mbps, f.mbps / f.reference);
    else
        std::printf("%-34s %9.0f MB/s\n", f.name, f.mbps);
}

volatile uint32_t sink;

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_file_io [MIB] [DIRECTORY]\n"
        "Writes and reads a file of MIB mebibytes (default 256) in DIRECTORY (default /tmp) through\n"
        "the buffered bit-file layer and through stdio, and prints MB/s per case and the ratio.\n";
    bench::checkArgs(argc, argv, 2, usage);
    uint64_t mib = argc > 1 ? uint64_t(bench::positiveWhole(argv[1], "MIB", 1 << 20, usage)) : 256;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::string path = dir + "/torvex-bench-file-io.bin";
    const uint64_t size = mib << 20;
    const double mb = double(size) / 1e6;
    std::vector<unsigned char> block(kBuffer);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 31 + 7);

    // An untimed first pass, so that every timed pass overwrites a file of the full size.
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out) {
        for (uint64_t done = 0; done < size; done += kBuffer) std::fwrite(block.data(), 1, kBuffer, out);
        std::fclose(out);
    }
    // Writes: stdio first, then the layer, each over the whole file.
    auto t = Clock::now();
    out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        return 1;
    }
    std::setvbuf(out, nullptr, _IOFBF, kBuffer);
    for (uint64_t done = 0; done < size; done += kBuffer) std::fwrite(block.data(), 1, kBuffer, out);
    std::fclose(out);
    double stdioWrite = mb / seconds(t);

    t = Clock::now();
    KroFile* w = KroFileCreate(int32_t(kBuffer), path.c_str());
    for (uint64_t done = 0; done < size; done += kBuffer) KroFilePut(w, block.data(), kBuffer);
    KroFileClose(w);
    Figure writeBlocks{"KroFilePut, 64 KiB blocks", mb / seconds(t), stdioWrite};

    t = Clock::now();
    out = std::fopen(path.c_str(), "wb");
    std::setvbuf(out, nullptr, _IOFBF, kBuffer);
    for (uint64_t i = 0; i < size; ++i) std::putc(int(i & 0xFF), out);
    std::fclose(out);
    double stdioPutc = mb / seconds(t);

    t = Clock::now();
    w = KroFileCreate(int32_t(kBuffer), path.c_str());
    for (uint64_t i = 0; i < size; ++i) KroFilePut8(w, uint32_t(i));
    KroFileClose(w);
    Figure writeBytes{"KroFilePut8 loop", mb / seconds(t), stdioPutc};

    t = Clock::now();
    w = KroFileCreate(int32_t(kBuffer), path.c_str());
    uint64_t bits = 0;
    for (uint32_t width = 1; bits < size * 8; width = width % 32 + 1) {
        KroFilePutBits(w, 0x5A5A5A5Au, width);
        bits += width;
    }
    KroFileClose(w);
    Figure writeBits{"KroFilePutBits, widths 1..32", mb / seconds(t), 0};

    // Reads of the file just written (now in the page cache).
    FILE* in = std::fopen(path.c_str(), "rb");
    std::setvbuf(in, nullptr, _IOFBF, kBuffer);
    t = Clock::now();
    while (std::fread(block.data(), 1, kBuffer, in) == kBuffer) {
    }
    std::fclose(in);
    double stdioRead = mb / seconds(t);

    t = Clock::now();
    KroFile* r = KroFileOpen(int32_t(kBuffer), path.c_str(), KRO_FILE_READ);
    while (KroFileGet(r, block.data(), kBuffer) == kBuffer) {
    }
    KroFileClose(r);
    Figure readBlocks{"KroFileGet, 64 KiB blocks", mb / seconds(t), stdioRead};

    in = std::fopen(path.c_str(), "rb");
    std::setvbuf(in, nullptr, _IOFBF, kBuffer);
    t = Clock::now();
    uint32_t acc = 0;
    for (int c; (c = std::getc(in)) != EOF;) acc += uint32_t(c);
    std::fclose(in);
    double stdioGetc = mb / seconds(t);
    sink = acc;

    t = Clock::now();
    r = KroFileOpen(int32_t(kBuffer), path.c_str(), KRO_FILE_READ);
    acc = 0;
    for (uint64_t i = 0; i < size; ++i) acc += KroFileGet8(r);
    KroFileClose(r);
    Figure readBytes{"KroFileGet8 loop", mb / seconds(t), stdioGetc};
    sink = acc;

    t = Clock::now();
    r = KroFileOpen(int32_t(kBuffer), path.c_str(), KRO_FILE_READ);
    acc = 0;
    bits = 0;
    for (uint32_t width = 1; bits + 32 < size * 8; width = width % 32 + 1) {
        acc += KroFileGetBits(r, width);
        bits += width;
    }
    KroFileClose(r);
    Figure readBits{"KroFileGetBits, widths 1..32", mb / seconds(t), 0};
    sink = acc;
    std::remove(path.c_str());

    std::printf("file of %llu MiB in %s, buffers of %u bytes\n", static_cast<unsigned long long>(mib), dir.c_str(), kBuffer);
    std::printf("%-34s %9.0f MB/s\n", "stdio fwrite, 64 KiB blocks", stdioWrite);
    std::printf("%-34s %9.0f MB/s\n", "stdio fread, 64 KiB blocks", stdioRead);
    for (const Figure& f : {writeBlocks, readBlocks, writeBytes, readBytes, writeBits, readBits}) print(f);
    return 0;
}
