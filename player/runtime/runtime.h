// The presentation runtime's start-up: its command handlers and the services the script engine
// calls (message pump, closing the window, text reset, auto-pause).
#pragma once

namespace runtime {

// Registers the runtime's commands in the engine's table and fills in the engine's hooks.
// Called once before the program body starts.
void installRuntime();

}  // namespace runtime
