#!/usr/bin/env bash
# Fails when a room includes from a room above it, or when a room that must
# stay free of Qt includes a Qt header. The arrows point one way:
#   model <- port <- hardware, watch <- setup <- app, send, scpi, sweep <- chart;
#   port, watch <- panel <- app; port <- instrument <- scpi; vxi11 <- scpi, sweep
#   include_arrows.sh SOURCE_DIR
set -euo pipefail
cd "$1"

declare -A allowed=(
    [model]="model"
    [port]="model port"
    [hardware]="model port hardware"
    [watch]="model port watch"
    [setup]="model port hardware watch setup"
    [panel]="model port watch panel"
    [app]="model port hardware watch setup panel app"
    [send]="model port hardware watch setup send"
    [instrument]="model port instrument"
    [vxi11]="vxi11"
    [scpi]="model port hardware watch setup instrument vxi11 scpi"
    [sweep]="model port hardware watch setup vxi11 sweep"
    [chart]="model port hardware watch setup vxi11 sweep chart"
)
qt_free="model port hardware watch setup send instrument vxi11 scpi sweep"
# The instrument and VXI-11's transport are worked on bytes alone: the doors
# in scpi/ hold the sockets.
socket_free="instrument vxi11"

bad=0
for room in "${!allowed[@]}"; do
    [[ -d $room ]] || continue
    while IFS=: read -r file line text; do
        target=$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")
        if [[ " ${allowed[$room]} " != *" $target "* ]]; then
            echo "FAIL: $file:$line includes from $target/, above $room/: $text"
            bad=1
        fi
    done < <(grep -nH -E '^#include "[^/"]+/' "$room"/*.h "$room"/*.cpp 2>/dev/null || true)
    if [[ " $qt_free " == *" $room "* ]]; then
        if grep -nH -E '^#include <Q' "$room"/*.h "$room"/*.cpp 2>/dev/null; then
            echo "FAIL: $room/ must not use Qt"
            bad=1
        fi
    fi
    if [[ " $socket_free " == *" $room "* ]]; then
        if grep -nH -E '^#include <(sys/socket|netinet/|arpa/|poll|sys/epoll|netdb)' \
            "$room"/*.h "$room"/*.cpp 2>/dev/null; then
            echo "FAIL: $room/ must not use sockets"
            bad=1
        fi
    fi
done
[[ $bad -eq 0 ]] && echo "PASS: every include points down the arrows"
exit $bad
