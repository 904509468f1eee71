#!/usr/bin/env bash
# The built panel on a virtual X screen with a session bus and the
# accessibility bus, worked by a real AT-SPI client (atspi_check.py).
#   accessible_panel.sh PANEL TREE_OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ "${1:-}" != --inside ]]; then
    for tool in xvfb-run dbus-run-session /usr/libexec/at-spi-bus-launcher; do
        if ! command -v "$tool" >/dev/null || ! /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
            [[ "${CI:-}" == true ]] && { echo "$tool, at-spi2-core or python3-pyatspi is missing" >&2; exit 1; }
            echo "skipped: $tool or python3-pyatspi is missing (scripts/install-deps test)"
            exit 77
        fi
    done
    exec xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- "$0" --inside "$@"
fi
panel=$2
tree=$3
unset QT_QPA_PLATFORM
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
"$panel" --port=sim >"$work/frames" 2>"$work/err" &
pids+=($!)
mkdir -p "$(dirname "$tree")"
/usr/bin/python3 "$here/atspi_check.py" "$work/frames" "$tree" || { cat "$work/err" >&2; exit 1; }
