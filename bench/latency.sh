#!/usr/bin/env bash
# Wire-to-wire latency, side by side in one run: the minimal relay (the baseline relay receiving and
# sending a frame's 21 datagrams in one UDP-segmented send, no conversion) and the real bcstbridge
# (relay mode, "CM"), each blocking in its receive and busy-polling its socket (baseline_relay
# --busy-poll, bcstbridge --busy-poll). The probe stamps each 42-record input frame on CLOCK_REALTIME
# just before handing it to the kernel (load_gen --probe) and reads the kernel's receive stamp of each
# output datagram (SO_TIMESTAMPNS, load_sink --kernel-stamps); the latency of a frame is the stamp of
# its last output datagram minus its send stamp. Outputs are matched to their inputs by a tag the
# frame carries (its trade times), so a loss leaves the other frames measured. The relay under test is
# pinned to one core, the generator and the sink to the other, as in load/run-load.sh; everything stays
# on loopback multicast (239.42.0.0/16).
#
#   bench/latency.sh [BUILD_DIR] [SECONDS_PER_RUN] [RATES...]
#
# BUILD_DIR defaults to ./build; each run lasts SECONDS_PER_RUN (default 5); RATES are market-by-price
# frames per second (default: 2000 20000). REPEAT (default 3) repeats the whole set, the kinds taking
# turns run by run, and the summary gives medians; INSTRUMENTS (default 1800) sets how many
# instruments the feed trades; BRIDGE names the bcstbridge executable. A bridge whose --help does not
# offer --busy-poll is measured blocking only. Prints one line per run and a summary table: rate,
# kind, p50, p99 and p99.9 in microseconds, inputs lost (frames without all their output datagrams)
# and the relay process's CPU per input in microseconds (a polling relay spends its whole core).
set -euo pipefail

build=${1:-build}
seconds=${2:-5}
shift $(($# < 2 ? $# : 2))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(2000 20000)

bridge=${BRIDGE:-$build/bcstbridge}
tools="$build/bench/load"
for exe in "$bridge" "$tools/load_gen" "$tools/load_sink" "$tools/baseline_relay"; do
    [ -x "$exe" ] || { echo "latency.sh: $exe not built" >&2; exit 1; }
done
bridge=$(cd "$(dirname "$bridge")" && pwd)/$(basename "$bridge")
baseline=$(cd "$tools" && pwd)/baseline_relay
old_bridge=""
[ "$(nproc)" -ge 2 ] || { echo "latency.sh: needs two cores" >&2; exit 1; }
instruments=${INSTRUMENTS:-1800}
repeat=${REPEAT:-3}
mode=relay
stride=21
probe=1
relay_core=1
load_core=0
kinds=(baseline-segmented baseline-segmented-poll bridge bridge-poll)
if ! "$bridge" --help 2>&1 | grep -q -- --busy-poll; then
    echo "note: $bridge does not offer --busy-poll: kind bridge-poll skipped"
    kinds=(baseline-segmented baseline-segmented-poll bridge)
fi

work=$(mktemp -d /tmp/bcst-latency-XXXXXX)
. "$(dirname "$0")/bench_lib.sh"
trap cleanup EXIT

results=()  # "kind rate frames_in inputs_lost cpu_ns p50 p99 p999" per run
one_run() {
    local kind=$1 rate=$2
    new_run 239.42
    start_relay "$kind"
    drive_run "$rate"

    # CPU per input is taken over the inputs that came out whole.
    local frames lost cpu handled
    frames=$(value frames_in "$gen")
    lost=$(value inputs_lost "$sink")
    cpu=$(value relay_cpu_ns "$sink")
    handled=$((frames - lost))
    printf '%-24s rate=%-6s in=%-7s achieved=%-6s inputs_lost=%-6s untagged=%-4s rx_drops=%-6s cpu_ns_per_input=%-7s latency_us p50=%s p99=%s p99.9=%s\n' \
        "$kind" "$rate" "$frames" "$(value achieved_rate "$gen")" "$lost" "$(value untagged "$sink")" \
        "$(value relay_rx_drops "$sink")" "$((cpu / (handled > 0 ? handled : 1)))" "$(value lat_p50_us "$sink")" \
        "$(value lat_p99_us "$sink")" "$(value lat_p999_us "$sink")"
    results+=("$kind $rate $frames $lost $((cpu / (handled > 0 ? handled : 1))) $(value lat_p50_us "$sink") $(value lat_p99_us "$sink") $(value lat_p999_us "$sink")")
}

machine_line "$seconds s per run, $repeat repetitions, $instruments instruments"
run_every_kind

echo
echo "summary (medians over the repetitions; latency and CPU per input in microseconds; lost = inputs"
echo "without all their outputs, summed over the repetitions, of the inputs sent):"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${results[@]}" | awk -v rates="${rates[*]}" -v kinds="${kinds[*]}" "$awk_median"'
    { n = ++count[$1, $2]; sent[$1, $2] += $3; lost[$1, $2] += $4; cpu[$1, $2, n] = $5 / 1000;
      p50[$1, $2, n] = $6; p99[$1, $2, n] = $7; p999[$1, $2, n] = $8 }
    END {
        split(rates, r, " "); nk = split(kinds, k, " ");
        printf "  %-6s %-24s %9s %9s %9s %15s %9s\n", "rate", "kind", "p50", "p99", "p99.9", "lost", "cpu_us";
        for (i = 1; i in r; i++)
            for (j = 1; j <= nk; j++)
                printf "  %-6s %-24s %9s %9s %9s %15s %9s\n", r[i], k[j], median(p50, k[j], r[i]),
                    median(p99, k[j], r[i]), median(p999, k[j], r[i]), lost[k[j], r[i]] "/" sent[k[j], r[i]],
                    median(cpu, k[j], r[i]);
    }'
