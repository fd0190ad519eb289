#!/usr/bin/env bash
# Changes of MASTER in a hot-standby pair, timed: the pair of tests/ops/failover_test.sh (two network
# namespaces on a bridge device, a bridge instance and keepalived with the shipped configuration and
# scripts in each; tests/ops/ha_lib.sh builds it) receives a simulated feed, and the broadcast moves
# from the MASTER to the other host, SWITCHES times, each time in a pair built afresh (so that
# bcst-verify's totals are those of one switch). HOW the broadcast moves:
#   link     the MASTER's link is pulled (a failure);
#   planned  bcstbridge-role BACKUP on the MASTER, bcst-stat --once until it shows standby, then
#            keepalived restarted there (stopped as the drop-in does, started again);
#   stop     keepalived alone stopped on the MASTER (as "systemctl stop keepalived" with the drop-in),
#            started again once the other host publishes.
# For each switch: the time from the clock read just before the first command to the first output
# datagram of the new MASTER (dumpcap's time stamps on the same machine's clock), the silence on the
# wire (the old MASTER's last datagram to the new one's first; negative when both sent at once), the
# datagrams lost (bcst-verify's missing ones, and the input frames they came from) and those sent
# twice (its duplicated and extra ones). Then the median and the range. Needs root, keepalived and dumpcap (package tshark).
#
#   bench/failover.sh [BUILD_DIR] [SWITCHES] [FRAMES_PER_SECOND] [HOW]    (defaults: build 5 5000 link)
set -euo pipefail

build=${1:-build}
switches=${2:-5}
rate=${3:-5000}
how=${4:-link}
case $how in link | planned | stop) ;; *) echo "failover.sh: HOW is link, planned or stop" >&2; exit 2 ;; esac
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
net=$HA_NET
reason=$(ha_skip_reason)
[ -z "$reason" ] || { echo "failover.sh: $reason" >&2; rm -rf "$WORK"; exit 1; }
trap 'ha_cleanup || true; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM HUP

die() { echo "failover.sh: $*" >&2; exit 1; }
backups() { grep -c 'Entering BACKUP STATE' "$WORK/$1/keepalived.log"; }
priority() { [ "$1" = a ] && echo 150 || echo 100; }
standby_shown() { "$STAT" --once -i 1 "$WORK/$1" | grep -q ' standby '; }

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
    "kernel $(uname -r), keepalived $(keepalived --version 2>&1 | head -1 | cut -d' ' -f2); $rate frames/s," \
    "advert_int 0.1, switch by $how; load average $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$WORK/table"
for ((k = 1; k <= switches; k++)); do
    HA_NET=$net
    ha_start_pair || die "switch $k: the pair did not come up"
    old=$(ha_master) || die "switch $k: no single MASTER"
    new=$([ "$old" = a ] && echo b || echo a)
    ha_start_feed "$rate"
    ha_wait 150 ha_sent_beyond "$old" 5000 0 || die "switch $k: MASTER $old does not publish"
    # The host about to take over must be a healthy BACKUP, its store kept by the feed.
    ha_wait 100 ha_is_backup $new || die "switch $k: host $new is not BACKUP"
    count=$(backups $old)
    start=$(date +%s%6N)
    case $how in
        link) ip -n "$(ha_ns "$old")" link set eth0 down ;;
        planned)
            "$ROLE" --directory "$WORK/$old" --instances "$WORK/$old/instances" BACKUP >/dev/null 2>&1
            ha_wait 50 standby_shown $old || die "switch $k: bcst-stat does not show host $old standby"
            ha_stop_keepalived $old || die "switch $k: keepalived on $old did not stop"
            ha_start_keepalived $old "$(priority $old)" || die "switch $k: keepalived on $old did not start" ;;
        stop) ha_stop_keepalived $old || die "switch $k: keepalived on $old did not stop" ;;
    esac
    ha_wait 100 ha_is_master $new || die "switch $k: host $new did not become MASTER within 10 s"
    ha_wait 150 ha_sent_beyond $new 1 0 || die "switch $k: new MASTER $new does not publish"
    case $how in
        link) ha_restore_link $old ;;
        stop) ha_start_keepalived $old "$(priority $old)" || die "switch $k: keepalived on $old did not start" ;;
    esac
    ha_wait 100 bash -c "[ \$(grep -c 'Entering BACKUP STATE' '$WORK/$old/keepalived.log') -gt $count ]" ||
        die "switch $k: host $old did not return to BACKUP"
    before=$(ha_sent $old)
    sleep 2 # the new MASTER publishes a while
    ! ha_sent_beyond $old 1 "$before" || die "switch $k: host $old publishes again"
    ha_stop_feed || true
    frames() { "$STAT" --json --interval 0.1 -i 1 "$WORK/$new" | sed -n 's/.*"frames_mbp":\([0-9]*\).*/\1/p'; }
    settled() { local before; before=$(frames); sleep 0.2; [ "$(frames)" = "$before" ]; }
    ha_wait 100 settled || echo "note: MASTER $new still taking in frames 10 s after the feed stopped"
    sleep 0.5 # what the last sends put on the segment reaches dumpcap's buffer
    ha_stop_capture
    grep -h 'dropped on interface' "$WORK/dumpcap.log" | grep -v '/0 (' || true

    "$VERIFY" "$WORK/in.pcap" "$WORK/out.pcap" --segment CM --max-report 0 >"$WORK/verify.out" 2>&1 || true
    [ "$k" -gt 1 ] || { grep -E '^(output from|gap:)' "$WORK/verify.out" || true; tail -n 1 "$WORK/verify.out"; }
    # Sent twice: the datagrams both hosts sent (duplicated), and any that did not line up (extra).
    read -r missing extra duplicated < <(sed -n \
        's/.* \([0-9]*\) missing, \([0-9]*\) extra,.*, \([0-9]*\) duplicated,.*/\1 \2 \3/p' "$WORK/verify.out") ||
        die "switch $k: no summary from bcst-verify: $(tail -n 3 "$WORK/verify.out")"
    extra=$((extra + duplicated))
    # The old MASTER's last datagram and the new one's first, from the runs of datagrams by sender.
    runs=$(sed -n 's/^output from \([0-9.]*\): .*), \([0-9:.]*\) to \([0-9:.]*\).*/\1 \2 \3/p' "$WORK/verify.out")
    old_last=$(awk -v a="$(ha_address $old)" '$1 == a { t = $3 } END { print t }' <<<"$runs")
    new_first=$(awk -v a="$(ha_address $new)" '$1 == a { print $2; exit }' <<<"$runs")
    [ -n "$old_last" ] && [ -n "$new_first" ] || die "switch $k: no change of sender in the output"
    changes=$(($(wc -l <<<"$runs") - 1))
    # The input frames whose datagrams were lost, from bcst-verify's gaps.
    frames_lost=$(sed -n 's/^gap: .* missing ([0-9]*, from input datagrams \([0-9]*\)-\([0-9]*\))$/\1 \2/p' \
        "$WORK/verify.out" | awk '{ n += $2 - $1 + 1 } END { print n + 0 }')
    printf '%6d  %23d  %24d  %14d  %15d  %16d  %16d\n' "$k" \
        $((($(ha_epoch_us "$new_first") - start) / 1000)) \
        $((($(ha_epoch_us "$new_first") - $(ha_epoch_us "$old_last")) / 1000)) "$missing" "$extra" "$changes" \
        "$frames_lost" >>"$WORK/table"
    ha_cleanup || true
    rm -rf "${WORK:?}/a" "${WORK:?}/b" "$WORK"/*.pcap "$WORK"/*.log "$WORK/verify.out"
done

echo
echo "switch  to first datagram (ms)  silence on the wire (ms)  datagrams lost  datagrams twice  changes of sender  input frames lost"
cat "$WORK/table"
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)) }'; }
range() { sort -n | sed -n '1p;$p' | paste -sd' ' | sed 's/ / to /'; }
for col in 2:"to the first datagram (ms)" 3:"silence (ms)" 4:"lost" 5:"twice"; do
    echo "${col#*:}: median $(awk -v c="${col%%:*}" '{ print $c }' "$WORK/table" | median)," \
        "range $(awk -v c="${col%%:*}" '{ print $c }' "$WORK/table" | range)"
done
