#!/usr/bin/env bash
# Runs CMD in a network and mount namespace of its own, with the loopback up
# and an rpcbind of its own: /run is a tmpfs there, because rpcbind's socket
# /run/rpcbind.sock is one file for every network namespace, so the
# machine's rpcbind is neither seen nor touched. The rpcbind is stopped and
# waited for however CMD ends, and CMD's status is this script's.
#   own_rpcbind.sh CMD [ARGS...]
set -euo pipefail
skip() {
    if [[ "${CI:-}" == true ]]; then echo "FAIL: $*"; exit 1; fi
    echo "skipped: $*"
    exit 77
}
[[ $# -gt 0 ]] || { echo "usage: own_rpcbind.sh CMD [ARGS...]" >&2; exit 2; }
[[ $EUID -eq 0 ]] || skip "a network namespace of its own needs root"
export PATH=$PATH:/usr/sbin:/sbin
for tool in unshare ip rpcbind rpcinfo; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps test installs it)"
done
exec unshare --net --mount --propagation private bash -c '
    set -eu
    ip link set lo up
    mount -t tmpfs tmpfs /run
    mkdir -p /run/rpcbind
    rpcbind -f -w &
    bound=$!
    trap "kill \$bound 2>/dev/null; wait \$bound 2>/dev/null || true" EXIT
    trap "exit 143" TERM INT
    for _ in $(seq 200); do [[ -S /run/rpcbind.sock ]] && break; sleep 0.05; done
    [[ -S /run/rpcbind.sock ]] || { echo "FAIL: rpcbind made no /run/rpcbind.sock"; exit 1; }
    "$@" <&0 & ran=$!
    trap "kill \$ran 2>/dev/null; wait \$ran; exit 143" TERM INT
    status=0
    wait "$ran" || status=$?
    exit "$status"' own_rpcbind "$@"
