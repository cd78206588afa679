// Script files held in memory for the interpreter to read, and the variable lookup the tests
// check results with: shared by the engine's and the runtime's harnesses.
#pragma once

#include <map>
#include <string>

#include "player/engine/script.h"

namespace scripttest {

// The script files the interpreter reads, by name.
inline std::map<std::string, std::string> gScriptFiles;

// The interpreter's source while a test runs (engine::gScript.source).
inline bool memorySource(const char* name, std::string& text) {
    auto it = gScriptFiles.find(name);
    if (it == gScriptFiles.end()) return false;
    text = it->second;
    return true;
}

inline std::string var(const char* name) {
    char out[engine::kLineSize];
    engine::GetVariable(out, name);
    return out;
}

}  // namespace scripttest
