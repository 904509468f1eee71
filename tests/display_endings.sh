#!/usr/bin/env bash
# How the panel ends when its display is missing, goes away, or its window is
# destroyed from outside: one line, a status, and a trace that is whole or
# never touched.
#   display_endings.sh PANEL SCRIPTED_PANEL
set -euo pipefail
panel=$1
scripted=$2
if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
    [[ "${CI:-}" == true ]] && { echo "Xvfb and xdotool are needed" >&2; exit 1; }
    echo "skipped: Xvfb or xdotool is missing (scripts/install-deps test)"
    exit 77
fi
work=$(mktemp -d)
server=
trap '[[ -n $server ]] && kill $server 2>/dev/null; rm -rf "$work"' EXIT
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
fail() { echo "FAIL: $*"; cat "$work"/err 2>/dev/null; exit 1; }
source "$(dirname "$0")/wait_for.sh"

# No display, or one that cannot be reached: one line, status 1, no trace.
echo keep >"$work/old.vcd"
for display in "" ":55"; do
    status=0
    DISPLAY=$display "$panel" --port=sim --trace="$work/old.vcd" 2>"$work/err" || status=$?
    [[ $status -eq 1 ]] || fail "status $status without a display ('$display')"
    [[ $(wc -l <"$work/err") -eq 1 ]] && grep -q "use zovrel-send" "$work/err" ||
        fail "not one line pointing to zovrel-send ('$display')"
    [[ $(cat "$work/old.vcd") == keep ]] || fail "an existing trace was touched ('$display')"
    DISPLAY=$display "$panel" --trace="$work/new.vcd" 2>/dev/null || true
    [[ ! -e "$work/new.vcd" ]] || fail "a trace was made without a window ('$display')"
done

start_server() {
    rm -f "$work/display"
    Xvfb -displayfd 1 -screen 0 1280x1024x24 >"$work/display" 2>/dev/null &
    server=$!
    wait_for grep -qx '[0-9][0-9]*' "$work/display" || fail "Xvfb did not start"
    export DISPLAY=:$(head -n 1 "$work/display")
}

# The display goes away while the panel runs: status 1, a message, the trace whole.
start_server
ZOVREL_SCRIPT=full "$scripted" --port=sim --trace="$work/lost.vcd" >"$work/out" 2>"$work/err" &
pid=$!
two_frames() { [[ $(grep -c '^frame' "$work/out") -ge 2 ]]; }
wait_for two_frames || fail "the panel sent no frames"
kill "$server"
server=
status=0
wait "$pid" || status=$?
[[ $status -eq 1 ]] || fail "status $status after the display went away"
grep -q "^zovrel-panel: the display was lost" "$work/err" || fail "no message for the lost display"
[[ $(grep -c '^#' "$work/lost.vcd") -eq 33 ]] || fail "the trace is not whole after the display went away"

# The window is destroyed without being closed: the program ends as after a close.
start_server
"$panel" --port=sim >/dev/null 2>"$work/err" &
pid=$!
shown() { xdotool search --onlyvisible --name '^Zovrel Rev B$' 2>/dev/null | head -n 1 >"$work/found" && [[ -s "$work/found" ]]; }
wait_for shown || fail "the window did not appear"
window=$(cat "$work/found")
xdotool windowclose "$window"
timeout 60 tail --pid="$pid" -f /dev/null || { kill "$pid"; fail "the program lives on without its window"; }
status=0
wait "$pid" || status=$?
[[ $status -eq 0 ]] || fail "status $status after the window was destroyed"
echo "PASS: no display, a lost display and a destroyed window each end the panel cleanly"
