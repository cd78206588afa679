// Prints how many script commands per second the interpreter runs on a plain loop: each of the
// 1,000,000 iterations runs three COMPUTEs, an IF and the GOTO it executes, over five live
// variables. Usage: bench_engine [iterations] [repeats]
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "platform/dialog.h"
#include "player/engine/program.h"
#include "player/engine/script.h"

namespace {

std::string gScriptText;

bool source(const char*, std::string& text) {
    text = gScriptText;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "Usage: bench_engine [ITERATIONS] [REPEATS]\n"
        "Runs a script loop of ITERATIONS (default 1000000) passes of three COMPUTEs, an IF and a\n"
        "GOTO REPEATS times (default 3) and prints the commands per second of each run and the best.\n";
    bench::checkArgs(argc, argv, 2, usage);
    long iterations = argc > 1 ? long(bench::positiveWhole(argv[1], "ITERATIONS", 2000000000, usage)) : 1000000;
    int repeats = argc > 2 ? int(bench::positiveWhole(argv[2], "REPEATS", 1000, usage)) : 3;
    gScriptText =
        "VARSET A 0\nVARSET B 7\nVARSET C 11\nVARSET D 13\nVARSET E 0\n"
        ":LOOP\n"
        "COMPUTE A = A + 1\n"
        "COMPUTE E = E + B\n"
        "COMPUTE C = C ^ D\n"
        "IF A < " + std::to_string(iterations) + " GOTO LOOP\n";
    engine::gScript.source = source;
    std::vector<plat::MessageBoxRecord> boxes;
    plat::setMessageBoxCapture(&boxes);
    double best = 0;
    for (int r = 0; r < repeats; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        std::clock_t c0 = std::clock();
        int status = engine::RunProgram("loop");
        std::clock_t c1 = std::clock();
        auto t1 = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(t1 - t0).count();
        double cpuSeconds = double(c1 - c0) / CLOCKS_PER_SEC;
        char a[engine::kLineSize];
        engine::GetVariable(a, "A");
        if (status != 0 || std::atol(a) != iterations) {
            std::fprintf(stderr, "the loop did not run as expected (status %d, A=%s)\n", status, a);
            return 1;
        }
        double perSecond = double(engine::gScript.steps) / seconds;
        double perCpuSecond = cpuSeconds > 0 ? double(engine::gScript.steps) / cpuSeconds : 0;
        std::printf("run %d: %llu commands in %.3f s (%.3f s of processor time): %.2f million commands per "
                    "second (%.2f million per processor second)\n",
                    r + 1, static_cast<unsigned long long>(engine::gScript.steps), seconds, cpuSeconds,
                    perSecond / 1e6, perCpuSecond / 1e6);
        if (perSecond > best) best = perSecond;
    }
    plat::setMessageBoxCapture(nullptr);
    std::printf("best: %.2f million commands per second (target 5)\n", best / 1e6);
    return 0;
}
