#!/usr/bin/env bash
# Starts the built program in a real window on a virtual X screen and works it
# as a person would: a click on "Full Scale", Alt+U, a click on "Exit". Checks
# the frames the simulated board reported and the exit status, and saves a
# screenshot of the window.
#   real_window.sh PROGRAM SCREENSHOT.png
set -euo pipefail

if [[ "${1:-}" != --inside ]]; then
    if ! command -v xvfb-run >/dev/null || ! command -v xdotool >/dev/null ||
        ! command -v import >/dev/null; then
        if [[ "${CI:-}" == true ]]; then
            echo "xvfb-run, xdotool and import (imagemagick) are needed" >&2
            exit 1
        fi
        echo "skipped: xvfb-run, xdotool or import is missing (scripts/install-deps test)"
        exit 77
    fi
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside "$@"
fi
program=$2
screenshot=$3
unset QT_QPA_PLATFORM

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$program" --port=sim >"$work/out" 2>"$work/err" &
pid=$!

fail() {
    echo "FAIL: $*" >&2
    echo "--- program output:" >&2
    cat "$work/out" "$work/err" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
}
wait_for_frames() {
    for _ in $(seq 100); do
        [[ $(grep -c '^frame ' "$work/out") -ge $1 ]] && return 0
        sleep 0.05
    done
    fail "expected $1 frames"
}

window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Zovrel Rev B$' | head -n 1) ||
    fail "the window did not appear"
sleep 0.3

# Window coordinates of the buttons' centres, in pixels (15 twips each).
xdotool mousemove --window "$window" 108 216 click 1 # Full Scale
wait_for_frames 2
xdotool windowfocus --sync "$window"
xdotool key --clearmodifiers alt+u
wait_for_frames 3
sleep 0.2
mkdir -p "$(dirname "$screenshot")"
import -window "$window" "$screenshot"
xdotool mousemove --window "$window" 505 216 click 1 # Exit

status=0
timeout 10 tail --pid="$pid" -f /dev/null || fail "the program did not end after Exit"
wait "$pid" || status=$?
[[ $status -eq 0 ]] || fail "exit status $status after Exit"
expected=$'frame 1: code 127\nframe 2: code 127\nframe 3: code 127'
[[ "$(cat "$work/out")" == "$expected" ]] || fail "unexpected frames"
echo "PASS: three frames of code 127, exit status 0, screenshot in $screenshot"
