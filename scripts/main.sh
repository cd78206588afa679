#!/usr/bin/env bash
# The main job: installs what is missing, builds everything in release mode, says what was built
# and where, then runs the bundled demo. With a display (DISPLAY or WAYLAND_DISPLAY set) the
# demo plays in a window with sound; without one it runs headless on virtual time with its
# scripted input and leaves its frames and its sound as files, and says where they are.
# TORVEX_VIDEO=headless forces the headless run on a desktop too.
set -euo pipefail
cd "$(dirname "$0")/.."
top="$(pwd)"
bash scripts/setup.sh
source scripts/compiler_cache.sh
cmake -G Ninja -S . -B build/release -DCMAKE_BUILD_TYPE=Release "${cache_flags[@]}" >/dev/null
cmake --build build/release -j "$(nproc)"
echo
echo "Built in $top/build/release:"
for f in build/release/kroutil/libkroutil.so build/release/tools/*/tvx build/release/tools/*/kro build/release/player/torvexscript; do
  [ -e "$f" ] && echo "  $f"
done
echo "  public headers: $top/include/kroutil/"

player="$top/build/release/player/torvexscript"
demo="$top/build/release/examples/demo"
if [ ! -x "$player" ] || [ ! -f "$demo/autoexec.ss" ]; then
  echo "The demo was not built (is a folder left out with TORVEX_SKIP?)." >&2
  exit 1
fi

video="${TORVEX_VIDEO:-}"
if [ -z "$video" ]; then
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then video=sdl; else video=headless; fi
fi

echo
if [ "$video" = sdl ]; then
  echo "Running the demo in a window with sound ($demo/autoexec.ss)."
  echo "Click the menu entries or press 1, 2, 3; Escape leaves. Left alone, it goes through every"
  echo "part by itself. Close the program's closing box to finish."
  status=0
  (cd "$demo" && env -u TORVEX_CLOCK -u TORVEX_CAPTURE -u TORVEX_INPUT -u TORVEX_AUDIO TORVEX_VIDEO=sdl "$player") || status=$?
  if [ "$status" -ne 0 ]; then
    echo "The demo ended with status $status." >&2
    exit "$status"
  fi
  echo "The demo has ended."
else
  out="$top/build/release/demo-output"
  rm -rf "$out"
  mkdir -p "$out"
  if [ -n "${TORVEX_VIDEO:-}" ]; then why="TORVEX_VIDEO=$TORVEX_VIDEO"; else why="no display"; fi
  echo "Running the demo headless ($why) on virtual time with the input of examples/demo/demo.input."
  status=0
  start=$(date +%s.%N)
  (cd "$demo" && env TORVEX_VIDEO=headless TORVEX_CLOCK=virtual TORVEX_INPUT="$top/examples/demo/demo.input" \
     TORVEX_ANSWERS=ok TORVEX_AUDIO="wav:$out/demo.wav" TORVEX_CAPTURE="$out/capture" \
     "$player" >"$out/output.txt" 2>"$out/messages.txt") || status=$?
  end=$(date +%s.%N)
  if [ "$status" -ne 0 ]; then
    echo "The demo ended with status $status; its messages:" >&2
    cat "$out/messages.txt" >&2
    exit "$status"
  fi
  frames=$(find "$out/capture" -name 'frame_*.bmp' | wc -l)
  shown=$(grep -o '^t=[0-9]*' "$out/capture/events.log" | tail -1 | cut -c3-)
  echo "The demo ran to its end: ${shown:-?} ms of presentation in $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b-a}') s."
  echo "  frames shown:  $out/capture/frame_*.bmp ($frames indexed BMP files)"
  echo "  event log:     $out/capture/events.log"
  echo "  sound played:  $out/demo.wav"
  echo "  message boxes: $out/messages.txt"
fi
echo
echo "Any presentation script runs the same way: $player path/to/show.ss"
