// The picture decoder on fuzz bytes: the first four bytes choose the width, the height, the
// revision and the plane layout (alpha, grey), the rest becomes the picture part of two frames
// (split at a point the fifth byte chooses), which are decoded in order, again, and backwards.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kroutil/quarn.h"

namespace {
void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5 || size > (1u << 20)) return 0;
    const uint32_t width = 1 + data[0] % 64, height = 1 + data[1] % 48;
    const char revision = "fghi"[data[2] & 3];
    const uint32_t flags = ((data[3] & 1) ? QUARN_VIDEO_ALPHA : 0) | ((data[3] & 2) ? QUARN_VIDEO_GREY : 0);
    const uint8_t* body = data + 5;
    const size_t bodySize = size - 5;
    size_t split = bodySize * data[4] / 255;
    // Frames start on even positions: the second frame's bytes begin at an even offset.
    std::vector<uint8_t> frame1(body, body + split), frame2(body + split, body + bodySize);
    if (frame1.size() & 1) frame1.push_back(0);
    if (frame2.empty() || (frame2.size() & 1)) frame2.push_back(0);
    const uint32_t start = 44 + 4 * 3;
    std::vector<uint8_t> file = {'Q', 'R', 'N', uint8_t(revision)};
    const uint32_t end = start + uint32_t(frame1.size() + frame2.size());
    const uint32_t largest = uint32_t(frame1.size() > frame2.size() ? frame1.size() : frame2.size());
    for (uint32_t v : {end - 8, 2u, largest, 2u, width, height, 10u, 1u, flags, 0u}) put32(file, v);
    put32(file, start | 1);
    put32(file, start + uint32_t(frame1.size()));
    put32(file, end | 1);
    file.insert(file.end(), frame1.begin(), frame1.end());
    file.insert(file.end(), frame2.begin(), frame2.end());
    QuarnStream* s = QuarnStreamOpenSized(file.data(), QUARN_OPEN_MEMORY | QUARN_OPEN_ALPHA, file.size());
    if (!s) return 0;
    QuarnVideo* v = QuarnVideoOpen(s);
    if (v) {
        std::vector<uint32_t> pixels(size_t(v->width) * v->height);
        const int32_t pitch = int32_t(v->width * 4);
        for (uint32_t frame : {1u, 2u, 2u, 1u, 2u}) {
            QuarnGotoFrame(s, frame);
            QuarnVideoDecode(v, pixels.data(), pitch);
        }
        QuarnVideoClose(v);
    }
    QuarnStreamClose(s);
    return 0;
}
