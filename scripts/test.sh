#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests the normal (release) build and
# the sanitizer build, then runs each fuzz target for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs="$(nproc)"
source scripts/compiler_cache.sh

echo "== release build"
cmake -G Ninja -S . -B build/release -DCMAKE_BUILD_TYPE=Release "${cache_flags[@]}" >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== sanitizer build (address, undefined behaviour)"
cmake -G Ninja -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 -DCMAKE_C_FLAGS=-O1 \
  -DTORVEX_SANITIZE=ON -DTORVEX_BENCH=OFF "${cache_flags[@]}" >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

if ls fuzz/*/CMakeLists.txt >/dev/null 2>&1; then
  echo "== fuzz targets"
  CC=clang CXX=clang++ cmake -G Ninja -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
    -DTORVEX_FUZZ=ON -DTORVEX_TESTS=OFF -DTORVEX_BENCH=OFF "${cache_flags[@]}" >/dev/null
  cmake --build build/fuzz -j "$jobs"
  bash scripts/fuzz.sh build/fuzz "${TORVEX_FUZZ_SECONDS:-20}"
fi
echo "== all tests passed"
