// Helpers shared by the still-image tests: where the conformance images are, pictures as plain
// RGB arrays, and the independent readers and writers used as oracles.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kroutil/image.h"
#include "tests/support/test_support.h"

namespace imgtest {

// The folder of the public conformance images (testdata/ of the shared folder).
std::string testdata(const std::string& relative);

// A picture as top-down RGB bytes.
struct Rgb {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;  // width * height * 3, red first
    bool operator==(const Rgb&) const = default;
};

// The image's working area through its colour table (16-bit grey: the high byte), top-down.
Rgb areaRgb(const ImageDescriptor& img);
// The index or grey values of an 8-bit or 1-bit image's area, one byte per pixel, top-down.
std::vector<uint8_t> areaIndices(const ImageDescriptor& img);

// Runs a shell command and parses its standard output as a binary PPM (P6) or PGM (P5, made
// RGB). False when the command failed or printed something else.
bool rgbFromCommand(const std::string& command, Rgb* out);
// Writes a binary PPM.
void writePpm(const std::string& path, const Rgb& rgb);
// The independent readers, by absolute path, so that no wrapper on PATH stands in for them.
inline const char* kConvert = "/usr/bin/convert";
inline const char* kPython = "/usr/bin/python3";  // with PIL
// The command that prints the picture as PIL reads it (made RGB), as a binary PPM.
std::string pilCommand(const std::string& path);
// The same through ImageMagick.
std::string convertCommand(const std::string& path);
// True when the tool can be run (an absolute path, or looked up on PATH).
bool haveTool(const std::string& tool);
std::string quoted(const std::string& path);

// The largest channel difference between two pictures of one size (-1 for different sizes).
int maxDifference(const Rgb& a, const Rgb& b);

// Allocates an image and frees it when the test ends.
struct Image {
    ImageDescriptor d{};
    Image() = default;
    Image(int32_t w, int32_t h, int32_t bits) { EXPECT_EQ(allocimage(&d, w, h, bits), IMG_OK); }
    ~Image() { if (d.header) freeimage(&d); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ImageDescriptor* operator&() { return &d; }
    ImageDescriptor* get() { return &d; }
};

}  // namespace imgtest

// Skips a test that needs an oracle tool missing from the machine; under CI=true the tool must
// be there, so its absence fails the test.
#define IMGTEST_REQUIRE_TOOL(tool)                                                                  \
    do {                                                                                           \
        if (!imgtest::haveTool(tool)) {                                                            \
            if (testsupport::underCi()) FAIL() << "missing test tool " << (tool);                  \
            GTEST_SKIP() << "test tool " << (tool) << " is not installed";                         \
        }                                                                                          \
    } while (0)
