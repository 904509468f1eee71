#!/usr/bin/env bash
# Two hosts on one wire, made here with network namespaces and a veth pair
# (192.0.2.1 the bench, 192.0.2.2 the lab; no other address is used): the bench
# runs rpcbind, a private system bus, avahi-daemon and zovrel-scpi on the
# simulated board, in a mount namespace of its own so that their sockets in
# /run are its alone; the lab finds and drives the instrument as a lab's
# tools do (lxi discover, mDNS, PyVISA over VXI-11, lxi scpi). Then the
# default listen address: nothing is advertised, nothing answers on the wire.
#   instrument_network.sh ZOVREL_SCPI
set -euo pipefail
scpi=$1
here=$(cd "$(dirname "$0")" && pwd)

skip() {
    if [[ "${CI:-}" == true ]]; then echo "FAIL: $*"; exit 1; fi
    echo "skipped: $* (scripts/install-deps test installs what it needs)"
    exit 77
}
[[ $EUID -eq 0 ]] || skip "making network namespaces needs root"
export PATH=$PATH:/usr/sbin
for tool in ip unshare nsenter rpcbind avahi-daemon avahi-browse dbus-daemon lxi; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done
/usr/bin/python3 -c 'import pyvisa, pyvisa_py, zeroconf' 2>/dev/null || skip "pyvisa, pyvisa-py or zeroconf is missing"

bench=zovrel-bench-$$
lab=zovrel-lab-$$
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    set +e
    [[ -f $work/bench.pid ]] && kill "$(cat "$work/bench.pid")" 2>/dev/null
    ip netns pids "$bench" 2>/dev/null | xargs -r kill 2>/dev/null
    ip netns del "$bench" 2>/dev/null
    ip netns del "$lab" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$bench"
ip netns add "$lab"
ip link add zb$$ type veth peer name zl$$
ip link set zb$$ netns "$bench"
ip link set zl$$ netns "$lab"
# The bench host's address leased (it has a lifetime) and its gateway the lab's: the identification
# XML tells both.
ip -n "$bench" addr add 192.0.2.1/24 brd + dev zb$$ valid_lft 3600 preferred_lft 3600
ip -n "$lab" addr add 192.0.2.2/24 brd + dev zl$$
for ns in "$bench" "$lab"; do
    ip -n "$ns" link set lo up
    ip -n "$ns" link set "$( [[ $ns == "$bench" ]] && echo zb$$ || echo zl$$ )" up multicast on
done
ip -n "$bench" route add default via 192.0.2.2

cat >"$work/avahi.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=zb$$
ratelimit-interval-usec=0
[publish]
publish-workstation=no
[rlimits]
EOF

# The bench host: its services, then the instrument with LISTEN; the frame
# log goes to $work/frames, what it says to $work/said.
bench_host() {
    rm -f "$work/said" "$work/frames"
    ip netns exec "$bench" unshare --mount --propagation private bash -c '
        set -e
        mount -t tmpfs tmpfs /run
        mkdir -p /run/dbus /run/avahi-daemon /run/rpcbind
        rpcbind -f -w & 
        dbus-daemon --system --fork
        avahi-daemon -D --no-chroot -f "$1/avahi.conf" --no-rlimits
        for _ in $(seq 200); do [ -S /run/rpcbind.sock ] && [ -S /run/avahi-daemon/socket ] && break; sleep 0.05; done
        exec "$2" --port=sim --listen="$3" $4 >"$1/frames" 2>"$1/said"' bench "$work" "$scpi" "$1" "${3:-}" &
    echo $! >"$work/bench.pid"
    for _ in $(seq 600); do grep -q "$2" "$work/said" 2>/dev/null && return; sleep 0.05; done
    echo "FAIL: the bench never said '$2':"; cat "$work/said"; exit 1
}
stop_bench() {
    ip netns pids "$bench" | xargs -r kill
    for _ in $(seq 200); do [[ -z $(ip netns pids "$bench") ]] && return; sleep 0.05; done
}

# Listening beyond the machine: advertised, discovered, driven.
bench_host 0.0.0.0:5025 "mDNS: advertised" --http-port=8080
found=$(ip netns exec "$lab" lxi discover -t 3 2>&1)
grep -q 'Zovrel,Zovrel Rev B,0,' <<<"$found" || { echo "FAIL: lxi discover: $found"; exit 1; }
ip netns exec "$lab" /usr/bin/python3 "$here/lab_check.py" 192.0.2.1 "$work/frames"
answer=$(ip netns exec "$lab" lxi scpi -a 192.0.2.1 '*IDN?')
[[ $answer == Zovrel,Zovrel\ Rev\ B,0,* ]] || { echo "FAIL: lxi scpi over VXI-11: $answer"; exit 1; }
stop_bench

# The default address: the bench's own Avahi holds no service of it, lxi
# discover finds nothing, and neither door answers from the wire.
bench_host 127.0.0.1:5025 "VXI-11 core channel"
port=$(sed -n 's/.*VXI-11 core channel on port \([0-9]*\).*/\1/p' "$work/said")
services=$(ip netns exec "$bench" nsenter --mount=/proc/"$(cat "$work/bench.pid")"/ns/mnt avahi-browse -a -t -p 2>&1 || true)
grep -q -i zovrel <<<"$services" && { echo "FAIL: advertised on the loopback: $services"; exit 1; }
grep -q mDNS "$work/said" && { echo "FAIL: mDNS tried on the loopback: $(cat "$work/said")"; exit 1; }
found=$(ip netns exec "$lab" lxi discover -t 3 2>&1 || true)
grep -q Zovrel <<<"$found" && { echo "FAIL: discovered on the loopback: $found"; exit 1; }
for p in 5025 "$port"; do
    if ip netns exec "$lab" bash -c "exec 3<>/dev/tcp/192.0.2.1/$p" 2>/dev/null; then
        echo "FAIL: port $p answered from the wire"; exit 1
    fi
done
stop_bench
echo "PASS: found by lxi discover and mDNS, driven over VXI-11 from another host; on the loopback, nothing"
