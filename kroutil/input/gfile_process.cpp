// Graphics input: runs the read frame through the processing chain into the work picture.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "kroutil/input/gfile_internal.h"

namespace gfile {

namespace {

inline uint32_t readPixel(const SourceFrame& f, const uint8_t* row, int32_t c) {
    switch (f.bits) {
    case 32: {
        uint32_t v;
        std::memcpy(&v, row + size_t(c) * 4, 4);
        return v;
    }
    case 24: {
        const uint8_t* q = row + size_t(c) * 3;
        return 0xFF000000u | uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16;
    }
    case 16: {
        uint32_t v = uint32_t(row[size_t(c) * 2]) | uint32_t(row[size_t(c) * 2 + 1]) << 8;
        return 0xFF000000u | ((v >> 10) & 31) << 19 | ((v >> 5) & 31) << 11 | (v & 31) << 3;
    }
    default: {
        const uint8_t* e = f.palette + size_t(row[c]) * 3;
        return 0xFF000000u | uint32_t(e[0]) << 16 | uint32_t(e[1]) << 8 | e[2];
    }
    }
}

bool anyStage(const GFile* g, const Processing& proc) {
    return (g->flags & (GFILE_FIELD_1 | GFILE_FIELD_2 | GFILE_FIELD_BLEND | GFILE_PREMULTIPLY | GFILE_DIVIDE_ALPHA)) ||
           proc.median || proc.softening || proc.levels || proc.threshold || proc.brightness != 100 ||
           (std::isfinite(proc.gamma) && proc.gamma > 0 && std::fabs(proc.gamma - 1.0f) > 0.0001f);
}

}  // namespace

void processFrame(GFile* g, const Processing& proc) {
    GFilePrivate* p = g->priv;
    const SourceFrame& f = p->frame;
    p->processedValid = true;
    bool sameSize = f.width == g->scaledWidth && f.height == g->scaledHeight;
    if (g->kind == GFILE_KIND_LIST || (sameSize && !anyStage(g, proc))) {
        p->processedIsWork = false;
        return;
    }
    int32_t w = g->scaledWidth, h = g->scaledHeight;
    p->work.resize(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y) {
        int32_t sy = int32_t(int64_t(y) * f.height / h);
        const uint8_t* row = f.pixels + sy * f.pitch;
        uint32_t* out = p->work.data() + size_t(y) * w;
        for (int32_t x = 0; x < w; ++x) out[x] = readPixel(f, row, int32_t(int64_t(x) * f.width / w));
    }
    p->processedIsWork = true;
}

}  // namespace gfile
