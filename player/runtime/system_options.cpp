// SYSTEMUSEDIRECTSOUND and SYSTEMUSEMMX: they reach into the codec, so they live with the
// runtime and keep the script engine free of it.
#include "player/runtime/system_options.h"

#include "codec/audio/sound_backend.h"
#include "codec/blit/blitter.h"
#include "player/engine/io_commands.h"
#include "player/engine/script.h"

namespace runtime {

namespace {

void cmdSystemUseDirectSound() {
    torvex::TorvexSelectDirectSound(nullptr);
    engine::gSystemChoices.useDirectSound = true;
}

void cmdSystemUseMmx() {
    char var[engine::kLineSize];
    engine::fetchVariableName(var);
    int32_t mode = engine::fetchNumber();
    engine::SetVariable(var, TorvexUseMmx(mode) ? "1" : "0");
}

}  // namespace

void registerSystemOptions() {
    engine::registerCommand(engine::CommandOwner::System, "SYSTEMUSEDIRECTSOUND", cmdSystemUseDirectSound);
    engine::registerCommand(engine::CommandOwner::System, "SYSTEMUSEMMX", cmdSystemUseMmx);
}

}  // namespace runtime
