#!/usr/bin/env bash
# End-to-end load: the real bcstbridge (relay mode, "CM") against a baseline relay that receives the
# same frames and sends the same 21 datagrams of 512 bytes per frame without decoding or converting,
# run in turn at each rate in one run. The relay under test is pinned to one core, the load
# generator and the sink to the other. Everything stays on loopback multicast (239.40.0.0/16).
#
#   bench/load/run-load.sh [BUILD_DIR] [SECONDS_PER_RUN] [RATES...]
#
# BUILD_DIR defaults to ./build; each run lasts SECONDS_PER_RUN (default 3); RATES are market-by-price
# frames per second, 0 meaning flat out (default: 1000 2000 4000 6000 8000 10000 0). Prints one line
# per run and a summary: CPU per frame of the relay process and the bridge/baseline ratio, loss, and
# the highest tested rate at which each relay lost nothing. REPEAT (default 3) repeats the whole set
# of runs and reports medians; INSTRUMENTS (default 1800) sets how many instruments the feed trades
# and the store holds; BRIDGE names another bcstbridge executable to measure (an older build, say).
set -euo pipefail

build=${1:-build}
seconds=${2:-3}
shift $(( $# < 2 ? $# : 2 ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(1000 2000 4000 6000 8000 10000 0)

bridge=${BRIDGE:-$build/bcstbridge}
tools="$build/bench/load"
for exe in "$bridge" "$tools/load_gen" "$tools/load_sink" "$tools/baseline_relay"; do
    [ -x "$exe" ] || { echo "run-load.sh: $exe not built" >&2; exit 1; }
done
bridge=$(cd "$(dirname "$bridge")" && pwd)/$(basename "$bridge")
[ "$(nproc)" -ge 2 ] || { echo "run-load.sh: needs two cores" >&2; exit 1; }
instruments=${INSTRUMENTS:-1800}
repeat=${REPEAT:-3}
relay_core=1
load_core=0

work=$(mktemp -d /tmp/bcst-load-XXXXXX)
relay_pid=""
sink_pid=""
cleanup() {
    # Only the processes this script started, by pid.
    for pid in $sink_pid $relay_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits (bounded) until the command given succeeds.
wait_for() {
    local tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 500 ] || return 1
        sleep 0.01
    done
}

bridge_ready() { cat "$1"/BcstBridge1_*.log 2>/dev/null | grep -q "Sender Socket Initialized Successfully"; }

value() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

run_id=0
results=()  # "kind rate frames_in datagrams_out lost_datagrams cpu_ns handled_frames user_ns" per run
one_run() {
    local kind=$1 rate=$2
    run_id=$((run_id + 1))
    local dir="$work/run$run_id" in_group="239.40.$((run_id % 250)).1" out_group="239.40.$((run_id % 250)).2"
    local in_port out_port
    in_port=$(free_port)
    out_port=$(free_port)
    mkdir -p "$dir"

    if [ "$kind" = bridge ]; then
        # The configured send port goes on the wire byte-exchanged.
        local configured=$(( ((out_port & 0xFF) << 8) | (out_port >> 8) ))
        [ $configured -lt 32768 ] || configured=$((configured - 65536))
        printf 'SEGMENT,RECV_ADDR,RECV_PORT,SEND_ADDR,SEND_PORT,HOST_IP,VELT_IP,FLAG\n' >"$dir/BCSTBRIDGE.INI"
        printf 'CM,%s,%d,%s,%d,127.0.0.1,127.0.0.1,Y\n' "$in_group" "$in_port" "$out_group" "$configured" \
            >>"$dir/BCSTBRIDGE.INI"
        (cd "$dir" && exec taskset -c $relay_core "$bridge" 1) &
        relay_pid=$!
        wait_for bridge_ready "$dir" ||
            { echo "run-load.sh: bridge did not start" >&2; cat "$dir"/BcstBridge1_*.log >&2 || true; exit 1; }
    else
        taskset -c $relay_core "$tools/baseline_relay" --recv-group "$in_group" --recv-port "$in_port" \
            --send-group "$out_group" --send-port "$out_port" >"$dir/baseline.out" &
        relay_pid=$!
        wait_for grep -qs ready "$dir/baseline.out" || { echo "run-load.sh: baseline did not start" >&2; exit 1; }
    fi

    # Every instrument into the store before anything is measured.
    taskset -c $load_core "$tools/load_gen" --group "$in_group" --port "$in_port" --instruments "$instruments" --store-only >/dev/null

    taskset -c $load_core "$tools/load_sink" --group "$out_group" --port "$out_port" --relay-pid "$relay_pid" \
        --relay-port "$in_port" --ready-file "$dir/ready" --done-file "$dir/done" \
        --max-seconds $((seconds + 20)) >"$dir/sink.out" &
    sink_pid=$!
    wait_for test -e "$dir/ready" || { echo "run-load.sh: sink did not start" >&2; exit 1; }

    local gen
    gen=$(taskset -c $load_core "$tools/load_gen" --group "$in_group" --port "$in_port" --rate "$rate" \
        --seconds "$seconds" --instruments "$instruments")
    touch "$dir/done"
    wait "$sink_pid"
    sink_pid=""
    kill "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=""

    # CPU per frame is taken over the frames the relay handled: those whose 21 datagrams came out.
    local sink frames out cpu user drops lost handled
    sink=$(cat "$dir/sink.out")
    frames=$(value frames_in "$gen")
    out=$(value datagrams_out "$sink")
    cpu=$(value relay_cpu_ns "$sink")
    user=$(value relay_user_ns "$sink")
    drops=$(value relay_rx_drops "$sink")
    lost=$(( frames * 21 - out ))
    handled=$(( out / 21 ))
    printf '%-8s rate=%-6s frames_in=%-7s achieved=%-6s datagrams_out=%-8s lost_datagrams=%-7s relay_rx_drops=%-6s sink_drops=%-4s cpu_ns_per_frame=%-7s user_ns_per_frame(ticks)=%s\n' \
        "$kind" "$rate" "$frames" "$(value achieved_rate "$gen")" "$out" "$lost" "$drops" \
        "$(value sink_drops "$sink")" "$(( cpu / (handled > 0 ? handled : 1) ))" "$(( user / (handled > 0 ? handled : 1) ))"
    results+=("$kind $rate $frames $out $lost $cpu $handled $user")
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
     "$seconds s per run, $repeat repetitions, $instruments instruments; load average $(cut -d' ' -f1-3 /proc/loadavg)"
# Bridge and baseline alternate run by run, so that whatever else the machine does falls on both.
for ((rep = 1; rep <= repeat; rep++)); do
    for rate in "${rates[@]}"; do
        for kind in bridge baseline; do
            one_run "$kind" "$rate"
        done
    done
done

echo
echo "summary (median CPU per handled frame in microseconds over the repetitions; ratio = bridge / baseline):"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${results[@]}" | awk -v rates="${rates[*]}" '
    { n = ++count[$1, $2]; cpu[$1, $2, n] = ($7 > 0 ? $6 / $7 / 1000 : 0);
      lost[$1, $2] += $5;
      handled[$1, $2] += $7; frames[$1, $2] += $3 }
    function median(kind, rate,    n, i, j, t, v) {
        n = count[kind, rate];
        for (i = 1; i <= n; i++) v[i] = cpu[kind, rate, i];
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2;
    }
    END {
        split(rates, r, " ");
        for (i = 1; i in r; i++) {
            b = median("bridge", r[i]); l = median("baseline", r[i]);
            printf "  rate %-6s bridge %7.2f us  baseline %7.2f us  ratio %.3f   lost datagrams: bridge %d, baseline %d\n",
                (r[i] == 0 ? "flat" : r[i]), b, l, (l > 0 ? b / l : 0), lost["bridge", r[i]], lost["baseline", r[i]];
            for (k = 1; k <= 2; k++) {
                kind = (k == 1 ? "bridge" : "baseline");
                if (r[i] != 0 && lost[kind, r[i]] == 0 && r[i] > best[kind]) best[kind] = r[i];
                if (r[i] == 0) flat[kind] = handled[kind, r[i]] / count[kind, r[i]];
            }
        }
        printf "  highest tested rate without loss in any repetition: bridge %d, baseline %d frames/s (ratio %.2f)\n",
            best["bridge"], best["baseline"], (best["baseline"] > 0 ? best["bridge"] / best["baseline"] : 0);
        if (("bridge", 0) in count)
            printf "  flat out, frames handled per run: bridge %d, baseline %d\n", flat["bridge"], flat["baseline"];
    }'
