#!/usr/bin/env bash
# Capture rate of bcst-dump: the capture-only mode (-w, no decoding) against the decoding mode with
# --pcap-out, side by side in one run, on two sources on loopback multicast (239.41.0.0/16):
#   replay  bcst-feed replaying a simulated session of 24,001 frames flat out (--flat-out);
#   bridge  the real bcstbridge (relay mode, "CM") driven flat out by bench/load's load_gen: 21
#           output datagrams of 512 bytes for each 42-record frame, the bridge's full output rate.
# For each it prints what was sent, what bcst-dump captured and what the kernel dropped for its
# socket, and the rate; loss is what the run is about, so it is a benchmark, not a test.
#
#   bench/capture/run-capture.sh [BUILD_DIR] [SECONDS] [RATES...]   (defaults: ./build, 3, 0)
#
# RATES are load_gen's market-by-price frames a second into the bridge (0: flat out), to find the
# output rate at which capturing begins to lose.
set -euo pipefail

build=${1:-build}
seconds=${2:-3}
shift $(( $# < 2 ? $# : 2 ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(0)
for exe in bcstbridge tools/bcst-feed tools/bcst-dump bench/load/load_gen; do
    [ -x "$build/$exe" ] || { echo "run-capture.sh: $build/$exe not built" >&2; exit 1; }
done
build=$(cd "$build" && pwd)
feed=$build/tools/bcst-feed
dump=$build/tools/bcst-dump
work=$(mktemp -d /tmp/bcst-capture-XXXXXX)
. "$(dirname "$0")/../bench_lib.sh"
pids=()
cleanup() {  # this script's own: every process it started, by pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
listening() { grep -qs "listening on" "$1"; }

# Starts bcst-dump in MODE (capture: -w; decode: --pcap-out with decoding to /dev/null) on GROUP:PORT.
start_dump() { # mode group port name
    local mode=$1 group=$2 port=$3 name=$4
    if [ "$mode" = capture ]; then
        "$dump" --group "$group" --port "$port" -w "$work/$name.pcap" 2>"$work/$name.err" &
    else
        "$dump" --group "$group" --port "$port" --pcap-out "$work/$name.pcap" >/dev/null 2>"$work/$name.err" &
    fi
    dump_pid=$!
    pids+=("$dump_pid")
    wait_for listening "$work/$name.err" || { echo "run-capture.sh: bcst-dump did not start" >&2; exit 1; }
}
stop_dump() { # name: sets captured and dropped
    kill -INT "$dump_pid"
    wait "$dump_pid" 2>/dev/null || true
    local err=$work/$1.err line
    if grep -q "packets captured" "$err"; then
        line=$(sed -n 's/^bcst-dump: \([0-9]*\) packets captured, \([0-9]*\) packets dropped by kernel$/\1 \2/p' "$err")
    else
        line=$(sed -n 's/^bcst-dump: \([0-9]*\) datagrams:.*; \([0-9]*\) packets dropped by kernel$/\1 \2/p' "$err")
    fi
    read -r captured dropped <<<"$line"
}
report() { # source mode sent seconds captured dropped
    printf '%-7s %-8s sent=%-8s rate=%-9s captured=%-8s dropped_by_kernel=%-8s lost=%s\n' "$1" "$2" "$3" \
        "$(awk -v n="$3" -v s="$4" 'BEGIN { printf "%.0f/s", (s > 0 ? n / s : 0) }')" "$5" "$6" "$(( $3 - $5 ))"
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- a flat-out replay of 24,001 frames
"$feed" --no-send --seed 3 --frames 20000 --rate 0 --quiet --pcap-out "$work/session.pcap"
for mode in capture decode; do
    group=239.41.1.1 port=$(free_port)
    start_dump $mode $group "$port" "replay-$mode"
    start=$(date +%s.%N)
    "$feed" --replay "$work/session.pcap" --flat-out --group $group --port "$port" --quiet
    end=$(date +%s.%N)
    sleep 0.5
    stop_dump "replay-$mode"
    report replay $mode 24001 "$(echo "$end - $start" | bc)" "$captured" "$dropped"
done

# ---- the bridge's output, up to its full rate
for rate in "${rates[@]}"; do
for mode in capture decode; do
    dir=$work/bridge-$mode
    mkdir -p "$dir"
    in_group=239.41.2.1 out_group=239.41.2.2 in_port=$(free_port) out_port=$(free_port)
    write_instance_config "$dir" CM $in_group "$in_port" $out_group "$out_port" Y
    (cd "$dir" && exec "$build/bcstbridge" 1) &
    bridge_pid=$!
    pids+=("$bridge_pid")
    wait_for bridge_ready "$dir" || { echo "run-capture.sh: bridge did not start" >&2; exit 1; }
    "$build/bench/load/load_gen" --group $in_group --port "$in_port" --store-only >/dev/null
    start_dump $mode $out_group "$out_port" "bridge-$mode"
    gen=$("$build/bench/load/load_gen" --group $in_group --port "$in_port" --rate "$rate" --seconds "$seconds")
    sleep 0.5
    stop_dump "bridge-$mode"
    kill -USR1 "$bridge_pid"
    sleep 0.2
    kill "$bridge_pid"
    wait "$bridge_pid" 2>/dev/null || true
    # The bridge's own count of datagrams sent, from its statistics line.
    sent=$(tail -n 1 "$dir/UDP_STATISTICS.txt" | cut -d, -f3 | tr -d ' ')
    report "bridge" "$mode" "$sent" "$seconds" "$captured" "$dropped"
    echo "        load_gen --rate $rate: $gen"
done
done
