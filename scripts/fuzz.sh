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
  # A report that did not stop the run (a sanitizer built to recover, a leak noted at exit) still
  # fails the stage.
  if grep -nE "runtime error:|ERROR: [A-Za-z]+Sanitizer|WARNING: [A-Za-z]+Sanitizer|SUMMARY: [A-Za-z]+Sanitizer" "$build/$name.log" >"$build/$name.reports"; then
    head -n 20 "$build/$name.reports"; tail -n 40 "$build/$name.log"
    echo "fuzz target $name: sanitizer report in $build/$name.log"; exit 1
  fi
  grep -E "^#[0-9]+.*DONE" "$build/$name.log" | tail -n 1 || true
done
[ "$found" = 1 ] || echo "no fuzz targets built"
