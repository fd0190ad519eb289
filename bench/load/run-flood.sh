#!/usr/bin/env bash
# End-to-end flood: the real bcstbridge (relay mode, "CM") taking valid market-by-price frames at a fixed
# rate, alone ("clean") and with FLOOD refused frames after each valid one ("flood": frames cut short in
# transit, each refused with two log entries), run by run alternating in one run. The bridge is pinned
# to one core, the load generator and the sink to the other; everything stays on loopback multicast
# (239.41.0.0/16).
#
#   bench/load/run-flood.sh [BUILD_DIR] [SECONDS_PER_RUN] [RATES...]
#
# BUILD_DIR defaults to ./build; each run lasts SECONDS_PER_RUN (default 5); RATES are valid frames per
# second (default: 1000 2000). FLOOD (default 10) is the number of refused frames per valid one,
# REPEAT (default 3) the repetitions (medians are reported), INSTRUMENTS (default 1800) the instruments
# traded, BRIDGE another bcstbridge executable to measure. Prints one line per run and a summary: CPU
# per valid frame (process CPU over the valid frames relayed), the flood/clean ratio, valid datagrams
# lost, and the size of the log the flood left.
set -euo pipefail

build=${1:-build}
seconds=${2:-5}
shift $(( $# < 2 ? $# : 2 ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(1000 2000)

bridge=${BRIDGE:-$build/bcstbridge}
tools="$build/bench/load"
for exe in "$bridge" "$tools/load_gen" "$tools/load_sink"; do
    [ -x "$exe" ] || { echo "run-flood.sh: $exe not built" >&2; exit 1; }
done
bridge=$(cd "$(dirname "$bridge")" && pwd)/$(basename "$bridge")
[ "$(nproc)" -ge 2 ] || { echo "run-flood.sh: needs two cores" >&2; exit 1; }
instruments=${INSTRUMENTS:-1800}
repeat=${REPEAT:-3}
flood=${FLOOD:-10}
relay_core=1
load_core=0

work=$(mktemp -d /tmp/bcst-flood-XXXXXX)
. "$(dirname "$0")/../bench_lib.sh"
trap cleanup EXIT

run_id=0
results=()  # "kind rate frames lost cpu_ns handled log_bytes log_entries" per run
one_run() {
    local kind=$1 rate=$2
    run_id=$((run_id + 1))
    local dir="$work/run$run_id" in_group="239.41.$((run_id % 250)).1" out_group="239.41.$((run_id % 250)).2"
    local in_port out_port refused=0
    [ "$kind" = flood ] && refused=$flood
    in_port=$(free_port)
    out_port=$(free_port)
    mkdir -p "$dir"

    write_instance_config "$dir" CM "$in_group" "$in_port" "$out_group" "$out_port" Y
    (cd "$dir" && exec taskset -c $relay_core "$bridge" 1) &
    relay_pid=$!
    wait_for bridge_ready "$dir" ||
        { echo "run-flood.sh: bridge did not start" >&2; cat "$dir"/BcstBridge1_*.log >&2 || true; exit 1; }
    taskset -c $load_core "$tools/load_gen" --group "$in_group" --port "$in_port" --instruments "$instruments" \
        --store-only >/dev/null
    local log_before
    log_before=$(cat "$dir"/BcstBridge1_*.log | wc -c)

    taskset -c $load_core "$tools/load_sink" --group "$out_group" --port "$out_port" --relay-pid "$relay_pid" \
        --relay-port "$in_port" --ready-file "$dir/ready" --done-file "$dir/done" \
        --max-seconds $((seconds + 20)) >"$dir/sink.out" &
    sink_pid=$!
    wait_for test -e "$dir/ready" || { echo "run-flood.sh: sink did not start" >&2; exit 1; }

    local gen
    gen=$(taskset -c $load_core "$tools/load_gen" --group "$in_group" --port "$in_port" --rate "$rate" \
        --seconds "$seconds" --instruments "$instruments" --refused-per-frame "$refused")
    touch "$dir/done"
    wait "$sink_pid"
    sink_pid=""
    sleep 1.2  # the last second's repeat summaries
    kill "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=""

    local sink frames out cpu lost handled log_bytes log_entries
    sink=$(cat "$dir/sink.out")
    frames=$(value frames_in "$gen")
    out=$(value datagrams_out "$sink")
    cpu=$(value relay_cpu_ns "$sink")
    lost=$(( frames * 21 - out ))
    handled=$(( out / 21 ))
    log_bytes=$(( $(cat "$dir"/BcstBridge1_*.log | wc -c) - log_before ))
    log_entries=$(grep -c . "$dir"/BcstBridge1_*.log || true)
    printf '%-6s rate=%-5s frames_in=%-6s refused_in=%-7s datagrams_out=%-7s lost_datagrams=%-6s relay_rx_drops=%-5s cpu_ns_per_valid_frame=%-7s log_bytes=%s\n' \
        "$kind" "$rate" "$frames" "$(value refused_frames "$gen")" "$out" "$lost" "$(value relay_rx_drops "$sink")" \
        "$(( cpu / (handled > 0 ? handled : 1) ))" "$log_bytes"
    results+=("$kind $rate $frames $lost $cpu $handled $log_bytes $log_entries")
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
     "$seconds s per run, $repeat repetitions, $flood refused frames per valid frame;" \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
for ((rep = 1; rep <= repeat; rep++)); do
    for rate in "${rates[@]}"; do
        for kind in clean flood; do
            one_run "$kind" "$rate"
        done
    done
done

echo
echo "summary (median CPU per valid frame in microseconds; ratio = flood / clean):"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${results[@]}" | awk -v rates="${rates[*]}" '
    { n = ++count[$1, $2]; cpu[$1, $2, n] = ($6 > 0 ? $5 / $6 / 1000 : 0);
      lost[$1, $2] += $4; logb[$1, $2] = ($7 > logb[$1, $2] ? $7 : logb[$1, $2]) }
    function median(kind, rate,    n, i, j, t, v) {
        n = count[kind, rate];
        for (i = 1; i <= n; i++) v[i] = cpu[kind, rate, i];
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2;
    }
    END {
        split(rates, r, " ");
        for (i = 1; i in r; i++) {
            c = median("clean", r[i]); f = median("flood", r[i]);
            printf "  rate %-5s clean %7.2f us  flood %7.2f us  ratio %.3f   valid datagrams lost: clean %d, flood %d   largest flood log: %d bytes\n",
                r[i], c, f, (c > 0 ? f / c : 0), lost["clean", r[i]], lost["flood", r[i]], logb["flood", r[i]];
        }
    }'
