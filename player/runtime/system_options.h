// The system options that switch the codec's sound back-end and its blitters.
#pragma once

namespace runtime {

// SYSTEMUSEDIRECTSOUND and SYSTEMUSEMMX.
void registerSystemOptions();

}  // namespace runtime
