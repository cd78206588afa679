#!/usr/bin/env bash
# The main job: installs what is missing, builds everything in release mode and tells what was
# built and where. (Once the player plays the bundled demo, this runs it.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -G Ninja -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
echo
echo "Built in $(pwd)/build/release:"
for f in build/release/kroutil/libkroutil.so build/release/tools/*/tvx build/release/tools/*/kro build/release/player/engine/torvexscript; do
  [ -e "$f" ] && echo "  $f"
done
echo "  public headers: $(pwd)/include/kroutil/"
