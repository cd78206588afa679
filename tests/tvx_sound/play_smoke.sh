#!/bin/sh
# Runs tvx play in an SDL window on a virtual framebuffer display, with SDL's file-writing sound
# driver. Without xvfb-run the test is skipped (77), except under CI where that is a failure.
exe="$1"
if ! command -v xvfb-run >/dev/null 2>&1; then
    if [ "$CI" = "true" ]; then
        echo "xvfb-run is missing (install xvfb and xauth)" >&2
        exit 1
    fi
    echo "xvfb-run not found: skipping the tvx play smoke test"
    exit 77
fi
# The sanitizer build would count what the X, GL and D-Bus libraries keep until exit.
LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export LSAN_OPTIONS
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
TVX_SMOKE_SOUND="$tmp/sound.raw" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/sound.raw" \
    TORVEX_VIDEO=sdl TORVEX_AUDIO=sdl xvfb-run -a -s "-screen 0 1024x768x24" "$exe"
