#!/usr/bin/env bash
# End-to-end load: the real bcstbridge against a baseline relay that receives the same input and
# sends the same 512-byte datagrams (21 per 42-record frame) without decoding or converting, in three
# variants of how the datagrams reach the kernel (one sendto each, one sendmmsg, one UDP-segmented
# sendmsg), all run in turn at each rate in one run. The relay under test is pinned to one core, the
# load generator and the sink to the other. Everything stays on loopback multicast (239.40.0.0/16).
#
#   bench/load/run-load.sh [BUILD_DIR] [SECONDS_PER_RUN] [RATES...]
#
# BUILD_DIR defaults to ./build; each run lasts SECONDS_PER_RUN (default 3); RATES are input datagrams
# per second (market-by-price frames in relay mode), 0 meaning flat out (default: 1000 2000 4000
# 6000 8000 10000 0). Prints one line per run and a summary per kind: CPU per input of the relay
# process and its ratio to the per-datagram baseline, loss, latency from an input's send to the
# arrival of its last output (p50/p99/p99.9, where nothing was lost), and the highest tested rate at
# which each kind lost nothing.
#
# MODE=relay (default: bridge in relay mode, "CM") or MODE=passthrough (bridge without conversion,
# 512-byte input datagrams). REPEAT (default 3) repeats the whole set and reports medians;
# INSTRUMENTS (default 1800) sets how many instruments the feed trades; BRIDGE names the bcstbridge
# executable to measure; OLD_BRIDGE adds another build (an older one, say) as kind "old-bridge";
# KINDS overrides the list of kinds (bridge old-bridge baseline-sendto baseline-mmsg baseline-segmented,
# each also with the suffix -poll for a relay that busy-polls its socket; bench/latency.sh compares those).
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
baseline=$(cd "$tools" && pwd)/baseline_relay
[ "$(nproc)" -ge 2 ] || { echo "run-load.sh: needs two cores" >&2; exit 1; }
instruments=${INSTRUMENTS:-1800}
repeat=${REPEAT:-3}
mode=${MODE:-relay}
case $mode in relay) stride=21 ;; passthrough) stride=1 ;; *) echo "run-load.sh: MODE is relay or passthrough" >&2; exit 2 ;; esac
old_bridge=${OLD_BRIDGE:-}
if [ -n "$old_bridge" ]; then
    [ -x "$old_bridge" ] || { echo "run-load.sh: $old_bridge not executable" >&2; exit 1; }
    old_bridge=$(cd "$(dirname "$old_bridge")" && pwd)/$(basename "$old_bridge")
fi
read -r -a kinds <<<"${KINDS:-bridge ${old_bridge:+old-bridge} baseline-sendto baseline-mmsg baseline-segmented}"
relay_core=1
load_core=0

work=$(mktemp -d /tmp/bcst-load-XXXXXX)
. "$(dirname "$0")/../bench_lib.sh"
trap cleanup EXIT

results=()  # "kind rate frames_in datagrams_out lost_datagrams cpu_ns handled p50 p99 p999" per run
one_run() {
    local kind=$1 rate=$2
    new_run 239.40
    start_relay "$kind"
    drive_run "$rate"

    # CPU per input is taken over the inputs the relay handled: those whose datagrams all came out.
    local frames out cpu drops lost handled
    frames=$(value frames_in "$gen")
    out=$(value datagrams_out "$sink")
    cpu=$(value relay_cpu_ns "$sink")
    drops=$(value relay_rx_drops "$sink")
    lost=$(( frames * stride - out ))
    handled=$(( out / stride ))
    printf '%-18s rate=%-6s in=%-7s achieved=%-6s out=%-8s lost=%-7s rx_drops=%-6s cpu_ns_per_input=%-7s latency_us p50=%s p99=%s p99.9=%s\n' \
        "$kind" "$rate" "$frames" "$(value achieved_rate "$gen")" "$out" "$lost" "$drops" \
        "$(( cpu / (handled > 0 ? handled : 1) ))" "$(value lat_p50_us "$sink")" "$(value lat_p99_us "$sink")" \
        "$(value lat_p999_us "$sink")"
    results+=("$kind $rate $frames $out $lost $cpu $handled $(value lat_p50_us "$sink") $(value lat_p99_us "$sink") $(value lat_p999_us "$sink")")
}

machine_line "mode $mode; $seconds s per run, $repeat repetitions, $instruments instruments"
run_every_kind

echo
echo "summary, mode $mode (medians over the repetitions; CPU per input in microseconds; ratio = CPU / baseline-sendto's;"
echo "latency in microseconds from an input's send to its last output's arrival, where nothing was lost):"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${results[@]}" | awk -v rates="${rates[*]}" -v kinds="${kinds[*]}" "$awk_median"'
    { n = ++count[$1, $2]; cpu[$1, $2, n] = ($7 > 0 ? $6 / $7 / 1000 : 0);
      p50[$1, $2, n] = $8; p99[$1, $2, n] = $9; p999[$1, $2, n] = $10;
      lost[$1, $2] += $5; handled[$1, $2] += $7 }
    END {
        split(rates, r, " "); nk = split(kinds, k, " ");
        printf "  %-6s %-18s %9s %7s %9s %9s %9s %9s\n", "rate", "kind", "cpu_us", "ratio", "lost", "p50", "p99", "p99.9";
        for (i = 1; i in r; i++) {
            base = median(cpu, "baseline-sendto", r[i]);
            for (j = 1; j <= nk; j++) {
                c = median(cpu, k[j], r[i]);
                printf "  %-6s %-18s %9.2f %7.3f %9d %9s %9s %9s\n", (r[i] == 0 ? "flat" : r[i]), k[j], c,
                    (base != "-" && base > 0 ? c / base : 0), lost[k[j], r[i]],
                    median(p50, k[j], r[i]), median(p99, k[j], r[i]), median(p999, k[j], r[i]);
                if (r[i] != 0 && lost[k[j], r[i]] == 0 && r[i] > best[k[j]]) best[k[j]] = r[i];
                if (r[i] == 0) flat[k[j]] = handled[k[j], r[i]] / count[k[j], r[i]];
            }
        }
        printf "  highest tested rate without loss in any repetition:";
        for (j = 1; j <= nk; j++) printf " %s %d", k[j], best[k[j]];
        printf "\n";
        if (("baseline-sendto", 0) in count) {
            printf "  flat out, inputs handled per run:";
            for (j = 1; j <= nk; j++) printf " %s %d", k[j], flat[k[j]];
            printf "\n";
        }
    }'
