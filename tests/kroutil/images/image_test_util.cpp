#include "image_test_util.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "tests/support/test_support.h"

namespace imgtest {

std::string testdata(const std::string& relative) { return std::string(IMAGES_TESTDATA) + "/" + relative; }

namespace {
const KroBitmapInfoHeader& header(const ImageDescriptor& img) {
    return *static_cast<const KroBitmapInfoHeader*>(img.header);
}
const uint8_t* rowOf(const ImageDescriptor& img, int32_t y) {
    return img.pixels + int64_t(header(img).height - 1 - y) * img.row_bytes;
}
}  // namespace

std::vector<uint8_t> areaIndices(const ImageDescriptor& img) {
    std::vector<uint8_t> out;
    const int bits = header(img).bit_count;
    for (int32_t y = img.y1; y <= img.y2; ++y) {
        const uint8_t* row = rowOf(img, y);
        for (int32_t x = img.x1; x <= img.x2; ++x)
            out.push_back(bits == 1 ? uint8_t(row[x / 8] >> (7 - x % 8) & 1) : row[x]);
    }
    return out;
}

Rgb areaRgb(const ImageDescriptor& img) {
    Rgb rgb;
    rgb.width = img.x2 - img.x1 + 1;
    rgb.height = img.y2 - img.y1 + 1;
    const int bits = header(img).bit_count;
    for (int32_t y = img.y1; y <= img.y2; ++y) {
        const uint8_t* row = rowOf(img, y);
        for (int32_t x = img.x1; x <= img.x2; ++x) {
            uint8_t r, g, b;
            if (bits == 24) {
                b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
            } else if (bits == 16) {
                r = g = b = row[2 * x + 1];
            } else {
                const int i = bits == 1 ? row[x / 8] >> (7 - x % 8) & 1 : row[x];
                const uint8_t* q = img.palette + 4 * i;
                b = q[0], g = q[1], r = q[2];
            }
            rgb.pixels.insert(rgb.pixels.end(), {r, g, b});
        }
    }
    return rgb;
}

bool rgbFromCommand(const std::string& command, Rgb* out) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return false;
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) data.insert(data.end(), buf, buf + n);
    if (pclose(p) != 0) return false;
    // Header: magic, width, height, maxval, separated by white space (comments not expected).
    size_t pos = 0;
    auto token = [&]() -> std::string {
        while (pos < data.size() && std::isspace(data[pos])) ++pos;
        while (pos < data.size() && data[pos] == '#') {
            while (pos < data.size() && data[pos] != '\n') ++pos;
            while (pos < data.size() && std::isspace(data[pos])) ++pos;
        }
        std::string t;
        while (pos < data.size() && !std::isspace(data[pos])) t += char(data[pos++]);
        return t;
    };
    const std::string magic = token();
    if (magic != "P6" && magic != "P5") return false;
    const int w = std::atoi(token().c_str()), h = std::atoi(token().c_str()), maxval = std::atoi(token().c_str());
    ++pos;
    if (w <= 0 || h <= 0 || maxval <= 0 || maxval > 65535) return false;
    const size_t samples = size_t(w) * h * (magic == "P6" ? 3 : 1);
    const size_t bytesPer = maxval > 255 ? 2 : 1;
    if (data.size() - pos < samples * bytesPer) return false;
    out->width = w;
    out->height = h;
    out->pixels.clear();
    for (size_t i = 0; i < samples; ++i) {
        uint32_t v = bytesPer == 2 ? data[pos + 2 * i] << 8 | data[pos + 2 * i + 1] : data[pos + i];
        const uint8_t s = uint8_t(maxval == 255 ? v : (v * 255 + maxval / 2) / maxval);
        if (magic == "P6") out->pixels.push_back(s);
        else out->pixels.insert(out->pixels.end(), {s, s, s});
    }
    return true;
}

void writePpm(const std::string& path, const Rgb& rgb) {
    std::string head = "P6\n" + std::to_string(rgb.width) + " " + std::to_string(rgb.height) + "\n255\n";
    std::vector<unsigned char> data(head.begin(), head.end());
    data.insert(data.end(), rgb.pixels.begin(), rgb.pixels.end());
    testsupport::writeFile(path, data);
}

bool haveTool(const std::string& tool) {
    if (!tool.empty() && tool[0] == '/') return ::access(tool.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string p = path;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        const std::filesystem::path candidate = std::filesystem::path(p.substr(start, end - start)) / tool;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) return true;
        start = end + 1;
    }
    return false;
}

std::string quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string pilCommand(const std::string& path) {
    return std::string(kPython) +
           " -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert(\"RGB\"); "
           "sys.stdout.buffer.write(b\"P6 %d %d 255\\n\" % im.size + im.tobytes())' " +
           quoted(path);
}

std::string convertCommand(const std::string& path) { return std::string(kConvert) + " " + quoted(path) + " -depth 8 ppm:-"; }

int maxDifference(const Rgb& a, const Rgb& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return -1;
    int d = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) d = std::max(d, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    return d;
}

}  // namespace imgtest
