#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for the given number of seconds, from its seed corpus.
set -euo pipefail
build="$1"; seconds="${2:-30}"
found=0
for target in "$build"/fuzz/*/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name="$(basename "$target")"
  corpus="$build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds="$(dirname "$target")/seeds"
  echo "-- $name for ${seconds}s"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=0 "${args[@]}" 2>"$build/$name.log" || {
    tail -n 60 "$build/$name.log"; echo "fuzz target $name found a fault"; exit 1; }
  grep -E "^#[0-9]+.*DONE" "$build/$name.log" | tail -n 1 || true
done
[ "$found" = 1 ] || echo "no fuzz targets built"
