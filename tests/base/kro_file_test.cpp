#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kroutil/kro_file.h"
#include "tests/support/test_support.h"

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
using testsupport::writeText;

namespace {

std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    return v;
}

TEST(KroFile, BitsAcrossBytes) {
    TempDir dir;
    std::string name = dir.file("bits");
    KroFile* f = KroFileCreate(0, name.c_str());
    ASSERT_NE(f, nullptr);
    KroFilePutBits(f, 5, 3);
    EXPECT_EQ(KroFileGetPos(f), 0u);  // the byte being filled
    KroFilePutBits(f, 0xFF, 8);
    KroFileClose(f);
    EXPECT_EQ(readFile(name), (std::vector<unsigned char>{0xFD, 0x07}));

    f = KroFileOpen(0, name.c_str(), KRO_FILE_READ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(KroFileGetBits(f, 3), 5u);
    EXPECT_EQ(KroFileGetPos(f), 0u);
    EXPECT_EQ(KroFileGetBits(f, 8), 0xFFu);
    KroFileClose(f);
}

TEST(KroFile, GetBitsWidthRules) {
    TempDir dir;
    std::string name = dir.file("w");
    writeFile(name, {0xAB, 0xCD, 0xEF, 0x12, 0x34});
    KroFile* f = KroFileOpen(1000, name.c_str(), KRO_FILE_READ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(KroFileGetBits(f, 0), 0u);
    EXPECT_EQ(KroFileGetPos(f), 0u);
    EXPECT_EQ(KroFileGetBits(f, 12), 0xDABu);  // 8 bits, then 4 more above them
    EXPECT_EQ(KroFileGetBits(f, 33), 0u);      // behaves as 1: bit 4 of 0xCD
    EXPECT_EQ(KroFileGetBits(f, 3), 0x6u);     // bits 5..7 of 0xCD
    EXPECT_EQ(KroFileGetPos(f), 2u);
    KroFileClose(f);
}

// Every width from 1 to 32 at every bit offset round-trips through writer and reader.
TEST(KroFile, AllWidthsRoundTrip) {
    TempDir dir;
    std::string name = dir.file("widths");
    KroFile* w = KroFileCreate(4096, name.c_str());
    ASSERT_NE(w, nullptr);
    uint32_t seed = 1;
    std::vector<std::pair<uint32_t, uint32_t>> written;
    for (int round = 0; round < 3000; ++round) {
        seed = seed * 1103515245u + 12345u;
        uint32_t width = (seed >> 8) % 32 + 1;
        uint32_t value = seed ^ (seed << 13);
        if (width < 32) value &= (1u << width) - 1;
        KroFilePutBits(w, value, width);
        written.emplace_back(value, width);
    }
    KroFileClose(w);
    // The bytes must be the plain least-significant-first packing of the values.
    std::vector<unsigned char> expect;
    uint64_t bitPos = 0;
    for (auto [value, width] : written)
        for (uint32_t i = 0; i < width; ++i, ++bitPos) {
            if (bitPos % 8 == 0) expect.push_back(0);
            expect.back() |= static_cast<unsigned char>(((value >> i) & 1) << (bitPos % 8));
        }
    ASSERT_EQ(readFile(name), expect);
    KroFile* r = KroFileOpen(4096, name.c_str(), KRO_FILE_READ);
    ASSERT_NE(r, nullptr);
    for (auto [value, width] : written) ASSERT_EQ(KroFileGetBits(r, width), value) << "width " << width;
    KroFileClose(r);
}

TEST(KroFile, BufferSizes) {
    TempDir dir;
    std::string name = dir.file("b");
    writeFile(name, pattern(10));
    struct Case {
        int32_t asked;
        uint32_t capacity;
        bool allocatedAtOnce;
    } cases[] = {{0, 4096, true}, {1000, 4096, false}, {-1000, 4096, false}, {64000, 64000, false}};
    for (const auto& c : cases) {
        KroFile* f = KroFileOpen(c.asked, name.c_str(), KRO_FILE_READ);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->buffer_size, c.capacity) << c.asked;
        EXPECT_EQ(f->buffer_block != nullptr, c.allocatedAtOnce) << c.asked;
        KroFileGet8(f);
        ASSERT_NE(f->buffer, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(f->buffer) % 4096, 0u);
        KroFileClose(f);
    }
}

TEST(KroFile, LargeReadBypassesEmptyBuffer) {
    TempDir dir;
    std::string name = dir.file("big");
    auto data = pattern(20000);
    writeFile(name, data);
    KroFile* f = KroFileOpen(4096, name.c_str(), KRO_FILE_READ);
    std::vector<unsigned char> got(20000);
    EXPECT_EQ(KroFileGet(f, got.data(), 20000), 20000u);
    EXPECT_EQ(got, data);
    EXPECT_FALSE(KroFileIsInBuffer(f, 0));  // nothing went through the buffer
    EXPECT_TRUE(KroFileAtEnd(f));
    KroFileClose(f);
}

TEST(KroFile, ReadThenWriteAtSamePosition) {
    TempDir dir;
    std::string name = dir.file("rw");
    auto data = pattern(10000);
    writeFile(name, data);
    KroFile* f = KroFileOpen(4096, name.c_str(), KRO_FILE_READWRITE);
    ASSERT_NE(f, nullptr);
    unsigned char head[5];
    EXPECT_EQ(KroFileGet(f, head, 5), 5u);
    const unsigned char patch[3] = {1, 2, 3};
    EXPECT_EQ(KroFilePut(f, patch, 3), 3u);
    EXPECT_EQ(KroFileGetPos(f), 8u);
    EXPECT_EQ(KroFileGet8(f), data[8]);  // back to reading after the patch
    KroFileClose(f);
    data[5] = 1, data[6] = 2, data[7] = 3;
    EXPECT_EQ(readFile(name), data);
}

// Bits written in read mode go out whole once the handle switches to writing, and bits read in
// write mode come from the file, not from pending output.
TEST(KroFile, BitsAcrossModeSwitches) {
    TempDir dir;
    std::string name = dir.file("m");
    writeFile(name, {0x11, 0x22, 0x33, 0x44});
    KroFile* f = KroFileOpen(0, name.c_str(), KRO_FILE_READWRITE);
    EXPECT_EQ(KroFileGet8(f), 0x11u);
    KroFilePutBits(f, 0x5, 3);  // in read mode so far
    KroFilePutBits(f, 0x1F, 5);
    KroFilePutBits(f, 0xAB, 8);
    KroFileSetPos(f, 0);
    EXPECT_EQ(KroFileGet32(f), 0x44ABFD11u);
    KroFileSetPos(f, 1);
    KroFilePutBits(f, 0x3, 2);  // pending, not yet a whole byte
    // The pending bits go out first, padded with zeros; reading goes on at that byte.
    EXPECT_EQ(KroFileGetBits(f, 8), 0x03u);
    EXPECT_EQ(KroFileGetBits(f, 8), 0xABu);
    KroFileClose(f);
    EXPECT_EQ(readFile(name), (std::vector<unsigned char>{0x11, 0x03, 0xAB, 0x44}));
}

TEST(KroFile, SetPosKeepsPartialByteOnlyWhenNotMoving) {
    TempDir dir;
    std::string name = dir.file("p");
    writeFile(name, {0xF0, 0x0F, 0x55});
    KroFile* f = KroFileOpen(0, name.c_str(), KRO_FILE_READ);
    EXPECT_EQ(KroFileGetBits(f, 4), 0x0u);
    EXPECT_EQ(KroFileSetPos(f, 0), 0u);  // the current position
    EXPECT_EQ(KroFileBitPos(f), 4u);
    EXPECT_EQ(KroFileGetBits(f, 4), 0xFu);
    EXPECT_EQ(KroFileSetPos(f, 2), 1u);
    EXPECT_EQ(KroFileBitPos(f), 0u);
    EXPECT_TRUE(KroFileIsInBuffer(f, 0));
    EXPECT_EQ(KroFileGet8(f), 0x55u);
    KroFileClose(f);
}

TEST(KroFile, AlignPadsPastTheEnd) {
    TempDir dir;
    std::string name = dir.file("a");
    writeFile(name, pattern(5000));
    KroFile* f = KroFileOpen(0, name.c_str(), KRO_FILE_READWRITE);
    KroFileSetPos(f, 4096);
    KroFileAlign(f, 2048);
    EXPECT_EQ(KroFileGetPos(f), 4096u);
    KroFileSetPos(f, 5000);
    KroFileAlign(f, 2048);
    EXPECT_EQ(KroFileGetPos(f), 6144u);
    EXPECT_EQ(KroFileSize(f), 6144u);
    KroFileClose(f);
    auto got = readFile(name);
    ASSERT_EQ(got.size(), 6144u);
    for (size_t i = 5000; i < got.size(); ++i) ASSERT_EQ(got[i], 0) << i;
}

TEST(KroFile, FlushCompletesPartialByteWithZeros) {
    TempDir dir;
    std::string name = dir.file("f");
    KroFile* f = KroFileCreate(0, name.c_str());
    KroFilePutBits(f, 0x1F, 5);
    EXPECT_EQ(KroFileSize(f), 0u);
    KroFileFlush(f, 1);
    EXPECT_EQ(KroFileBitPos(f), 0u);
    EXPECT_EQ(KroFileGetPos(f), 1u);
    KroFileClose(f);
    EXPECT_EQ(readFile(name), (std::vector<unsigned char>{0x1F}));
}

TEST(KroFile, GetLine) {
    TempDir dir;
    std::string name = dir.file("lines");
    writeText(name, "ab\r\nabcdef\n\nlast");
    KroFile* f = KroFileOpen(0, name.c_str(), KRO_FILE_READ);
    char line[64];
    EXPECT_STREQ(KroFileGetLine(f, line, sizeof line), "ab");
    char small[3];
    EXPECT_STREQ(KroFileGetLine(f, small, sizeof small), "ab");
    EXPECT_EQ(KroFileGetPos(f), 6u);  // at the third letter
    EXPECT_STREQ(KroFileGetLine(f, line, sizeof line), "cdef");
    EXPECT_STREQ(KroFileGetLine(f, line, sizeof line), "");
    EXPECT_STREQ(KroFileGetLine(f, line, sizeof line), "last");
    EXPECT_TRUE(KroFileAtEnd(f));
    EXPECT_STREQ(KroFileGetLine(f, line, 1), "");
    KroFileClose(f);
}

TEST(KroFile, ValuesAndEndOfFile) {
    TempDir dir;
    std::string name = dir.file("v");
    KroFile* f = KroFileCreate(-5000, name.c_str());
    EXPECT_EQ(KroFilePut32(f, 0x12345678u), 0x12345678u);
    KroFilePut16(f, 0xBEEF);
    KroFilePut8(f, 0x42);
    EXPECT_EQ(KroFileSize(f), 7u);  // pending writes count
    KroFileSetPos(f, 0);
    EXPECT_EQ(KroFileGet32(f), 0x12345678u);
    EXPECT_EQ(KroFileGet16(f), 0xBEEFu);
    EXPECT_EQ(KroFileGet8(f), 0x42u);
    KroFileSetPos(f, 5);
    EXPECT_EQ(KroFileGet32(f), 0x42BEu);  // the two missing bytes read as zero
    KroFileClose(f);
}

TEST(KroFile, WritesAcrossBufferBoundaries) {
    TempDir dir;
    std::string name = dir.file("w");
    auto data = pattern(50000);
    KroFile* f = KroFileCreate(4096, name.c_str());
    size_t off = 0;
    for (uint32_t step : {1u, 4095u, 3u, 10000u, 7u, 4096u}) {
        while (off + step <= 30000) {
            EXPECT_EQ(KroFilePutNB(f, data.data() + off, step), step);
            off += step;
            if (step > 100) break;
        }
    }
    EXPECT_EQ(KroFilePutNB(f, data.data() + off, uint32_t(data.size() - off)), data.size() - off);
    EXPECT_EQ(f->write_error, 0u);
    KroFileClose(f);
    EXPECT_EQ(readFile(name), data);
}

TEST(KroFile, BadArguments) {
    TempDir dir;
    EXPECT_EQ(KroFileOpen(0, nullptr, KRO_FILE_READ), nullptr);
    EXPECT_EQ(KroFileCreate(0, nullptr), nullptr);
    EXPECT_EQ(KroFileOpen(0, dir.file("missing").c_str(), KRO_FILE_READ), nullptr);
    testsupport::writeText(dir.file("x"), "x");
    EXPECT_EQ(KroFileOpen(0, dir.file("x").c_str(), 7), nullptr);
    EXPECT_EQ(KroFileOpen(0, dir.path().c_str(), KRO_FILE_READ), nullptr);  // a directory
    std::string longName = dir.path() + "/" + std::string(300, 'n');
    EXPECT_EQ(KroFileCreate(0, longName.c_str()), nullptr);
    // Every operation accepts a null record.
    EXPECT_EQ(KroFileGet8(nullptr), 0u);
    EXPECT_EQ(KroFileGetBits(nullptr, 5), 0u);
    EXPECT_TRUE(KroFileAtEnd(nullptr));
    EXPECT_EQ(KroFileGetName(nullptr, nullptr), nullptr);
    KroFilePutBits(nullptr, 1, 1);
    KroFileClose(nullptr);
}

TEST(KroFile, EraseRenameAndTimes) {
    TempDir dir;
    std::string a = dir.file("a.txt"), b = dir.file("b.txt");
    EXPECT_EQ(KroFileErase(a.c_str()), 1);
    EXPECT_EQ(KroFileRename(b.c_str(), a.c_str()), 1);
    writeText(a, "hello");
    writeText(dir.file("c.txt"), "c");
    EXPECT_EQ(KroFileRename(dir.file("c.txt").c_str(), a.c_str()), 2);  // target exists
    EXPECT_EQ(KroFileRename(b.c_str(), a.c_str()), 0);
    EXPECT_EQ(KroFileErase(dir.path().c_str()), 2);  // a directory is no file

    KroFile* f = KroFileOpen(0, b.c_str(), KRO_FILE_READWRITE);
    char name[KRO_FILE_NAME_SIZE];
    EXPECT_STREQ(KroFileGetName(f, name), b.c_str());
    KroFileSetTime(f, 0x01D00000u);
    EXPECT_EQ(KroFileGetTime(f), 0x01D00000u);
    KroFileClose(f);
    EXPECT_EQ(KroFileErase(b.c_str()), 0);
    EXPECT_EQ(KroFileErase(b.c_str()), 1);
}

}  // namespace
