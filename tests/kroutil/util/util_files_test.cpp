// File names, files and the questions before replacing one, on temporary directories.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kroutil/util.h"
#include "platform/dialog.h"
#include "platform/fs.h"
#include "platform/win_defs.h"
#include "platform/window.h"
#include "tests/support/test_support.h"

namespace {

struct PathBuf {
    char b[800];
    explicit PathBuf(const std::string& s) {
        std::memset(b, 0x55, sizeof b);
        std::memcpy(b, s.c_str(), s.size() + 1);
    }
    std::string str() const { return b; }
};

// Keeps the process's current directory and drive mappings as they were.
class UtilFiles : public ::testing::Test {
protected:
    void SetUp() override { savedCwd_ = plat::currentDirectory(); }
    void TearDown() override {
        plat::setCurrentDirectory(savedCwd_);
        plat::setDriveMappings("");
        plat::setMessageBoxCapture(nullptr);
        plat::setMessageBoxAnswers("");
    }
    std::string drive(const std::string& host) { return plat::drivePathFromHost(host); }
    testsupport::TempDir tmp_;
    std::string savedCwd_;
};

TEST_F(UtilFiles, NamePartsWithBothSeparators) {
    struct Ext {
        const char* name;
        int offset;  // -1: null
    } exts[] = {{"D:\\dir.x\\file", -1}, {"a/b.c/d", -1}, {"file.tvx", 4}, {"a.b.c", 3},
                {"C:x", -1},           {"noext", -1},   {"dir/.hidden", 4}, {"", -1}};
    for (const Ext& e : exts) {
        const char* r = HasExtension(e.name);
        if (e.offset < 0)
            EXPECT_EQ(r, nullptr) << e.name;
        else
            EXPECT_EQ(r, e.name + e.offset) << e.name;
    }
    struct Slash {
        const char* in;
        const char* out;
    } slashes[] = {{" C:\\dir ", "C:\\dir\\"}, {"C:", "C:"}, {"a/", "a/"}, {"a\\", "a\\"}, {"", ""}, {" \xA0", ""}};
    for (const Slash& s : slashes) {
        PathBuf p(s.in);
        AddBackslash(p.b);
        EXPECT_EQ(p.str(), s.out) << s.in;
    }
}

TEST_F(UtilFiles, ExpandFileNameWithDrives) {
    ASSERT_TRUE(plat::setCurrentDirectory(tmp_.path()));
    std::string cwd = plat::currentDirectory();
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a.txt", cwd + "\\a.txt"},
        {"sub/../b", cwd + "\\b"},
        {"/x/./y", "C:\\x\\y"},
        {"c:\\x\\..\\y", "C:\\y"},
    };
    for (const Case& c : cases) {
        PathBuf p(c.in);
        ExpandFileName(p.b);
        EXPECT_EQ(p.str(), c.out) << c.in;
    }
    plat::setDriveMappings("D=" + tmp_.path());
    PathBuf d("d:/q\\r/../s");
    ExpandFileName(d.b);
    EXPECT_EQ(d.str(), "D:\\q\\s");
    PathBuf g("d:\\abc");
    EXPECT_EQ(GetDrive(g.b), 'D');
    EXPECT_EQ(g.str(), "D:\\abc");
    // A result beyond the path limit leaves the caller's text as it was.
    std::string longName(780, 'n');
    PathBuf l(longName);
    ExpandFileName(l.b);
    EXPECT_EQ(l.str(), longName);
}

TEST_F(UtilFiles, IsDirectoryRewritesAndStaysOnlyWhenAsked) {
    testsupport::writeText(tmp_.file("f.txt"), "x");
    std::string dir = drive(tmp_.path());
    std::string before = plat::currentDirectory();
    struct Case {
        std::string in;
        int32_t result;
        std::string rewritten;
    } cases[] = {
        {tmp_.path(), 1, dir},
        {" " + tmp_.path() + "/", 1, dir},
        {tmp_.file("f.txt"), 0, dir + "\\f.txt"},
        {tmp_.file("missing"), 0, dir + "\\missing"},
        {"C:\\", 1, "C:\\"},
        {"/", 1, "C:\\"},
    };
    for (const Case& c : cases) {
        PathBuf p(c.in);
        EXPECT_EQ(IsDirectory(p.b, 0), c.result) << c.in;
        EXPECT_EQ(p.str(), c.rewritten) << c.in;
        EXPECT_EQ(plat::currentDirectory(), before) << c.in;
    }
    PathBuf stay(tmp_.path());
    EXPECT_EQ(IsDirectory(stay.b, 1), 1);
    EXPECT_EQ(plat::currentDirectory(), dir);
}

TEST_F(UtilFiles, FilePieces) {
    testsupport::writeText(tmp_.file("clip.tvx"), "x");
    std::string dir = drive(tmp_.path());
    std::string dirPart = dir.substr(2) + "\\";
    struct Case {
        std::string in;
        int32_t drive, directory, name, ext;
        std::string out;
    } cases[] = {
        {tmp_.file("clip.tvx"), 1, 1, 1, 1, dir + "\\clip.tvx"},
        {tmp_.file("clip.tvx"), 0, 0, 1, 1, "clip.tvx"},
        {tmp_.file("clip.tvx"), 0, 0, 1, 0, "clip"},
        {tmp_.file("clip.tvx"), 0, 0, 0, 0x101, ".tvx"},  // flags count by their low byte
        {tmp_.file("clip.tvx"), 0x100, 1, 0, 0, dirPart},
        {tmp_.file("clip.tvx"), 1, 1, 0, 0, dir + "\\"},
        {tmp_.file("new.name.x"), 0, 0, 1, 0, "new.name"},
        {tmp_.path(), 1, 1, 1, 1, dir + "\\"},  // a directory has no name or extension
        {"  ", 1, 1, 1, 1, ""},
    };
    for (const Case& c : cases) {
        PathBuf p(c.in);
        GetFilePieces(p.b, c.drive, c.directory, c.name, c.ext);
        EXPECT_EQ(p.str(), c.out) << c.in << " " << c.drive << c.directory << c.name << c.ext;
    }
}

TEST_F(UtilFiles, TempNamesAndSizes) {
    struct Case {
        const char* dir;
        const char* prefix;
        uint32_t number;
        const char* out;
    } cases[] = {
        {"C:\\tmp\\", "KR", 0x12345678u, "C:\\tmp\\KRGFEDCB.AAA"},
        {"", "", 0, "AAAAAAAA.AAA"},
        {"x", "TOOLONGPREFIX", 1, "xTOOLONGP.AAA"},
        {"", nullptr, 0xFFFFFFFFu, "PPPPPPPP.AAA"},
    };
    for (const Case& c : cases) {
        PathBuf out("garbage");
        EXPECT_EQ(GetTempName(out.b, c.dir, c.prefix, c.number), out.b);
        EXPECT_EQ(out.str(), c.out);
    }
    testsupport::writeFile(tmp_.file("five"), {1, 2, 3, 4, 5});
    EXPECT_EQ(krofilesize(tmp_.file("five").c_str()), 5u);
    EXPECT_EQ(krofilesize(tmp_.file("none").c_str()), 0u);
}

TEST_F(UtilFiles, OverwriteAsksWheneverTheFileExists) {
    testsupport::writeText(tmp_.file("old.avi"), "x");
    testsupport::writeText(tmp_.file("locked.avi"), "x");
    ::chmod(tmp_.file("locked.avi").c_str(), 0);
    struct Case {
        std::string name;
        const char* answer;
        int32_t result;
        bool asked;
    } cases[] = {
        {tmp_.file("none.avi"), "yes", 1, false},
        {tmp_.file("old.avi"), "yes", 1, true},
        {tmp_.file("old.avi"), "no", 0, true},
        {tmp_.file("old.avi"), "ok", 0, true},  // no Yes button answer: the default, No
        {tmp_.file("locked.avi"), "no", 0, true},
    };
    for (const Case& c : cases) {
        std::vector<plat::MessageBoxRecord> boxes;
        plat::setMessageBoxCapture(&boxes);
        plat::setMessageBoxAnswers(c.answer);
        EXPECT_EQ(overwrite(c.name.c_str(), 0), c.result) << c.name;
        ASSERT_EQ(boxes.size(), c.asked ? 1u : 0u) << c.name;
        if (c.asked) {
            EXPECT_EQ(boxes[0].text, "File " + c.name + " exists, overwrite?");
            EXPECT_EQ(boxes[0].type, plat::MB_YESNO | plat::MB_ICONQUESTION | plat::MB_DEFBUTTON2);
        }
    }
}

TEST_F(UtilFiles, CheckForDupByNameAndByIdentity) {
    testsupport::writeText(tmp_.file("in.wav"), "x");
    ASSERT_EQ(::symlink(tmp_.file("in.wav").c_str(), tmp_.file("link.wav").c_str()), 0);
    ASSERT_EQ(::link(tmp_.file("in.wav").c_str(), tmp_.file("hard.wav").c_str()), 0);
    std::string in = tmp_.file("in.wav");
    struct Case {
        std::string output;
        int32_t result;
    } cases[] = {
        {tmp_.file("out.wav"), 1},
        {in, 0},
        {drive(in), 0},
        {tmp_.file("IN.WAV"), 0},  // ASCII case does not make another file here
        {tmp_.file("link.wav"), 0},
        {tmp_.file("hard.wav"), 0},
        {tmp_.path() + "/./in.wav", 0},
    };
    for (const Case& c : cases) {
        std::vector<plat::MessageBoxRecord> boxes;
        plat::setMessageBoxCapture(&boxes);
        EXPECT_EQ(CheckForDup(in.c_str(), c.output.c_str()), c.result) << c.output;
        ASSERT_EQ(boxes.size(), c.result ? 0u : 1u) << c.output;
        if (!c.result) {
            EXPECT_EQ(boxes[0].text, "Output filename must be different than the input filename.");
            EXPECT_EQ(boxes[0].type & 0xF0, plat::MB_ICONHAND);
        }
    }
}

plat::COPYDATASTRUCT gSeen;
plat::WPARAM gSeenWParam;
std::string gSeenText;

plat::LRESULT copyDataProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) {
    if (msg == plat::WM_COPYDATA) {
        gSeen = *reinterpret_cast<const plat::COPYDATASTRUCT*>(lParam);
        gSeenWParam = wParam;
        gSeenText.assign(static_cast<const char*>(gSeen.lpData), gSeen.cbData);
        return 77;
    }
    return plat::defWindowProc(hwnd, msg, wParam, lParam);
}

TEST_F(UtilFiles, CopyDataReachesTheWindow) {
    plat::WNDCLASS wc;
    wc.lpfnWndProc = copyDataProc;
    wc.lpszClassName = "UtilCopyDataTest";
    ASSERT_NE(plat::registerClass(wc), 0);
    plat::HWND w = plat::createWindowEx(0, "UtilCopyDataTest", "t", 0, 0, 0, 10, 10, 0, nullptr);
    ASSERT_NE(w, 0u);
    const char text[] = "summary";
    EXPECT_EQ(CopyData(reinterpret_cast<void*>(w), 5, 0x1234, 7, text), 77);
    EXPECT_EQ(gSeenWParam, 5u);
    EXPECT_EQ(gSeen.dwData, 0x1234u);
    EXPECT_EQ(gSeenText, "summary");
    plat::destroyWindow(w);
    plat::unregisterClass("UtilCopyDataTest");
}

}  // namespace
