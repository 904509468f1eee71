#!/usr/bin/env bash
# Starts the built program in a real window on a virtual X screen, under a
# window manager, and works it as a person would: with no click at all, Down
# and Alt+U (the panel is active and vsbBit(1) has the focus, though the
# monitor opened too); then a click on "Full Scale", Alt+U, a click on "Exit".
# Checks the frames the simulated board reported, that the panel is centred
# and the monitor does not cover it, the exit status, and saves a screenshot.
#   real_window.sh PROGRAM SCREENSHOT.png
set -euo pipefail

if [[ "${1:-}" != --inside ]]; then
    if ! command -v xvfb-run >/dev/null || ! command -v xdotool >/dev/null ||
        ! command -v import >/dev/null || ! command -v openbox >/dev/null; then
        if [[ "${CI:-}" == true ]]; then
            echo "xvfb-run, xdotool, openbox and import (imagemagick) are needed" >&2
            exit 1
        fi
        echo "skipped: xvfb-run, xdotool, openbox or import is missing (scripts/install-deps test)"
        exit 77
    fi
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside "$@"
fi
program=$2
screenshot=$3
unset QT_QPA_PLATFORM

work=$(mktemp -d)
openbox >/dev/null 2>&1 &
manager=$!
trap 'kill $manager 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 200); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.05
done
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
monitor=$(timeout 20 xdotool search --sync --onlyvisible --name 'port monitor$' | head -n 1) ||
    fail "the monitor did not appear"
sleep 0.5

# The panel is the active window with vsbBit(1) focused: Down sets bit 1, Run sends 2.
for _ in $(seq 40); do
    [[ $(xdotool getactivewindow 2>/dev/null) == "$window" ]] && break
    sleep 0.05
done
[[ $(xdotool getactivewindow 2>/dev/null) == "$window" ]] || fail "the panel is not the active window"
xdotool key --clearmodifiers Down
xdotool key --clearmodifiers alt+u
wait_for_frames 1

# Centred on the 1280x1024 screen, and the monitor's area apart from the panel's.
geometry() { xdotool getwindowgeometry --shell "$1" | tr '\n' ' '; }
eval "$(geometry "$window" | sed 's/\([A-Z]*\)=/P\1=/g')"
eval "$(geometry "$monitor" | sed 's/\([A-Z]*\)=/M\1=/g')"
(( ${PX#-} + PWIDTH / 2 - 640 <= 2 && 640 - PX - PWIDTH / 2 <= 2 )) || fail "the panel is not centred (x $PX)"
(( MX >= PX + PWIDTH || MX + MWIDTH <= PX || MY >= PY + PHEIGHT || MY + MHEIGHT <= PY )) ||
    fail "the monitor covers the panel"
(( MHEIGHT == PHEIGHT )) || fail "the monitor is $MHEIGHT px high, the panel $PHEIGHT"

# Window coordinates of the buttons' centres, in pixels (15 twips each).
xdotool mousemove --window "$window" 108 216 click 1 # Full Scale
wait_for_frames 3
xdotool key --clearmodifiers alt+u
wait_for_frames 4
sleep 0.2
mkdir -p "$(dirname "$screenshot")"
import -window "$window" "$screenshot"
xdotool mousemove --window "$window" 505 216 click 1 # Exit

status=0
timeout 10 tail --pid="$pid" -f /dev/null || fail "the program did not end after Exit"
wait "$pid" || status=$?
[[ $status -eq 0 ]] || fail "exit status $status after Exit"
expected=$'frame 1: code 2\nframe 2: code 127\nframe 3: code 127\nframe 4: code 127'
[[ "$(cat "$work/out")" == "$expected" ]] || fail "unexpected frames"
echo "PASS: keys reach the panel at once, it is centred beside its monitor, exit status 0, screenshot in $screenshot"
