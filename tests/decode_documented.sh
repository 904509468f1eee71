#!/usr/bin/env bash
# Runs every sigrok command that README.md and the man pages give, as written,
# on the trace of a one-hour session with 300 frames: each must decode every
# code. (The 1 ns time base is expanded into samples; a command without idle
# compression would take minutes on such a trace, and CTest's timeout fails it.)
#   decode_documented.sh MAKE_LONG_TRACE SOURCE_DIR
set -euo pipefail
make_trace=$1
source=$2
if ! command -v sigrok-cli >/dev/null; then
    [[ "${CI:-}" == true ]] && { echo "sigrok-cli is needed" >&2; exit 1; }
    echo "skipped: sigrok-cli is missing (scripts/install-deps test)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$make_trace" "$work/session.vcd" 300 3600

# README: the sigrok-cli lines of its code blocks, continuations joined;
# man pages: their sigrok-cli examples, with groff's \- as -.
{
    sed -n '/^```sh/,/^```/p' "$source/README.md" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta' |
        grep '^sigrok-cli'
    sed 's/\\-/-/g' "$source"/packaging/*.1.in | grep '^sigrok-cli'
} >"$work/commands"
[[ -s "$work/commands" ]] || { echo "FAIL: no decoding command is documented"; exit 1; }

expected=$(for f in $(seq 0 299); do printf '%02X\n' $((f % 128)); done)
while read -r command; do
    # Every documented command names its trace file session.vcd or sweep.vcd.
    command=${command//sweep.vcd/session.vcd}
    decoded=$(cd "$work" && eval "$command" | sed -n 's/^spi-1: //p')
    [[ "$decoded" == "$expected" ]] || { echo "FAIL: '$command' decoded $(wc -l <<<"$decoded") codes"; exit 1; }
done <"$work/commands"
echo "PASS: $(wc -l <"$work/commands") documented commands decode a one-hour trace"
