#!/usr/bin/env bash
# User-space instructions per 42-record market-by-price frame on the relay path (intake, LZ4 decode,
# conversion, framing, send), counted by callgrind with the store already holding every instrument,
# and the functions that spend them.
#
#   bench/callgrind-frame.sh [BUILD_DIR] [FRAMES] [ROUNDS] [-- extra frame_path options]
#
# BUILD_DIR defaults to ./build and must hold bench/frame_path. The system calls themselves run in the
# kernel and are not counted; their user-space wrappers are.
set -euo pipefail

build=${1:-build}
frames=${2:-200}
rounds=${3:-2}
shift $(( $# < 3 ? $# : 3 ))
[ "${1:-}" = "--" ] && shift
driver="$build/bench/frame_path"
[ -x "$driver" ] || { echo "callgrind-frame.sh: $driver not built" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "callgrind-frame.sh: valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d /tmp/bcst-callgrind-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Only the measured pass is instrumented (the driver switches instrumentation on around it).
valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$work/callgrind.out" \
    "$driver" --frames "$frames" --rounds "$rounds" "$@" >"$work/driver.txt" 2>"$work/valgrind.txt" || {
    cat "$work/driver.txt" "$work/valgrind.txt" >&2
    exit 1
}

measured=$(sed -n 's/.*measured_frames=\([0-9]*\).*/\1/p' "$work/driver.txt")
# "summary:" stays 0 when instrumentation starts off; "totals:" holds the counted pass.
total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$work/callgrind.out" | head -n1)
grep -v ns_per_frame "$work/driver.txt"
echo "instructions_total=$total"
echo "instructions_per_frame=$(( total / measured ))"
echo
echo "Top functions (self), instructions per frame; inlined code is listed under the file it came from:"
callgrind_annotate --auto=no --threshold=100 "$work/callgrind.out" 2>/dev/null |
    awk -v n="$measured" '
        /file:function/ { table = 1; next }
        table && /^-+$/ { next }
        table && $1 ~ /^[0-9,]+$/ {
            ir = $1; gsub(",", "", ir);
            name = $0; sub(/^ *[0-9,]+ +\( *[0-9.]+%\) +/, "", name); sub(/ \[.*\]$/, "", name);
            printf "%10.0f  %s\n", ir / n, name;
            if (++shown == 15) exit
        }'
