// Runs the input as multimedia command strings, one a line. The bytes after the first NUL are
// the content of the sound file "fuzz.wav", so the file reader sees hostile data too; "tone.wav"
// is a well-formed file to play, seek and query. Both live in a private directory that is the
// current one while an input runs (the fuzzer's own paths may be relative), and lines that could
// name another place (separators, drives, "..") are left out, so nothing outside it is opened. The clock is virtual and the audio plays nothing, so a play
// with "wait" ends after the sound's length in virtual time.
//
// Checked: every answer fits its buffer and is terminated, nothing past the buffer is written,
// and every error the service gives has a text (scripts store "Error: " and that text).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/mci.h"

namespace {

std::string gDir;   // the private directory
std::string gHome;  // the fuzzer's current directory

void writeHostFile(const std::string& name, const void* data, size_t size) {
    std::string path = gDir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) __builtin_trap();
    if (size && std::fwrite(data, 1, size, f) != size) __builtin_trap();
    std::fclose(f);
}

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// 100 ms of an 8-bit mono ramp at 8000 frames a second.
std::vector<uint8_t> toneFile() {
    const uint32_t frames = 800;
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    put32(b, 36 + frames);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, 16);
    put16(b, 1);      // PCM
    put16(b, 1);      // mono
    put32(b, 8000);   // frames a second
    put32(b, 8000);   // bytes a second
    put16(b, 1);      // block
    put16(b, 8);      // bits
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, frames);
    for (uint32_t i = 0; i < frames; ++i) b.push_back(uint8_t(i * 7));
    return b;
}

void removeFiles() {
    for (const char* name : {"tone.wav", "fuzz.wav"}) std::remove((gDir + "/" + name).c_str());
    rmdir(gDir.c_str());
}

bool setUp() {
    plat::setVirtualClock(true);
    plat::setAudioBackendForTest(plat::AudioBackend::Null);
    char dir[] = "/tmp/fuzz_mci_XXXXXX";
    if (!mkdtemp(dir)) __builtin_trap();
    gDir = dir;
    std::atexit(removeFiles);
    std::vector<uint8_t> tone = toneFile();
    writeHostFile("tone.wav", tone.data(), tone.size());
    char home[4096];
    if (!getcwd(home, sizeof home)) __builtin_trap();
    gHome = home;
    return true;
}

bool staysInTheDirectory(const std::string& line) {
    return line.find_first_of("/\\:") == std::string::npos && line.find("..") == std::string::npos;
}

constexpr size_t kBufferSize = 512;
constexpr char kGuard = 0x5A;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = setUp();
    (void)once;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    size_t textSize = nul ? size_t(nul - data) : size;
    if (nul) writeHostFile("fuzz.wav", nul + 1, size - textSize - 1);
    else writeHostFile("fuzz.wav", nullptr, 0);

    if (!plat::setCurrentDirectory(gDir)) __builtin_trap();
    std::string text(reinterpret_cast<const char*>(data), textSize);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!staysInTheDirectory(line)) continue;
        // Odd lengths get the usual buffer, even ones a tiny one that most answers overflow.
        uint32_t returnSize = (line.size() & 1) ? uint32_t(kBufferSize) : uint32_t(1 + line.size() % 8);
        char answer[kBufferSize + 16];
        std::memset(answer, kGuard, sizeof answer);
        plat::MCIERROR e = plat::mciSendString(line.c_str(), answer, returnSize);
        if (!std::memchr(answer, 0, returnSize)) __builtin_trap();
        for (size_t i = returnSize; i < sizeof answer; ++i)
            if (answer[i] != kGuard) __builtin_trap();
        char errorText[256];
        if (e && !plat::mciGetErrorString(e, errorText, sizeof errorText)) __builtin_trap();
    }
    plat::mciCloseAll();
    if (!plat::setCurrentDirectory(gHome)) __builtin_trap();
    return 0;
}
