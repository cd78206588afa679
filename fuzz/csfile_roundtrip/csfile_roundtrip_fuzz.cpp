// Sound conversion over arbitrary PCM. Four leading bytes choose the sound and the writer:
//   0: format (bit 0 stereo, bit 1 16-bit, bits 2-4 the rate from a table),
//   1: level (a table of lossless, delta and transform levels, else the byte itself),
//   2: lead-in and block length, 3: block size asked of each put, and restart and loop.
// The rest is the PCM, stored as a WAV file and written through CSFile. Every block is decoded
// back by the codec's own decoders; at level 0 the sound must come back exactly.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/audio/dpcm.h"
#include "codec/transform/audio_decoder.h"
#include "kroutil/csfile.h"

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
uint32_t load32(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16) | uint32_t(p[3]) << 24; }

bool writeFile(const std::string& name, const std::vector<uint8_t>& b) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return false;
    bool ok = b.empty() || std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}
std::vector<uint8_t> readFile(const std::string& name) {
    std::vector<uint8_t> b;
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return b;
    uint8_t buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static const uint32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 1000};
    static const int32_t levels[] = {0, 0, 0, 50, 104, 150, 204, 250};
    const bool stereo = data[0] & 1, sixteen = data[0] & 2;
    const uint32_t rate = rates[(data[0] >> 2) & 7];
    const int32_t level = (data[1] & 0x80) ? levels[data[1] & 7] : data[1];
    const uint32_t leadIn = (data[2] & 15) * 7, blockMs = (data[2] >> 4) * 60;
    const int32_t restart = data[3] & 1, loop = (data[3] >> 1) & 1;
    const uint32_t frameBytes = (stereo ? 2 : 1) * (sixteen ? 2 : 1);
    const uint32_t piece = 1 + (data[3] >> 2) * 211;
    std::vector<uint8_t> pcm(data + 4, data + 4 + (size - 4) / frameBytes * frameBytes);

    const std::string base = "/tmp/fuzz_csfile_" + std::to_string(getpid());
    std::vector<uint8_t> wav = {'R', 'I', 'F', 'F'};
    put32(wav, uint32_t(36 + pcm.size()));
    wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(wav, 16);
    put16(wav, 1);
    put16(wav, stereo ? 2 : 1);
    put32(wav, rate);
    put32(wav, rate * frameBytes);
    put16(wav, frameBytes);
    put16(wav, sixteen ? 16 : 8);
    wav.insert(wav.end(), {'d', 'a', 't', 'a'});
    put32(wav, uint32_t(pcm.size()));
    wav.insert(wav.end(), pcm.begin(), pcm.end());
    if (!writeFile(base + ".wav", wav)) return 0;

    CSFile* c = CSFileOpen((base + ".wav").c_str(), level, restart, loop, leadIn, blockMs, 0, 0, 0, 0, 0, 0, 0, 0,
                           nullptr);
    if (!c) __builtin_trap();  // a valid WAV file always opens
    KroFile* out = KroFileCreate(0, (base + ".out").c_str());
    if (!out) {
        CSFileClose(c);
        return 0;
    }
    CSFileSetOutput(c, out);
    // Looping sound never ends: a bounded number of blocks.
    std::vector<uint32_t> counts;
    for (int i = 0; i < 24; ++i) {
        uint32_t n = CSFilePut(c, piece);
        if (n == 0) break;
        counts.push_back(c->lastDelivered);
    }
    const bool transform = c->transformEncoder != nullptr, raw = c->raw;
    CSFileClose(c);
    KroFileClose(out);
    std::vector<uint8_t> file = readFile(base + ".out");

    torvex::TorvexAudioDecoder* dec =
        transform ? torvex::TorvexAudioDecoderCreate(rate, stereo ? 2 : 1, level < 200 ? 1 : 0) : nullptr;
    if (transform && !dec) __builtin_trap();
    std::vector<uint8_t> decoded;
    size_t at = 0;
    for (uint32_t count : counts) {
        if (file.size() - at < 8) __builtin_trap();
        uint32_t blockSize = load32(&file[at]);
        if (blockSize % 4 || blockSize < 8 || blockSize > file.size() - at) __builtin_trap();
        if (load32(&file[at + 4]) != count || raw) __builtin_trap();
        // The block in a buffer of its own size, so that a read past it is caught.
        std::vector<uint8_t> body(file.begin() + long(at + 8), file.begin() + long(at + blockSize));
        if (transform) {
            const uint8_t* p = body.data();
            const uint8_t* e = p + body.size();
            uint32_t produced = 0;
            while (produced < count) {
                const int16_t* samples;
                uint32_t bytes;
                const uint8_t* next;
                if (!torvex::TorvexAudioDecodeBlock(dec, p, e, &samples, &bytes, &next)) __builtin_trap();
                produced += bytes;
                p = next;
            }
            if (p != e) __builtin_trap();  // the count covers every coded block
        } else {
            std::vector<uint8_t> got(count), scratch(torvex::kDpcmScratchBytes);
            torvex::DpcmOutput o{got.data(), got.data() + got.size(), got.data()};
            uint32_t written = 0;
            auto st = torvex::TorvexDecodeDpcm(body.data(), body.data() + body.size(), count, stereo, sixteen,
                                               scratch.data(), o, &written);
            if (st != torvex::DpcmStatus::Decoded || written != count) __builtin_trap();
            decoded.insert(decoded.end(), got.begin(), got.end());
        }
        at += blockSize;
    }
    if (at != file.size()) __builtin_trap();
    torvex::TorvexAudioDecoderFree(dec);
    // Lossless: the sound after its lead-in, as long as neither restart nor loop repeated it.
    if (level == 0 && !restart && !loop && !transform) {
        const size_t lead = size_t(uint64_t(frameBytes) * rate * leadIn / 1000 + frameBytes - 1) / frameBytes * frameBytes;
        for (size_t i = 0; i < decoded.size(); ++i) {
            uint8_t want = i < lead ? (sixteen ? 0 : 0x80) : i - lead < pcm.size() ? pcm[i - lead] : (sixteen ? 0 : 0x80);
            if (decoded[i] != want) __builtin_trap();
        }
    }
    return 0;
}
