// torvexscript: runs a presentation script.
#include "player/engine/program.h"

int main(int argc, char** argv) { return engine::ProgramMain(argc, argv); }
