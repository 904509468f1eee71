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
manager=
trap '[[ -n $manager ]] && kill $manager 2>/dev/null; rm -rf "$work"' EXIT
source "$(dirname "$0")/wait_for.sh"
# The display may take clients a little after xvfb-run hands over; a window
# manager that found it not yet there is started again.
display_up() { xprop -root >/dev/null 2>&1; }
wm_ready() {
    if [[ -z $manager ]] || ! kill -0 "$manager" 2>/dev/null; then
        openbox >>"$work/wm.log" 2>&1 &
        manager=$!
    fi
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}
wait_for display_up || { echo "FAIL: the virtual display did not start" >&2; exit 1; }
wait_for wm_ready || { echo "FAIL: the window manager did not start" >&2; cat "$work/wm.log" >&2; exit 1; }
"$program" --port=sim >"$work/out" 2>"$work/err" &
pid=$!

fail() {
    echo "FAIL: $*" >&2
    echo "--- program output:" >&2
    cat "$work/out" "$work/err" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
}
frames_at_least() { [[ $(grep -c '^frame ' "$work/out") -ge $1 ]]; }
wait_for_frames() { wait_for frames_at_least "$1" || fail "expected $1 frames"; }

# xdotool's own --sync can miss a window that maps while the machine is busy: poll instead.
shown() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 >"$work/found" && [[ -s "$work/found" ]]; }
wait_for shown '^Zovrel Rev B$' || fail "the window did not appear"
window=$(cat "$work/found")
wait_for shown 'port monitor$' || fail "the monitor did not appear"
monitor=$(cat "$work/found")

# The panel is the active window with vsbBit(1) focused: Down sets bit 1, Run sends 2.
panel_active() { [[ $(xdotool getactivewindow 2>/dev/null) == "$window" ]]; }
wait_for panel_active || fail "the panel is not the active window"
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
mkdir -p "$(dirname "$screenshot")"
import -window "$window" "$screenshot"
xdotool mousemove --window "$window" 505 216 click 1 # Exit

status=0
timeout 60 tail --pid="$pid" -f /dev/null || fail "the program did not end after Exit"
wait "$pid" || status=$?
[[ $status -eq 0 ]] || fail "exit status $status after Exit"
expected=$'frame 1: code 2\nframe 2: code 127\nframe 3: code 127\nframe 4: code 127'
[[ "$(cat "$work/out")" == "$expected" ]] || fail "unexpected frames"
echo "PASS: keys reach the panel at once, it is centred beside its monitor, exit status 0, screenshot in $screenshot"
