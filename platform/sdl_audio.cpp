// The SDL2 audio device: one stereo float stream fed by the mixer's callback.
#include "platform/sdl_audio.h"

#include <SDL.h>

namespace plat::sdla {
namespace {

struct SdlAudioState {
    SDL_AudioDeviceID device = 0;
    MixFn mix = nullptr;
    bool subsystem = false;
};
SdlAudioState sa;

void SDLCALL callback(void* user, Uint8* stream, int len) {
    int frames = len / int(2 * sizeof(float));
    sa.mix(reinterpret_cast<float*>(stream), frames);
}

}  // namespace

bool open(MixFn mix, uint32_t* rate) {
    if (sa.device) return false;
    if (!sa.subsystem) {
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
        sa.subsystem = true;
    }
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = callback;
    sa.mix = mix;
    sa.device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (!sa.device) return false;
    *rate = uint32_t(have.freq);
    SDL_PauseAudioDevice(sa.device, 0);
    return true;
}

void close() {
    if (sa.device) {
        SDL_CloseAudioDevice(sa.device);
        sa.device = 0;
    }
}

}  // namespace plat::sdla
