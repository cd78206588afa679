// DPCM audio chunks with Huffman-coded deltas.
//
// The bitstream (least significant bit first): a data-present bit, a stereo bit, a 16-bit bit,
// one byte tree per delta stream (each preceded by a bit we do not interpret), the first sample
// frame raw (right channel first; 16-bit values high byte first), then per sample frame one
// delta per channel (left first; 16-bit: the low byte's delta, then the high byte's).
#pragma once

#include <cstdint>

namespace torvex {

// Scratch memory the trees are built in: four trees of 2 KB.
constexpr uint32_t kDpcmScratchBytes = 8192;

struct DpcmOutput {
    uint8_t* ringStart;  // the output wraps from ringEnd back to ringStart
    uint8_t* ringEnd;
    uint8_t* write;      // where the first byte goes
};

enum class DpcmStatus {
    Decoded,      // the whole unpacked length (in whole sample frames) was written
    NoData,       // the data-present bit is 0: nothing written
    Malformed,    // format bits disagree, a tree is broken, or the stream ended early
};

// Decodes [in, end) into out, at most unpacked bytes and only whole sample frames; *written
// tells how many bytes went out (also for Malformed: what was decoded before the fault), and
// out.write is advanced past them.
DpcmStatus TorvexDecodeDpcm(const uint8_t* in, const uint8_t* end, uint32_t unpacked, bool stereo, bool sixteenBit,
                            uint8_t* scratch, DpcmOutput& out, uint32_t* written);

}  // namespace torvex
