#!/bin/sh
# Runs a smoke test executable in SDL on a virtual framebuffer display:
#   on_xvfb.sh [--sound] [--need TOOL]... EXE
# --sound sends SDL's sound to its file-writing driver (the file's path is in SDL_DISKAUDIOFILE
# for the test to read) and the player's sound to SDL; without it the player's sound goes
# nowhere. Without xvfb-run or a needed tool the test is skipped (77), except under CI where
# that is a failure.
sound=0
need="xvfb-run"
while [ $# -gt 1 ]; do
    case "$1" in
        --sound) sound=1; shift ;;
        --need) need="$need $2"; shift 2 ;;
        *) break ;;
    esac
done
exe="$1"
for tool in $need; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        if [ "$CI" = "true" ]; then
            echo "$tool is missing (install xvfb, xauth and x11-apps)" >&2
            exit 1
        fi
        echo "$tool not found: skipping $(basename "$exe")"
        exit 77
    fi
done
# The sanitizer build would count what the X, GL and D-Bus libraries keep until exit.
LSAN_OPTIONS="suppressions=$(dirname "$0")/xvfb_lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export LSAN_OPTIONS
TORVEX_VIDEO=sdl
# Screenshots are compared pixel for pixel with captured frames: windows open at their own size.
TORVEX_SCALE=${TORVEX_SCALE:-1}
TORVEX_AUDIO=null
export TORVEX_VIDEO TORVEX_AUDIO TORVEX_SCALE
if [ "$sound" = 1 ]; then
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    SDL_AUDIODRIVER=disk
    SDL_DISKAUDIOFILE="$tmp/sound.raw"
    TORVEX_AUDIO=sdl
    export SDL_AUDIODRIVER SDL_DISKAUDIOFILE
fi
xvfb-run -a -s "-screen 0 1024x768x24" "$exe"
