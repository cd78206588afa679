// The multimedia command-string service: text commands that open, play and query sound devices.
//
// Devices: sound files (WAV, PCM 8 or 16 bits, mono or stereo), opened by file name (an
// extension ".wav", "type waveaudio" or the form "waveaudio!NAME") and played through the
// wave-output device of platform/audio.h. Commands (words separated by blanks, double quotes
// group words; letter case does not matter):
//   open NAME [type waveaudio] [alias A] [shareable] [wait]
//   play D [from MS] [to MS] [wait]        stop D    pause D    resume D
//   seek D to MS|start|end                 close D|all
//   status D mode|position|length|ready|time format
//   set D time format milliseconds|ms
//   sound [NAME] [wait]                    (a system sound: the event names of the desktop)
// "notify" is accepted and ignored (there is no callback window). Times are milliseconds.
// "wait" blocks until the play ends; on the virtual clock the mix catches up as time advances.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

using MCIERROR = uint32_t;
constexpr MCIERROR MCIERR_BASE = 256;
constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
constexpr MCIERROR MCIERR_UNRECOGNIZED_KEYWORD = MCIERR_BASE + 3;
constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
constexpr MCIERROR MCIERR_HARDWARE = MCIERR_BASE + 6;
constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
constexpr MCIERROR MCIERR_OUT_OF_MEMORY = MCIERR_BASE + 8;
constexpr MCIERROR MCIERR_MISSING_COMMAND_STRING = MCIERR_BASE + 11;
constexpr MCIERROR MCIERR_PARAM_OVERFLOW = MCIERR_BASE + 12;
constexpr MCIERROR MCIERR_BAD_INTEGER = MCIERR_BASE + 14;
constexpr MCIERROR MCIERR_MISSING_PARAMETER = MCIERR_BASE + 17;
constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
constexpr MCIERROR MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
constexpr MCIERROR MCIERR_OUTOFRANGE = MCIERR_BASE + 26;
constexpr MCIERROR MCIERR_DEVICE_TYPE_REQUIRED = MCIERR_BASE + 31;
constexpr MCIERROR MCIERR_DUPLICATE_ALIAS = MCIERR_BASE + 33;
constexpr MCIERROR MCIERR_BAD_CONSTANT = MCIERR_BASE + 34;
constexpr MCIERROR MCIERR_MISSING_DEVICE_NAME = MCIERR_BASE + 36;
constexpr MCIERROR MCIERR_NO_CLOSING_QUOTE = MCIERR_BASE + 38;
constexpr MCIERROR MCIERR_INVALID_FILE = MCIERR_BASE + 40;
constexpr MCIERROR MCIERR_WAVE_OUTPUTSUNSUITABLE = MCIERR_BASE + 66;

// Runs one command. The answer text (NUL-terminated, cut to returnSize - 1 bytes) goes to
// returnText when it is not null. 0 on success, else an MCIERR_ code.
MCIERROR mciSendString(const char* command, char* returnText, uint32_t returnSize);
// The text of an error code; false (and an empty text) for codes without one.
bool mciGetErrorString(MCIERROR error, char* text, uint32_t size);
// Closes every device (tests, shutdown).
void mciCloseAll();
// Called about every millisecond while a command waits for a play to end, so that the caller's
// window keeps answering (null: nothing).
using MciIdleCallback = void (*)();
void mciSetIdleCallback(MciIdleCallback callback);

}  // namespace plat
