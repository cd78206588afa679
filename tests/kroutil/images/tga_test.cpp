// TGA reading and writing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bytes/byte_order.h"
#include "image_test_util.h"
#include "tests/support/test_support.h"

using imgtest::Image;
using imgtest::Rgb;

namespace {

std::string tga(const std::string& name) { return imgtest::testdata("tga/pillow-common/" + name); }

// The alpha channel of a picture as PIL reads it, as grey RGB.
std::string pilAlphaCommand(const std::string& path) {
    return std::string(imgtest::kPython) +
           " -c 'import sys; from PIL import Image; a = Image.open(sys.argv[1]).getchannel(\"A\"); "
           "sys.stdout.buffer.write(b\"P5 %d %d 255\\n\" % a.size + a.tobytes())' " +
           imgtest::quoted(path);
}

// Every file of the set, both origins, plain and run-length, loads into the image its header
// asks for and equals its PNG reference; alpha goes to the alpha image.
TEST(TgaLoad, SetMatchesItsReferences) {
    IMGTEST_REQUIRE_TOOL(imgtest::kPython);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(tga(""))) {
        if (e.path().extension() == ".tga") files.push_back(e.path().filename().string());
    }
    ASSERT_EQ(files.size(), 24u);
    for (const auto& f : files) {
        SCOPED_TRACE(f);
        TgaInfo info{};
        ASSERT_EQ(tgainfo(tga(f).c_str(), &info), IMG_OK);
        Image img(info.width, info.height, info.alloc_bits);
        Image alpha(info.width, info.height, 8);
        const bool withAlpha = f.find("_la_") != std::string::npos || f.find("_rgba_") != std::string::npos;
        ASSERT_EQ(LoadTgaWithAlpha(tga(f).c_str(), &img, &alpha), IMG_OK);
        const std::string ref = tga(f.substr(0, f.find("_", f.find("_") + 1)) + ".png");
        Rgb want;
        ASSERT_TRUE(imgtest::rgbFromCommand(imgtest::pilCommand(ref), &want));
        EXPECT_EQ(imgtest::areaRgb(img.d), want);
        if (withAlpha) {
            Rgb wantAlpha;
            ASSERT_TRUE(imgtest::rgbFromCommand(pilAlphaCommand(ref), &wantAlpha));
            EXPECT_EQ(imgtest::areaRgb(alpha.d), wantAlpha);
        } else {
            EXPECT_EQ(imgtest::areaIndices(alpha.d), std::vector<uint8_t>(alpha.d.row_bytes ? size_t(info.width) * info.height : 0, 0))
                << "no alpha in the file: the alpha image stays as it was";
        }
        // loadtga gives the same picture.
        Image plain(info.width, info.height, info.alloc_bits);
        ASSERT_EQ(loadtga(tga(f).c_str(), &plain), IMG_OK);
        EXPECT_EQ(imgtest::areaRgb(plain.d), want);
    }
    TgaInfo info{};
    ASSERT_EQ(tgainfo(tga("200x32_p_tl_rle.tga").c_str(), &info), IMG_OK);
    EXPECT_EQ(info.width, 200);
    EXPECT_EQ(info.height, 32);
    EXPECT_EQ(info.colormap_type, 1);
    EXPECT_EQ(info.image_type, 9);
    EXPECT_EQ(info.colormap_bits, 24);
    EXPECT_EQ(info.colormap_length, 256);
    EXPECT_EQ(info.pixel_depth, 8);
    EXPECT_EQ(info.origin, 2);
    EXPECT_EQ(info.alloc_bits, 8);
    ASSERT_EQ(tgainfo(tga("200x32_la_bl_raw.tga").c_str(), &info), IMG_OK);
    EXPECT_EQ(info.pixel_depth, 16);
    EXPECT_EQ(info.alpha_bits, 8);
    EXPECT_EQ(info.origin, 0);
    EXPECT_EQ(info.alloc_bits, 8) << "grey with alpha loads as 8-bit grey";
}

// A hand-made file: header, identification text, colour map, data.
std::vector<unsigned char> makeTga(int type, int depth, int w, int h, int descriptor, const std::vector<uint8_t>& data,
                                   int mapType = 0, int mapLength = 0, int mapBits = 0, const std::vector<uint8_t>& map = {},
                                   const std::string& id = "") {
    std::vector<unsigned char> f(18, 0);
    f[0] = uint8_t(id.size());
    f[1] = uint8_t(mapType);
    f[2] = uint8_t(type);
    bytes::store16le(&f[5], uint16_t(mapLength));
    f[7] = uint8_t(mapBits);
    bytes::store16le(&f[12], uint16_t(w));
    bytes::store16le(&f[14], uint16_t(h));
    f[16] = uint8_t(depth);
    f[17] = uint8_t(descriptor);
    f.insert(f.end(), id.begin(), id.end());
    f.insert(f.end(), map.begin(), map.end());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

TEST(TgaLoad, TypesDepthsAndRefusals) {
    testsupport::TempDir dir;
    const std::string path = dir.file("t.tga");
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int32_t bits;
        int32_t result;
    };
    const std::vector<uint8_t> four(12, 1);
    const Case cases[] = {
        {"colour-mapped into a 24-bit image", makeTga(1, 8, 2, 2, 0, four), 24, IMGERR_DEPTH},
        {"true colour into an 8-bit image", makeTga(2, 24, 2, 2, 0, four), 8, IMGERR_DEPTH},
        {"grey into a 24-bit image", makeTga(3, 8, 2, 2, 0, four), 24, IMGERR_DEPTH},
        {"type 0", makeTga(0, 8, 2, 2, 0, four), 8, IMGERR_BAD_TGA},
        {"type 12", makeTga(12, 8, 2, 2, 0, four), 8, IMGERR_BAD_TGA},
        {"type 4", makeTga(4, 8, 2, 2, 0, four), 8, IMGERR_BAD_TGA},
        {"true colour of 8 bits", makeTga(2, 8, 2, 2, 0, four), 24, IMGERR_BAD_TGA},
        {"colour-mapped of 24 bits", makeTga(1, 24, 2, 2, 0, four), 8, IMGERR_BAD_TGA},
        {"grey of 32 bits", makeTga(3, 32, 2, 2, 0, four), 8, IMGERR_BAD_TGA},
        {"true colour of 15 bits", makeTga(2, 15, 2, 2, 0, four), 24, IMGERR_BAD_TGA},
        {"interleaved", makeTga(2, 24, 2, 2, 0x40, four), 24, IMGERR_BAD_TGA},
        {"zero width", makeTga(2, 24, 0, 2, 0, four), 24, IMGERR_BAD_TGA},
        {"32768 rows", makeTga(2, 24, 1, 32768, 0, four), 24, IMGERR_BAD_TGA},
        {"short header", std::vector<unsigned char>(10, 2), 24, IMGERR_BAD_TGA},
        {"data cut short", makeTga(2, 24, 2, 2, 0, std::vector<uint8_t>(9, 1)), 24, IMGERR_TRUNCATED},
        {"run-length data cut short", makeTga(10, 24, 2, 2, 0, {0x82, 1, 2, 3}), 24, IMGERR_TRUNCATED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::writeFile(path, c.file);
        Image img(2, 2, c.bits);
        EXPECT_EQ(loadtga(path.c_str(), &img), c.result);
    }
    Image none(2, 2, 24);
    EXPECT_EQ(loadtga(dir.file("missing.tga").c_str(), &none), IMGERR_OPEN);

    // 5-5-5 pixels, a run-length packet that spans two lines, identification text skipped, and
    // the top origin: 2 x 2, top row first.
    std::vector<uint8_t> data = {0x82};
    const uint16_t v = uint16_t(31u << 10 | 16u << 5 | 1);
    data.insert(data.end(), {uint8_t(v), uint8_t(v >> 8)});
    data.insert(data.end(), {0x00, 0xFF, 0x7F});
    testsupport::writeFile(path, makeTga(10, 16, 2, 2, 0x20, data, 0, 0, 0, {}, "hello"));
    Image img(2, 2, 24);
    ASSERT_EQ(loadtga(path.c_str(), &img), IMG_OK);
    const Rgb got = imgtest::areaRgb(img.d);
    const std::vector<uint8_t> first = {248, 128, 8}, last = {248, 248, 248};
    EXPECT_EQ(std::vector<uint8_t>(got.pixels.begin(), got.pixels.begin() + 3), first);
    EXPECT_EQ(std::vector<uint8_t>(got.pixels.begin() + 6, got.pixels.begin() + 9), first);
    EXPECT_EQ(std::vector<uint8_t>(got.pixels.begin() + 9, got.pixels.end()), last);

    // A colour map of 16-bit entries; its first index is not used.
    std::vector<uint8_t> map;
    for (uint16_t e : {uint16_t(0x7C00), uint16_t(0x03E0), uint16_t(0x001F)}) map.insert(map.end(), {uint8_t(e), uint8_t(e >> 8)});
    auto mapped = makeTga(1, 8, 3, 1, 0, {2, 1, 0}, 1, 3, 16, map);
    bytes::store16le(&mapped[3], 5);
    testsupport::writeFile(path, mapped);
    Image pal(3, 1, 8);
    ASSERT_EQ(loadtga(path.c_str(), &pal), IMG_OK);
    EXPECT_EQ(pal.d.colors, 3);
    EXPECT_EQ(imgtest::areaRgb(pal.d).pixels, (std::vector<uint8_t>{0, 0, 248, 0, 248, 0, 248, 0, 0}));
    EXPECT_FALSE(pal.d.flags & IMAGE_FLAG_GREY);
}

// More rows in the file than in the area: the picture's top rows are kept, whatever the origin.
TEST(TgaLoad, AreaKeepsTheTopRows) {
    for (const char* f : {"200x32_rgb_bl_raw.tga", "200x32_rgb_tl_rle.tga", "200x32_p_bl_rle.tga"}) {
        SCOPED_TRACE(f);
        TgaInfo info{};
        ASSERT_EQ(tgainfo(tga(f).c_str(), &info), IMG_OK);
        Image whole(200, 32, info.alloc_bits);
        ASSERT_EQ(loadtga(tga(f).c_str(), &whole), IMG_OK);
        const Rgb full = imgtest::areaRgb(whole.d);
        Image part(200, 32, info.alloc_bits);
        part.d.x1 = 11, part.d.y1 = 20, part.d.x2 = 60, part.d.y2 = 29;
        ASSERT_EQ(loadtga(tga(f).c_str(), &part), IMG_OK);
        const Rgb got = imgtest::areaRgb(part.d);
        for (int y = 0; y < 10; ++y) ASSERT_EQ(std::memcmp(&got.pixels[size_t(y) * 150], &full.pixels[size_t(y) * 600], 150), 0) << y;
    }
}

TEST(TgaWrite, PlainAndRunLengthReadBack) {
    testsupport::TempDir dir;
    std::mt19937 rng(11);
    for (int32_t rle : {0, 1}) {
        for (int32_t x1 : {0, 5}) {
            SCOPED_TRACE(testing::Message() << "rle " << rle << " from " << x1);
            Image img(300, 7, 24);
            // Runs of up to 200 equal pixels between random ones: repeat packets longer than 128
            // pixels must be split.
            for (int32_t y = 0; y < 7; ++y) {
                uint8_t* row = img.d.pixels + y * img.d.row_bytes;
                for (int32_t x = 0; x < 300;) {
                    const int32_t run = rng() % 3 ? 1 : 1 + int32_t(rng() % 200);
                    const uint8_t px[3] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
                    for (int32_t k = 0; k < run && x < 300; ++k, ++x) std::memcpy(row + 3 * x, px, 3);
                }
            }
            img.d.x1 = x1, img.d.y1 = 1, img.d.x2 = 299, img.d.y2 = 6;
            const std::string path = dir.file("w.tga");
            ASSERT_EQ(WriteTgaFile(path.c_str(), &img, rle), IMG_OK);
            const auto file = testsupport::readFile(path);
            ASSERT_GT(file.size(), 64u + 26u);
            EXPECT_EQ(file[0], 46);
            EXPECT_EQ(file[2], rle ? 10 : 2);
            EXPECT_EQ(bytes::load16le(&file[12]), 300 - x1);
            EXPECT_EQ(bytes::load16le(&file[14]), 6);
            EXPECT_EQ(file[16], 24);
            EXPECT_EQ(file[17], 0);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[18])), "Zovira Image");
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[file.size() - 18]), 18), std::string("TRUEVISION-XFILE.\0", 18));
            EXPECT_EQ(bytes::load32le(&file[file.size() - 26]), 0u);
            EXPECT_EQ(bytes::load32le(&file[file.size() - 22]), 0u);
            if (!rle) EXPECT_EQ(file.size(), 64u + 26u + size_t(300 - x1) * 6 * 3);
            const Rgb want = imgtest::areaRgb(img.d);
            Image back(300 - x1, 6, 24);
            ASSERT_EQ(loadtga(path.c_str(), &back), IMG_OK);
            EXPECT_EQ(imgtest::areaRgb(back.d), want);
            for (const std::string& tool : {std::string("tgatoppm"), std::string(imgtest::kPython)}) {
                if (!imgtest::haveTool(tool)) {
                    if (testsupport::underCi()) ADD_FAILURE() << "missing " << tool;
                    continue;
                }
                Rgb ref;
                ASSERT_TRUE(imgtest::rgbFromCommand(
                    tool == "tgatoppm" ? "tgatoppm " + imgtest::quoted(path) + " 2>/dev/null" : imgtest::pilCommand(path), &ref))
                    << tool;
                EXPECT_EQ(ref, want) << tool;
            }
        }
    }
    for (int bits : {8, 16, 1}) {
        SCOPED_TRACE(bits);
        Image img(4, 4, bits);
        EXPECT_EQ(WriteTgaFile(dir.file("no.tga").c_str(), &img, 1), IMGERR_DEPTH);
        EXPECT_FALSE(std::filesystem::exists(dir.file("no.tga")));
    }
}

}  // namespace
