#!/bin/sh
# Runs the presentation window smoke test on a virtual framebuffer display. Without xvfb-run or
# xwd the test is skipped (77), except under CI where that is a failure.
exe="$1"
for tool in xvfb-run xwd; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        if [ "$CI" = "true" ]; then
            echo "$tool is missing (install xvfb, xauth and x11-apps)" >&2
            exit 1
        fi
        echo "$tool not found: skipping the window smoke test"
        exit 77
    fi
done
# The sanitizer build would count what the X, GL and D-Bus libraries keep until exit.
LSAN_OPTIONS="suppressions=$(dirname "$0")/../platform_window/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export LSAN_OPTIONS
TORVEX_VIDEO=sdl TORVEX_AUDIO=null xvfb-run -a -s "-screen 0 1024x768x24" "$exe"
