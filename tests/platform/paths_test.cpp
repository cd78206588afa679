#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::TempDir;

// Maps D: onto a temporary folder for the length of a test, C: staying "/".
class DriveFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = std::filesystem::current_path();
        plat::setDriveMappings("D=" + dir_.path() + ";E=" + dir_.path() + "/cd:cdrom");
    }
    void TearDown() override {
        std::filesystem::current_path(saved_);
        plat::setDriveMappings("");
    }
    TempDir dir_;
    std::filesystem::path saved_;
};

TEST(Wildcards, DesktopRules) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.*", "README", true},    {"*.*", "a.b.c", true},     {"*", ".hidden", true},
        {"*.ss", "SHOW.SS", true},  {"*.ss", "show.ssx", false}, {"sh?w.ss", "show.ss", true},
        {"sh?w.ss", "shw.ss", false}, {"a*b*c", "aXXbYYc", true}, {"a*b*c", "aXXbYY", false},
        {"intro.*", "intro", true}, {"intro.*", "intro.tvx", true}, {"intro.", "intro", true},
        {"intro.", "intro.tvx", false}, {"?", "ab", false},      {"", "a", false},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::wildcardMatch(c.pattern, c.name), c.match) << c.pattern << " ~ " << c.name;
}

TEST_F(DriveFixture, PathFormsAndResolution) {
    EXPECT_EQ(plat::fullPath("/usr//lib/../bin/"), "C:\\usr\\bin");
    EXPECT_EQ(plat::fullPath("D:\\a\\.\\b\\..\\c.txt"), "D:\\a\\c.txt");
    EXPECT_EQ(plat::fullPath("d:/x"), "D:\\x");
    EXPECT_EQ(plat::hostPath("D:\\a\\c.txt"), dir_.path() + "/a/c.txt");
    EXPECT_EQ(plat::drivePathFromHost(dir_.path() + "/sub/f"), "D:\\sub\\f");
    EXPECT_EQ(plat::drivePathFromHost("/etc/passwd"), "C:\\etc\\passwd");
    EXPECT_EQ(plat::hostPath("Q:\\nothing"), "");  // an unmapped drive has no host path
    EXPECT_EQ(plat::driveType('E'), plat::DriveType::CdRom);
    EXPECT_EQ(plat::driveType('D'), plat::DriveType::Fixed);
    EXPECT_EQ(plat::driveType('Q'), plat::DriveType::None);
}

TEST_F(DriveFixture, CaseInsensitiveLookupKeepsNewNames) {
    std::filesystem::create_directories(dir_.path() + "/Media/Intro");
    testsupport::writeText(dir_.path() + "/Media/Intro/Logo.TVX", "x");
    EXPECT_EQ(plat::hostPath("D:\\MEDIA\\intro\\logo.tvx"), dir_.path() + "/Media/Intro/Logo.TVX");
    // A name that does not exist keeps its spelling below the part that does.
    EXPECT_EQ(plat::hostPath("d:/media/INTRO/New.txt"), dir_.path() + "/Media/Intro/New.txt");
    plat::FileHandle h = plat::fileOpen("D:\\media\\intro\\LOGO.tvx", plat::Access::Read, false);
    ASSERT_NE(h, plat::kInvalidFile);
    plat::fileClose(h);
}

TEST_F(DriveFixture, CurrentDirectoryAndRelativePaths) {
    std::filesystem::create_directories(dir_.path() + "/Work");
    ASSERT_TRUE(plat::setCurrentDirectory("D:\\work"));
    EXPECT_EQ(plat::currentDirectory(), "D:\\Work");
    EXPECT_EQ(plat::currentDrive(), 'D');
    EXPECT_EQ(plat::fullPath("a.txt"), "D:\\Work\\a.txt");
    EXPECT_EQ(plat::fullPath("..\\b.txt"), "D:\\b.txt");
    EXPECT_EQ(plat::fullPath("\\c.txt"), "D:\\c.txt");
    EXPECT_FALSE(plat::setCurrentDirectory("D:\\missing"));
    EXPECT_EQ(plat::currentDirectory(), "D:\\Work");
}

TEST_F(DriveFixture, FindListsDotsAndAttributes) {
    std::filesystem::create_directories(dir_.path() + "/f/sub");
    testsupport::writeText(dir_.path() + "/f/one.txt", "1");
    testsupport::writeText(dir_.path() + "/f/.secret", "2");
    auto all = plat::findFiles("D:\\f\\*.*");
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].name, ".");
    EXPECT_EQ(all[1].name, "..");
    auto txt = plat::findFiles("D:/F/*.TXT");
    ASSERT_EQ(txt.size(), 1u);
    EXPECT_EQ(txt[0].name, "one.txt");
    EXPECT_EQ(txt[0].attributes, plat::kAttrArchive);
    EXPECT_EQ(txt[0].size, 1u);
    EXPECT_EQ(plat::fileAttributes("D:\\f\\sub"), plat::kAttrDirectory);
    EXPECT_EQ(plat::fileAttributes("D:\\f\\.secret") & plat::kAttrHidden, plat::kAttrHidden);
    ASSERT_TRUE(plat::setFileAttributes("D:\\f\\one.txt", plat::kAttrReadOnly));
    EXPECT_EQ(plat::fileAttributes("D:\\f\\one.txt") & plat::kAttrReadOnly, plat::kAttrReadOnly);
    EXPECT_EQ(plat::fileAttributes("D:\\f\\none"), plat::kAttrInvalid);
    EXPECT_TRUE(plat::findFiles("D:\\nowhere\\*.*").empty());
}

TEST_F(DriveFixture, SharingAndErrors) {
    std::string path = "D:\\locked.bin";
    plat::FileHandle w = plat::fileCreate(path, false, false);
    ASSERT_NE(w, plat::kInvalidFile);
    EXPECT_EQ(plat::fileOpen(path, plat::Access::Read, false), plat::kInvalidFile);  // exclusive writer
    plat::fileClose(w);
    w = plat::fileCreate(path, true, false);
    plat::FileHandle r = plat::fileOpen(path, plat::Access::Read, false);
    EXPECT_NE(r, plat::kInvalidFile);  // this writer lets readers in
    plat::fileClose(r);
    plat::fileClose(w);
    EXPECT_EQ(plat::fileErase("D:\\nothing.bin"), plat::FsResult::NotFound);
    EXPECT_EQ(plat::fileErase("D:\\no\\dir\\x"), plat::FsResult::NotFound);
    EXPECT_EQ(plat::fileRename("D:\\LOCKED.BIN", path), plat::FsResult::Ok);  // letter case only
    EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/LOCKED.BIN"));
}

TEST(FileTime, EpochConversion) {
    EXPECT_EQ(plat::fileTimeFromUnix(0, 0), 116444736000000000ULL);
    int64_t s, ns;
    plat::unixFromFileTime(116444736000000000ULL + 12345678, s, ns);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(ns, 234567800);
}

}  // namespace
