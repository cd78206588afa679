// JPEG decoding and encoding speed on 3000 x 2000 pictures next to the peer library in the same
// program: decoding with the peer's vector code and (in a second process started with
// JSIMD_FORCENONE=1) without it, both with the accurate integer transform and replication
// upsampling, whose pixels ours must equal; encoding next to the peer's encoder at the same
// settings. Times are the best of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench/bench_args.h"
#include "kroutil/image.h"
#include "kroutil/images/jpeg/jpeg_internal.h"

using Clock = std::chrono::steady_clock;

namespace {

const int kW = 3000, kH = 2000;
const int kRuns = 5;

// A photograph-like picture: smooth shapes at several scales, edges and fine grain.
std::vector<uint8_t> makePhoto() {
    std::vector<uint8_t> bgr(size_t(kW) * kH * 3);
    uint32_t seed = 12345;
    auto rnd = [&]() { return (seed = seed * 1103515245u + 12345u) >> 16; };
    std::vector<float> coarse(64 * 64 * 3);
    for (auto& v : coarse) v = float(rnd() % 256);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            float fx = x / 48.0f, fy = y / 32.0f;
            int ix = int(fx), iy = int(fy);
            float ax = fx - ix, ay = fy - iy;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int i, int j) { return coarse[((j % 64) * 64 + (i % 64)) * 3 + c]; };
                float v = (at(ix, iy) * (1 - ax) + at(ix + 1, iy) * ax) * (1 - ay) +
                          (at(ix, iy + 1) * (1 - ax) + at(ix + 1, iy + 1) * ax) * ay;
                v += ((x / 97 + y / 61) % 3 == 0) ? 25.0f : 0.0f;
                v += float(int(rnd() % 13) - 6);
                bgr[(size_t(y) * kW + x) * 3 + c] = uint8_t(std::clamp(v, 0.0f, 255.0f));
            }
        }
    return bgr;
}

struct Case {
    const char* name;
    bool grey, progressive, full;  // full: 4:4:4
    int quality;
};
const Case kCases[] = {{"4:2:0 baseline q90", false, false, false, 90},
                       {"4:2:0 progressive q90", false, true, false, 90},
                       {"4:4:4 baseline q90", false, false, true, 90},
                       {"grey baseline q90", true, false, false, 90}};

std::vector<uint8_t> peerEncode(const std::vector<uint8_t>& bgr, const std::vector<uint8_t>& grey, const Case& c) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long memSize = 0;
    jpeg_mem_dest(&cinfo, &mem, &memSize);
    cinfo.image_width = kW;
    cinfo.image_height = kH;
    cinfo.input_components = c.grey ? 1 : 3;
    cinfo.in_color_space = c.grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_set_quality(&cinfo, c.quality, TRUE);
    if (c.full) cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
    if (c.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    const int stride = c.grey ? kW : kW * 3;
    const uint8_t* base = c.grey ? grey.data() : bgr.data();
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(base + size_t(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + memSize);
    free(mem);
    return out;
}

void peerDecode(const std::vector<uint8_t>& file, std::vector<uint8_t>& out) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), file.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = FALSE;
    if (cinfo.num_components == 3) cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const int stride = int(cinfo.output_width) * cinfo.output_components;
    out.resize(size_t(stride) * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.data() + size_t(cinfo.output_scanline) * stride;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

template <class F>
double bestMs(F&& f) {
    double best = 1e30;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

// Our decode of a stream into a top-down buffer like the peer's (the same code path as
// LoadJpegMemory, without the image's bottom-up rows).
int32_t ourDecode(const std::vector<uint8_t>& file, std::vector<uint8_t>& out, int channels) {
    out.resize(size_t(kW) * kH * channels);
    torvex::jpeg::JpegOutput o;
    o.first = out.data();
    o.stride = kW * channels;
    o.width = kW;
    o.height = kH;
    o.channels = channels;
    return torvex::jpeg::decodeJpeg(file.data(), file.size(), o, torvex::jpeg::LoadOptions{});
}

std::vector<uint8_t> ourEncode(const std::vector<uint8_t>& bgr, const std::vector<uint8_t>& grey, const Case& c) {
    std::vector<uint8_t> out;
    torvex::jpeg::ByteSink sink;
    sink.ctx = &out;
    sink.write = [](void* ctx, const uint8_t* p, size_t n) {
        auto* v = static_cast<std::vector<uint8_t>*>(ctx);
        v->insert(v->end(), p, p + n);
        return true;
    };
    torvex::jpeg::JpegInput in;
    in.first = c.grey ? grey.data() : bgr.data();
    in.stride = c.grey ? kW : kW * 3;
    in.width = kW;
    in.height = kH;
    in.channels = c.grey ? 1 : 3;
    torvex::jpeg::encodeJpeg(in, c.quality, sink);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_jpeg\n"
        "Prints JPEG decode and encode times of 3000 x 2000 pictures (4:2:0 baseline and progressive,\n"
        "4:4:4, grey) next to the peer library, with its vector code and with JSIMD_FORCENONE=1.\n";
    bool peerOnly = argc == 2 && std::strcmp(argv[1], "--scalar-peer") == 0;
    if (!peerOnly) bench::checkArgs(argc, argv, 0, usage);

    std::vector<uint8_t> bgr = makePhoto();
    std::vector<uint8_t> grey(size_t(kW) * kH);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = uint8_t((bgr[3 * i] * 29 + bgr[3 * i + 1] * 150 + bgr[3 * i + 2] * 77) >> 8);
    std::vector<std::vector<uint8_t>> files;
    for (const Case& c : kCases) files.push_back(peerEncode(bgr, grey, c));

    if (peerOnly) {
        // The second process: the peer without its vector code.
        for (size_t i = 0; i < files.size(); ++i) {
            std::vector<uint8_t> out;
            std::printf("%.2f\n", bestMs([&] { peerDecode(files[i], out); }));
        }
        return 0;
    }

    std::vector<double> scalarPeer;
    {
        std::string cmd = std::string("JSIMD_FORCENONE=1 ") + argv[0] + " --scalar-peer";
        FILE* p = popen(cmd.c_str(), "r");
        double v;
        while (p && std::fscanf(p, "%lf", &v) == 1) scalarPeer.push_back(v);
        if (p) pclose(p);
    }

    std::printf("3000 x 2000 pictures, best of %d runs, milliseconds (ratio = peer time / our time)\n", kRuns);
    std::printf("%-24s %8s | %8s %8s %6s | %8s %6s | %s\n", "decode", "KB", "ours", "peer", "ratio", "peer-sc",
                "ratio", "pixels");
    for (size_t i = 0; i < files.size(); ++i) {
        const Case& c = kCases[i];
        const int ch = c.grey ? 1 : 3;
        std::vector<uint8_t> ours, theirs;
        double tOurs = bestMs([&] { ourDecode(files[i], ours, ch); });
        double tPeer = bestMs([&] { peerDecode(files[i], theirs); });
        double tScalar = i < scalarPeer.size() ? scalarPeer[i] : 0;
        std::printf("%-24s %8zu | %8.2f %8.2f %6.2f | %8.2f %6.2f | %s\n", c.name, files[i].size() / 1024, tOurs, tPeer,
                    tPeer / tOurs, tScalar, tScalar / tOurs, ours == theirs ? "identical" : "DIFFERENT");
    }
    std::printf("targets: ratio >= 0.8 against the peer with vector code, >= 1.0 against peer-sc (without)\n\n");
    std::printf("%-24s %8s | %8s %8s %6s | %s\n", "encode", "KB", "ours", "peer", "ratio", "bytes");
    for (const Case& c : kCases) {
        if (c.progressive || c.full) continue;  // the writer makes 4:2:0 baseline and grey files
        std::vector<uint8_t> ours, theirs;
        double tOurs = bestMs([&] { ours = ourEncode(bgr, grey, c); });
        double tPeer = bestMs([&] { theirs = peerEncode(bgr, grey, c); });
        bool same = ours.size() == theirs.size() && ours.size() > 12 &&
                    std::equal(ours.begin() + 13, ours.end(), theirs.begin() + 13);
        std::printf("%-24s %8zu | %8.2f %8.2f %6.2f | %s\n", c.name, ours.size() / 1024, tOurs, tPeer, tPeer / tOurs,
                    same ? "identical but byte 12" : "DIFFERENT");
    }
    std::printf("target: ratio >= 0.7 (colour bytes are compared only when both sides are multiples of 16:\n"
                "the peer fills the right and bottom edge blocks of subsampled chroma its own way)\n");
    return 0;
}
