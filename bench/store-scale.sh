#!/usr/bin/env bash
# CPU per 42-record market-by-price frame as the store grows, with each frame's records drawn at
# random from the whole store, for two builds side by side in one run: the fastest of RUNS runs of
# each (a shared machine only ever adds time). Prints one line per mode and size with both figures,
# the ratio between the builds, and each build's ratio against its own smallest store.
#
#   bench/store-scale.sh BASELINE_FRAME_PATH CANDIDATE_FRAME_PATH [RUNS] [SIZES...]
#
# The two executables are bench/frame_path of two build trees (e.g. the last release and this tree).
set -euo pipefail
baseline=$1 candidate=$2 runs=${3:-5}
shift $(($# < 3 ? $# : 3))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 50000 1000000)

fastest() {  # exe mode instruments
    local best="" ns
    for _ in $(seq "$runs"); do
        ns=$("$1" --send "$2" --instruments "$3" --spread random --frames 4000 --rounds 1 |
             sed -n 's/^cpu_ns_per_frame=\([0-9]*\).*/\1/p')
        if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
    done
    echo "$best"
}

printf '%-8s %11s %12s %12s %9s %14s %14s\n' mode instruments baseline_ns candidate_ns ratio \
    baseline_growth candidate_growth
for mode in capture socket; do
    first_b="" first_c=""
    for n in "${sizes[@]}"; do
        b=$(fastest "$baseline" "$mode" "$n")
        c=$(fastest "$candidate" "$mode" "$n")
        first_b=${first_b:-$b} first_c=${first_c:-$c}
        awk -v m="$mode" -v n="$n" -v b="$b" -v c="$c" -v fb="$first_b" -v fc="$first_c" \
            'BEGIN { printf "%-8s %11d %12d %12d %9.2f %14.2f %14.2f\n", m, n, b, c, c / b, b / fb, c / fc }'
    done
done
