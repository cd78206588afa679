// Audio: a wave-output device and a streaming sound buffer, both streams of one mixer.
//
// Back-ends (TORVEX_AUDIO=null|sdl|wav:PATH; default sdl when the video back-end is SDL, else
// null):
//   sdl   one SDL audio device; every stream is resampled to the device rate (windowed-sinc,
//         32 taps, 256 interpolated phases; streams at the device rate pass unchanged) and mixed
//         in SDL's audio callback. When no device opens, null is used instead.
//   null  plays nothing but consumes sound at the platform clock's pace (44100 frames a
//         second), so blocks complete and cursors move with real or virtual time.
//   wav   as null, and the mix is written to PATH as a 16-bit stereo 44100 Hz WAV file from the
//         moment audio starts (silence included, so its time matches the clock). The header is
//         kept valid after every write.
// On the virtual clock nothing runs in the background: the mix catches up with the clock in
// every call below and in audioUpdate(), so code that waits for a block to finish calls
// audioUpdate() (or any audio function) between its sleeps. On the real clock a mixing thread
// (or SDL's callback) keeps going on its own.
//
// Done callbacks run on the mixing thread (SDL's, the headless mixer's, or the caller's during
// catch-up) after the mixer's lock is released, so they may call these functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// ---- formats --------------------------------------------------------------------------------
constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct WAVEFORMATEX {
    uint16_t wFormatTag = WAVE_FORMAT_PCM;
    uint16_t nChannels = 0;        // 1 or 2
    uint32_t nSamplesPerSec = 0;   // 1000 .. 192000
    uint32_t nAvgBytesPerSec = 0;  // informative; recomputed
    uint16_t nBlockAlign = 0;      // must be channels x bits / 8
    uint16_t wBitsPerSample = 0;   // 8 (unsigned) or 16 (signed little-endian)
    uint16_t cbSize = 0;
};

// ---- wave-output device -----------------------------------------------------------------------
using MMRESULT = uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFF;
constexpr uint32_t CALLBACK_NULL = 0x00000;
constexpr uint32_t CALLBACK_FUNCTION = 0x30000;
constexpr uint32_t WAVE_FORMAT_QUERY = 0x0001;

constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_BEGINLOOP = 0x04;  // accepted; blocks always play once
constexpr uint32_t WHDR_ENDLOOP = 0x08;
constexpr uint32_t WHDR_INQUEUE = 0x10;

constexpr uint32_t WOM_OPEN = 0x3BB;
constexpr uint32_t WOM_CLOSE = 0x3BC;
constexpr uint32_t WOM_DONE = 0x3BD;

// A block of sound. dwFlags is written by the mixer while the block is queued (WHDR_DONE set and
// WHDR_INQUEUE cleared once its last byte has been taken), hence atomic.
struct WAVEHDR {
    char* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    uintptr_t dwUser = 0;
    std::atomic<uint32_t> dwFlags{0};
    uint32_t dwLoops = 0;
    WAVEHDR* lpNext = nullptr;
    uintptr_t reserved = 0;
};

using HWAVEOUT = uintptr_t;
// msg WOM_OPEN, WOM_DONE (param1 = the WAVEHDR*) or WOM_CLOSE.
using WaveOutProc = void (*)(HWAVEOUT device, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);

uint32_t waveOutGetNumDevs();
// deviceId 0 or WAVE_MAPPER. With WAVE_FORMAT_QUERY only checks the format.
MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format, WaveOutProc callback,
                     uintptr_t instance, uint32_t flags);
// Fails with WAVERR_STILLPLAYING while blocks are queued (reset first).
MMRESULT waveOutClose(HWAVEOUT device);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t headerSize);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t headerSize);
// Queues a prepared block; its dwBufferLength bytes play after the blocks queued before it.
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t headerSize);
// Marks every queued block done at once and sets the position back to 0.
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutPause(HWAVEOUT device);
MMRESULT waveOutRestart(HWAVEOUT device);
// Low word left, high word right, 0xFFFF = full.
MMRESULT waveOutSetVolume(HWAVEOUT device, uint32_t volume);
MMRESULT waveOutGetVolume(HWAVEOUT device, uint32_t* volume);
// Bytes played since open or the last reset.
MMRESULT waveOutGetPosition(HWAVEOUT device, uint64_t* bytes);

// ---- streaming sound buffer -------------------------------------------------------------------
using HRESULT = int32_t;
using HSOUNDBUFFER = uintptr_t;
constexpr HRESULT DS_OK = 0;
constexpr HRESULT DSERR_OUTOFMEMORY = int32_t(0x8007000E);
constexpr HRESULT DSERR_INVALIDPARAM = int32_t(0x80070057);
constexpr HRESULT DSERR_INVALIDCALL = int32_t(0x88780032);
constexpr HRESULT DSERR_BADFORMAT = int32_t(0x88780064);
constexpr HRESULT DSERR_NODRIVER = int32_t(0x88780078);

constexpr uint32_t DSBCAPS_CTRLPAN = 0x00000040;
constexpr uint32_t DSBCAPS_CTRLVOLUME = 0x00000080;
constexpr uint32_t DSBCAPS_GLOBALFOCUS = 0x00008000;
constexpr uint32_t DSBCAPS_GETCURRENTPOSITION2 = 0x00010000;
constexpr uint32_t DSBPLAY_LOOPING = 0x00000001;
constexpr uint32_t DSBSTATUS_PLAYING = 0x00000001;
constexpr uint32_t DSBSTATUS_LOOPING = 0x00000004;
constexpr uint32_t DSBLOCK_FROMWRITECURSOR = 0x00000001;
constexpr uint32_t DSBLOCK_ENTIREBUFFER = 0x00000002;
constexpr int32_t DSBVOLUME_MIN = -10000;  // hundredths of a decibel
constexpr int32_t DSBVOLUME_MAX = 0;
constexpr int32_t DSBPAN_LEFT = -10000;
constexpr int32_t DSBPAN_CENTER = 0;
constexpr int32_t DSBPAN_RIGHT = 10000;
constexpr uint32_t DSBSIZE_MIN = 4;
constexpr uint32_t DSBSIZE_MAX = 0x0FFFFFFF;

// The buffer starts stopped at position 0, filled with silence; bytes are rounded down to whole
// sample frames.
HRESULT soundBufferCreate(const WAVEFORMATEX* format, uint32_t bytes, uint32_t flags, HSOUNDBUFFER* buffer);
HRESULT soundBufferRelease(HSOUNDBUFFER buffer);
// A region of the circular buffer: the part up to the end in (p1, n1), the part wrapped to
// the start in (p2, n2) (null/0 when it does not wrap).
HRESULT soundBufferLock(HSOUNDBUFFER buffer, uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
                        uint32_t* n2, uint32_t flags);
HRESULT soundBufferUnlock(HSOUNDBUFFER buffer, void* p1, uint32_t n1, void* p2, uint32_t n2);
// Plays from the current position; without DSBPLAY_LOOPING it stops at the end (position 0).
HRESULT soundBufferPlay(HSOUNDBUFFER buffer, uint32_t flags);
HRESULT soundBufferStop(HSOUNDBUFFER buffer);
// play: the byte being heard; write: the first byte that may be written (everything from play
// up to write has already been taken by the mixer). Equal while stopped.
HRESULT soundBufferGetCurrentPosition(HSOUNDBUFFER buffer, uint32_t* play, uint32_t* write);
HRESULT soundBufferSetCurrentPosition(HSOUNDBUFFER buffer, uint32_t position);
HRESULT soundBufferGetStatus(HSOUNDBUFFER buffer, uint32_t* status);
HRESULT soundBufferSetVolume(HSOUNDBUFFER buffer, int32_t hundredthsDb);  // -10000 .. 0
HRESULT soundBufferGetVolume(HSOUNDBUFFER buffer, int32_t* hundredthsDb);
HRESULT soundBufferSetPan(HSOUNDBUFFER buffer, int32_t pan);  // -10000 (left) .. 10000 (right)
HRESULT soundBufferGetPan(HSOUNDBUFFER buffer, int32_t* pan);
HRESULT soundBufferGetSize(HSOUNDBUFFER buffer, uint32_t* bytes);

// ---- back-end and control ---------------------------------------------------------------------
enum class AudioBackend { Null, Sdl, Wav };
AudioBackend audioBackend();
const char* audioBackendName();
// Output frames per second of the mix (the SDL device's rate, else 44100).
uint32_t audioDeviceRate();
// Brings the mix up to the clock now (headless back-ends); harmless elsewhere.
void audioUpdate();
// Output frames mixed since audio started.
uint64_t audioFramesMixed();
// Closes every device and buffer, finishes the WAV file and stops the back-end; the next call
// starts it again (reading TORVEX_AUDIO anew unless a test back-end was set).
void audioShutdown();
// Chooses the back-end for the next start (after audioShutdown); wavPath for Wav.
void setAudioBackendForTest(AudioBackend backend, const std::string& wavPath = std::string());

// The mixer's resampler on its own (tests and tools): converts interleaved frames of 1 or 2
// channels from one rate to another; the output holds frames x toRate / fromRate frames
// (rounded down), delayed by nothing (the filter's delay is taken out).
std::vector<float> resampleFrames(const float* in, size_t frames, int channels, uint32_t fromRate, uint32_t toRate);

}  // namespace plat
