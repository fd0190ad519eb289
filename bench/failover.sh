#!/usr/bin/env bash
# Failover of a hot-standby pair, timed: the pair of tests/ops/failover_test.sh (two network
# namespaces on a bridge device, a bridge instance and keepalived with the shipped configuration and
# scripts in each; tests/ops/ha_lib.sh builds it) receives a simulated feed, and the MASTER's link is
# pulled FAILOVERS times, the hosts taking turns. For each failover: the time from the clock read just
# before the link goes down to the first output datagram of the new MASTER (dumpcap's time stamps on
# the same machine's clock), the silence on the wire (the old MASTER's last datagram to the new one's
# first) and the datagrams lost (bcst-verify's gap, with the input frames it covers). Then the median
# and the worst. Needs root, keepalived and dumpcap (package tshark).
#
#   bench/failover.sh [BUILD_DIR] [FAILOVERS] [FRAMES_PER_SECOND]     (defaults: build 5 5000)
set -euo pipefail

build=${1:-build}
failovers=${2:-5}
rate=${3:-5000}
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
BRIDGE=$build/bcstbridge FEED=$build/tools/bcst-feed STAT=$build/tools/bcst-stat VERIFY=$build/tools/bcst-verify
ROLE=$build/packaging/bcstbridge-role HEALTHY=$build/packaging/bcstbridge-healthy
KEEPALIVED_CONF=$src/examples/keepalived.conf
for exe in "$BRIDGE" "$FEED" "$STAT" "$VERIFY" "$ROLE" "$HEALTHY"; do
    [ -x "$exe" ] || { echo "failover.sh: $exe not built" >&2; exit 1; }
done
HA_NAME=bcsthb HA_NET=10.214 HA_GROUP=239.214
WORK=$(mktemp -d /tmp/bcst-failover-XXXXXX)
. "$src/tests/ops/ha_lib.sh"
reason=$(ha_skip_reason)
[ -z "$reason" ] || { echo "failover.sh: $reason" >&2; rm -rf "$WORK"; exit 1; }
trap 'ha_cleanup || true; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM HUP

die() { echo "failover.sh: $*" >&2; exit 1; }
backups() { grep -c 'Entering BACKUP STATE' "$WORK/$1/keepalived.log"; }

ha_start_pair || die "the pair did not come up"
master=$(ha_master)
ha_start_feed "$rate"
ha_wait 150 ha_sent_beyond "$master" 5000 0 || die "MASTER $master does not publish"

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
    "kernel $(uname -r), keepalived $(keepalived --version 2>&1 | head -1 | cut -d' ' -f2); $rate frames/s," \
    "advert_int 0.1; load average $(cut -d' ' -f1-3 /proc/loadavg)"
fail_times=()
for ((k = 1; k <= failovers; k++)); do
    old=$(ha_master) || die "failover $k: no single MASTER"
    new=$([ "$old" = a ] && echo b || echo a)
    # The host about to take over must be a healthy BACKUP, its store kept by the feed.
    ha_wait 100 ha_is_backup $new || die "failover $k: host $new is not BACKUP"
    count=$(backups $old)
    fail_times+=("$(ha_fail_link $old)")
    ha_wait 100 ha_is_master $new || die "failover $k: host $new did not become MASTER within 10 s"
    before=$(ha_sent $new)
    ha_wait 150 ha_sent_beyond $new 1 "$before" || die "failover $k: new MASTER $new does not publish"
    ha_restore_link $old
    ha_wait 100 bash -c "[ \$(grep -c 'Entering BACKUP STATE' '$WORK/$old/keepalived.log') -gt $count ]" ||
        die "failover $k: host $old did not return to BACKUP"
    sleep 2 # the new MASTER publishes a while before the next failover
    ha_sent_beyond $new 1 "$before" || die "failover $k: host $new stopped publishing"
done
ha_stop_feed || true
# The MASTER has had the whole feed but what came while its own link was down: wait for its count to
# stand still.
last=$(ha_master)
frames() { "$STAT" --json --interval 0.1 -i 1 "$WORK/$last" | sed -n 's/.*"frames_mbp":\([0-9]*\).*/\1/p'; }
settled() { local before; before=$(frames); sleep 0.2; [ "$(frames)" = "$before" ]; }
ha_wait 100 settled || echo "note: MASTER $last still taking in frames 10 s after the feed stopped"
sleep 0.5 # what the last sends put on the segment reaches dumpcap's buffer
ha_stop_capture
grep -h "dropped on interface" "$WORK/dumpcap.log" || true

"$VERIFY" "$WORK/in.pcap" "$WORK/out.pcap" --segment CM --max-report 0 >"$WORK/verify.out" 2>&1 || true
grep -E '^(output from|gap:)' "$WORK/verify.out" || true
tail -n 1 "$WORK/verify.out"

# Run k+1 of senders begins at failover k; gap k is failover k's loss.
mapfile -t starts < <(sed -n 's/^output from [0-9.]*: .*), \([0-9:.]*\) to .*/\1/p' "$WORK/verify.out" | tail -n +2)
mapfile -t silences < <(sed -n 's/.*, \([0-9.]*\) s after the previous sender.s last$/\1/p' "$WORK/verify.out")
mapfile -t gaps < <(sed -n 's/^gap: .* missing (\([0-9]*\), from input datagrams \([0-9]*\)-\([0-9]*\))$/\1 \2 \3/p' \
    "$WORK/verify.out")
[ ${#starts[@]} -eq "$failovers" ] || echo "note: ${#starts[@]} changes of sender for $failovers failovers"
[ ${#gaps[@]} -eq "$failovers" ] || echo "note: ${#gaps[@]} gaps for $failovers failovers (kernel drops add gaps)"
echo
echo "failover  to first datagram (ms)  silence on the wire (ms)  datagrams lost  input frames in the gap"
for ((k = 0; k < failovers && k < ${#starts[@]}; k++)); do
    read -r lost first_in last_in <<<"${gaps[k]:-0 0 -1}"
    printf '%8d  %23d  %24d  %14d  %23d\n' $((k + 1)) $(( ($(ha_epoch_us "${starts[k]}") - fail_times[k]) / 1000 )) \
        "$(awk -v s="${silences[k]}" 'BEGIN { printf "%d", s * 1000 + 0.5 }')" "$lost" $((last_in - first_in + 1))
done >"$WORK/table"
cat "$WORK/table"
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)) }'; }
worst() { sort -n | tail -n 1; }
echo "to the first datagram: median $(awk '{ print $2 }' "$WORK/table" | median) ms," \
    "worst $(awk '{ print $2 }' "$WORK/table" | worst) ms; datagrams lost at $rate frames/s:" \
    "median $(awk '{ print $4 }' "$WORK/table" | median), worst $(awk '{ print $4 }' "$WORK/table" | worst)"
