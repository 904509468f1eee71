#!/usr/bin/env bash
# scripts/run builds in the repository but runs the panel where it was called:
# a relative trace path names a file in the caller's folder. Here that folder
# holds "only-here/", the repository does not; a window system that cannot
# start ends the run right after the path was accepted (status 1), where a
# path taken in the repository would be refused (status 2).
#   run_script.sh SOURCE_DIR
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/only-here"
cd "$work"
status=0
QT_QPA_PLATFORM=no-such-platform "$1/scripts/run" --port=sim --trace=only-here/t.vcd \
    >/dev/null 2>"$work/err" || status=$?
[[ $status -eq 1 ]] || { echo "FAIL: status $status"; cat "$work/err"; exit 1; }
echo "PASS: scripts/run took the trace path in the caller's folder"
