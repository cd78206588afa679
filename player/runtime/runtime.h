// The presentation runtime's start-up: its command handlers and the services the script engine
// calls (message pump, closing the window, text reset, auto-pause).
#pragma once

namespace runtime {

// Registers the handlers of the commands the engine's table names as the runtime's, and installs
// every hook: the engine's (RuntimeHooks) and the window's calls into the pointer code. Called
// once before the program body starts.
void installRuntime();

}  // namespace runtime
