// torvexscript: runs a presentation script.
#include "player/engine/program.h"
#include "player/runtime/runtime.h"

int main(int argc, char** argv) {
    runtime::installRuntime();
    return engine::ProgramMain(argc, argv);
}
