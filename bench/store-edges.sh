#!/usr/bin/env bash
# The instrument store file at its two edges, for one bridge executable or two side by side.
#
# Burst then kill: a fresh instance takes 330 open/high/low frames of 100 new tokens each, sent flat
# out, and is killed with SIGKILL at a random instant 1-100 ms after the last frame left; it is started
# again in the same directory. The tokens go out in increasing order and the bridge handles frames one
# at a time, in order, so what it held is a prefix of what was sent, at least as long as the counters'
# store_entries (read from the counters file the killed process left). A restart must read back at
# least that prefix: every instrument of it that is missing is a finished insert lost. One line per
# kill (delay, held at least, restored, lost, whether the restored tokens are a prefix, kernel drops:
# a frame the kernel dropped is not in what the process held, and shows as lost) and a summary.
#
# Full disk: the bridge runs on a small tmpfs (DISK_MIB, default 6) while it takes 4,000
# market-by-price frames/s and 1,000 open/high/low frames/s of 40 new tokens each, so that the store
# file must grow past what the file system holds (6 MiB are full after about 4 s), for SECONDS; then
# the counters: the longest service time, the datagrams handled in more than 1 ms, kernel drops,
# datagrams sent against those expected, store entries, entries kept in memory only; and what the log
# said. The same run on a tmpfs of 1 GiB, the same file system with room to spare, is the baseline:
# the ratio of the longest service times and both figures. Needs root (for the mount); skipped
# otherwise.
#
#   bench/store-edges.sh BUILD_DIR [KILLS] [SECONDS]       (defaults: 20 kills, 20 s)
#
# The bridge is BUILD_DIR/bcstbridge; OLD_BRIDGE names a second executable measured the same way in
# the same run, the kinds taking turns. Each executable is read with the bcst-stat and bcst-store
# beside it (its build's tools/), else BUILD_DIR's. LOAD_GEN overrides BUILD_DIR/bench/load/load_gen
# (it needs --new-tokens-per-frame). Everything stays on loopback multicast (239.42.0.0/16).
set -euo pipefail

build=$(cd "${1:?usage: bench/store-edges.sh BUILD_DIR [KILLS] [SECONDS]}" && pwd)
kills=${2:-20}
seconds=${3:-20}
disk_mib=${DISK_MIB:-6}
load_gen=${LOAD_GEN:-$build/bench/load/load_gen}
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
declare -A exe
exe[bridge]=$(abs "$build/bcstbridge")
kinds=(bridge)
if [ -n "${OLD_BRIDGE:-}" ]; then
    exe[old-bridge]=$(abs "$OLD_BRIDGE")
    kinds+=(old-bridge)
fi
for e in "${exe[@]}" "$load_gen"; do
    [ -x "$e" ] || { echo "store-edges.sh: $e not built" >&2; exit 1; }
done
grep -q -- --new-tokens-per-frame <<<"$("$load_gen" 2>&1 || true)" ||
    { echo "store-edges.sh: $load_gen has no --new-tokens-per-frame; name a newer one with LOAD_GEN" >&2; exit 1; }
tool() {  # kind name: the tool of that kind's build
    local t
    t=$(dirname "${exe[$1]}")/tools/$2
    [ -x "$t" ] || t=$build/tools/$2
    echo "$t"
}
first_token=1000000

work=$(mktemp -d /tmp/bcst-store-edges-XXXXXX)
. "$(dirname "$0")/bench_lib.sh"
mounted=""
finish() {
    if [ -n "$relay_pid" ]; then kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; fi
    relay_pid=""
    if [ -n "$mounted" ]; then umount "$mounted" || umount -l "$mounted" || true; fi
    cleanup
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

run=0
# Starts kind $1 as instance 1 in directory $2 (configured afresh unless $3 = again) on its own groups,
# pinned to core 1; waits (bounded) until its log shows this start complete.
start_bridge() {
    local kind=$1 dir=$2 starts=1
    if [ "${3:-}" = again ]; then
        starts=$(($(grep -ac "Sender Socket Initialized Successfully" "$dir"/BcstBridge1_*.log) + 1))
    else
        run=$((run + 1))
        in_group=239.42.$((run % 250)).1 in_port=$(free_port)
        write_instance_config "$dir" CM "$in_group" "$in_port" 239.42.$((run % 250)).2 "$(free_port)" Y
    fi
    (cd "$dir" && exec taskset -c 1 "${exe[$kind]}" 1) &
    relay_pid=$!
    wait_for bash -c "[ \$(cat '$dir'/BcstBridge1_*.log 2>/dev/null |
        grep -ac 'Sender Socket Initialized Successfully') -ge $starts ]" ||
        { echo "store-edges.sh: $kind did not start in $dir" >&2; cat "$dir"/BcstBridge1_*.log >&2 || true; exit 1; }
}
stop_bridge() { kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true; relay_pid=""; }
counters() { "$(tool "$1" bcst-stat)" -i 1 --json --interval 0.1 "$2" 2>/dev/null || true; }
key() { sed -n "s/.*\"$1\":\([-0-9]*\).*/\1/p" <<<"$2"; }

# Runs the load generator (arguments 3...), then kills pid $2 with SIGKILL $1 ms after the generator
# returned; prints the delay kept, in ms.
kill_after_burst() {
    python3 - "$@" <<'EOF'
import os, signal, subprocess, sys, time
delay, pid = float(sys.argv[1]) / 1000, int(sys.argv[2])
subprocess.run(sys.argv[3:], check=True, stdout=subprocess.DEVNULL)
sent = time.monotonic()
time.sleep(max(0.0, sent + delay - time.monotonic()))
os.kill(pid, signal.SIGKILL)
print("%.1f" % ((time.monotonic() - sent) * 1000))
EOF
}

# From bcst-store's JSON on stdin, with $1 instruments held at least from token $2 on: the tokens
# restored, those of the held prefix missing, and whether the restored tokens are a prefix.
judge() {
    python3 -c '
import json, sys
held, first = int(sys.argv[1]), int(sys.argv[2])
tokens = {i["token"] for i in json.load(sys.stdin)["instruments"]}
lost = sum(1 for t in range(first, first + held) if t not in tokens)
print(len(tokens), lost, "yes" if tokens == set(range(first, first + len(tokens))) else "no")' "$@"
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores, kernel $(uname -r);" \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"
for kind in "${kinds[@]}"; do echo "$kind: ${exe[$kind]}"; done
echo
echo "burst then kill: 330 open/high/low frames of 100 new tokens, flat out; SIGKILL 1-100 ms after the last"
printf '%-10s %4s %8s %13s %8s %6s %6s %5s\n' kind kill delay_ms held_at_least restored lost prefix drops
declare -A with_loss most_lost not_prefix
for kind in "${kinds[@]}"; do with_loss[$kind]=0 most_lost[$kind]=0 not_prefix[$kind]=0; done
for ((k = 1; k <= kills; k++)); do
    delay=$((RANDOM % 100 + 1))  # the same instant for every kind of this round
    for kind in "${kinds[@]}"; do
        dir=$work/kill-$kind-$k
        mkdir -p "$dir"
        start_bridge "$kind" "$dir"
        pid=$relay_pid
        kept=$(kill_after_burst "$delay" "$pid" taskset -c 0 "$load_gen" \
            --group "$in_group" --port "$in_port" --no-mbp --new-tokens-per-frame 100 --new-token-rate 0 \
            --new-token-frames 330 --first-token $first_token)
        wait "$pid" 2>/dev/null || true
        relay_pid=""
        # The counters the killed process left: what it held when it died.
        c=$(counters "$kind" "$dir")
        held=$(key store_entries "$c") drops=$(key kernel_drops "$c")
        start_bridge "$kind" "$dir" again
        logged=$(sed -n 's/.*Instrument store BcstBridge1.store restored: \([0-9]*\) instruments.*/\1/p' \
            "$dir"/BcstBridge1_*.log | tail -n 1)
        read -r restored lost prefix < <("$(tool "$kind" bcst-store)" --json "$dir/BcstBridge1.store" |
            judge "${held:-0}" $first_token)
        stop_bridge
        [ "${logged:-0}" = "$restored" ] ||
            echo "note: the log says ${logged:-no} instruments restored, the file holds $restored"
        printf '%-10s %4d %8s %13s %8s %6s %6s %5s\n' "$kind" "$k" "$kept" "${held:--}" "$restored" "$lost" \
            "$prefix" "${drops:--}"
        [ "$lost" -eq 0 ] || with_loss[$kind]=$((with_loss[$kind] + 1))
        [ "$lost" -le "${most_lost[$kind]}" ] || most_lost[$kind]=$lost
        [ "$prefix" = yes ] || not_prefix[$kind]=$((not_prefix[$kind] + 1))
        rm -rf "$dir"
    done
done
for kind in "${kinds[@]}"; do
    echo "summary $kind: $kills kills, ${with_loss[$kind]} with finished inserts lost, most lost in one kill" \
        "${most_lost[$kind]}, restored set not a prefix ${not_prefix[$kind]} times"
done
echo

# One run of $2 seconds of kind $1 in directory $3, in this shell (so that the trap knows the bridge):
# leaves the figures of its counters in max (ns), slow, drops, sent, expected, entries and memory.
load_run() {
    local kind=$1 dir=$3 gen c
    start_bridge "$kind" "$dir"
    gen=$(taskset -c 0 "$load_gen" --group "$in_group" --port "$in_port" --rate 4000 --seconds "$2" \
        --new-tokens-per-frame 40 --new-token-rate 1000 --first-token $first_token)
    sleep 0.5  # the bridge drains its socket
    c=$(counters "$kind" "$dir")
    slow=$("$(tool "$kind" bcst-stat)" --prometheus -i 1 "$dir" |
        awk '/service_seconds_bucket.*le="0.001"/ { b = $2 } /service_seconds_count/ { n = $2 } END { print n - b }')
    stop_bridge
    max=$(key max_service_ns "$c") drops=$(key kernel_drops "$c") sent=$(key sent "$c")
    expected=$(($(value frames_in "$gen") * 21))  # 42 records a market-by-price frame, two a datagram
    entries=$(key store_entries "$c") memory=$(key store_memory_only "$c")
}

echo "full disk: a tmpfs of ${disk_mib} MiB against one of 1 GiB (the baseline, ample room); $seconds s of 4000" \
    "market-by-price frames/s and 1000 open/high/low frames/s of 40 new tokens"
if [ "$(id -u)" -ne 0 ]; then
    echo "full disk: skipped: mounting a tmpfs needs root"
    exit 0
fi
mkdir -p "$work/disk"
if ! mount -t tmpfs -o size=1g bcst-store-edges "$work/disk"; then
    echo "full disk: skipped: the tmpfs could not be mounted"
    exit 0
fi
mounted=$work/disk
summary=()
printf '%-10s %-6s %14s %8s %6s %10s %10s %10s %12s\n' kind room max_service_ms over_1ms drops sent expected entries \
    memory_only
for kind in "${kinds[@]}"; do
    # The same file system both times: only the room it has differs.
    for size in 1g "${disk_mib}m"; do
        rm -rf "${mounted:?}"/*
        mount -o "remount,size=$size" "$mounted"
        load_run "$kind" "$seconds" "$mounted"
        room=full
        if [ "$size" = 1g ]; then ample_max=$max ample_slow=$slow room=ample; fi
        printf '%-10s %-6s %14.3f %8s %6s %10s %10s %10s %12s\n' "$kind" $room \
            "$(awk -v n="$max" 'BEGIN { print n / 1e6 }')" "$slow" "$drops" "$sent" "$expected" "$entries" "$memory"
    done
    summary+=("$(awk -v k="$kind" -v f="$max" -v b="$ample_max" -v fs="$slow" -v bs="$ample_slow" 'BEGIN {
        printf "%s: longest service on the full disk %.3f ms, %.2f times the %.3f ms with ample room", k, f / 1e6,
            (b > 0 ? f / b : 0), b / 1e6
        if (f > 1e6 || b > 1e6)
            printf "; STALLS above 1 ms: %d datagrams on the full disk, %d with ample room", fs, bs
    }')")
    echo "  $kind's log on the full disk (after its start-up; repeats counted):"
    grep -av -e '^$' -e 'Sender\|Reciever\|Receiver\|config file open' -e ' - [A-Z_]* - ' \
        "$mounted"/BcstBridge1_*.log |
        cut -d' ' -f3- | uniq -c | sed 's/^/  /' | head -n 20 || true
done
printf '%s\n' "${summary[@]}"
