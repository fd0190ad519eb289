#!/usr/bin/env bash
# The counters reach Prometheus for real: a relay instance is fed by bcst-feed, the packaged exporter
# script writes "bcst-stat --prometheus" into a textfile directory, a real node_exporter on a loopback
# port serves it, and the scraped bcstbridge_* values must match the feed and the bridge's own
# statistics line. promtool checks the exposition format where Debian's prometheus package is there.
# Then an unreadable counters file and a second name for a file: the first is published as down with
# its reason, the second not at all. The exporter script publishes only complete files and refuses
# stray arguments.
# Usage: prometheus_test.sh BCSTBRIDGE BCST_FEED BCST_STAT EXPORTER_SCRIPT
set -uo pipefail
BRIDGE=$1
FEED=$2
STAT=$3
EXPORTER=$4

if ! command -v prometheus-node-exporter >/dev/null; then
    echo "SKIP: prometheus-node-exporter is not installed (scripts/test installs it)"
    exit 77
fi
. "$(dirname "$0")/check_lib.sh"
PIDS=()
stop_all() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap stop_all EXIT

free_port() {
    python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, getattr(socket, sys.argv[1])); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' "$1"
}
# Waits (at most 10 s) until the command given succeeds.
wait_for() {
    local tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 200 ] || return 1
        sleep 0.05
    done
}

mkdir "$WORK/state" "$WORK/textfile"
cd "$WORK/state"
in_port=$(free_port SOCK_DGRAM)
printf 'HEADER\n\nCM,239.33.1.1,%d,239.33.1.2,%d,127.0.0.1,127.0.0.1,Y\n' "$in_port" "$(free_port SOCK_DGRAM)" \
    >BCSTBRIDGE.INI
"$BRIDGE" 2 &
PIDS+=($!)
BRIDGE_PID=$!
wait_for test -s BcstBridge2.counters || { fail "the bridge did not start: $(cat BcstBridge2_*.log)"; finish prometheus; exit; }

"$FEED" --group 239.33.1.1 --port "$in_port" --interface 127.0.0.1 --seed 3 --instruments 10 --frames 200 \
    --rate 2000 --quiet 2>"$WORK/feed.err" || fail "bcst-feed: $(cat "$WORK/feed.err")"
"$FEED" --group 239.33.1.1 --port "$in_port" --interface 127.0.0.1 --seed 3 --instruments 10 --frames 200 \
    --no-send 2>"$WORK/feed-plan.err" >/dev/null
read -r mbp ohl ticker < <(sed -n 's/.*(\([0-9]*\) market-by-price, \([0-9]*\) open\/high\/low, \([0-9]*\) ticker).*/\1 \2 \3/p' \
    "$WORK/feed-plan.err")
[ -n "${mbp:-}" ] || fail "no frame counts from bcst-feed: $(cat "$WORK/feed-plan.err")"
taken_in() { "$STAT" --json -i 2 | grep -q "\"frames_mbp\":$mbp,"; }
wait_for taken_in || fail "the bridge did not take in $mbp frames"
kill -USR1 "$BRIDGE_PID"
wait_for test -s UDP_STATISTICS.txt || fail "no statistics line"
IFS=, read -r _ received sent _ <UDP_STATISTICS.txt
received=${received// /} sent=${sent// /}

BCST_STAT=$STAT "$EXPORTER" "$WORK/state" "$WORK/textfile" || fail "exporter script failed"
[ "$(ls -A "$WORK/textfile")" = bcstbridge.prom ] || fail "textfile directory holds: $(ls -A "$WORK/textfile")"
if command -v promtool >/dev/null; then
    promtool check metrics <"$WORK/textfile/bcstbridge.prom" >"$WORK/promtool.log" 2>&1 ||
        fail "promtool check metrics: $(cat "$WORK/promtool.log")"
else
    echo "note: promtool not installed (Debian package prometheus), exposition format not linted"
fi

port=$(free_port SOCK_STREAM)
prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$WORK/textfile" >"$WORK/exporter.log" 2>&1 &
PIDS+=($!)
wait_for curl -sf "http://127.0.0.1:$port/metrics" -o "$WORK/metrics" ||
    fail "node_exporter did not answer: $(cat "$WORK/exporter.log")"

labels='instance="2",segment="CM"'
for expected in \
    "bcstbridge_up{$labels} 1" \
    "bcstbridge_frames_total{$labels,type=\"mbp\"} $mbp" \
    "bcstbridge_frames_total{$labels,type=\"ohl\"} $ohl" \
    "bcstbridge_frames_total{$labels,type=\"ticker\"} $ticker" \
    "bcstbridge_datagrams_received_total{$labels} $received" \
    "bcstbridge_datagrams_sent_total{$labels} $sent" \
    "bcstbridge_refused_frames_total{instance=\"2\",reason=\"decode_failure\",segment=\"CM\"} 0" \
    "bcstbridge_kernel_drops_total{$labels} 0" \
    "bcstbridge_store_entries{$labels} 10" \
    "# TYPE bcstbridge_frames_total counter" \
    "node_textfile_scrape_error 0"; do
    grep -qxF "$expected" "$WORK/metrics" || fail "scrape lacks: $expected"
done
[ "$received" = "$mbp" ] || fail "statistics line: $received received, $mbp market-by-price frames sent"
# The histogram: one observation per datagram handled, all of them in the +Inf bucket.
handled=$(sed -n "s/^bcstbridge_service_seconds_count{$labels} //p" "$WORK/metrics")
[ "${handled:-0}" -ge "$mbp" ] || fail "service_seconds_count ${handled:-none}, $mbp frames handled at least"
grep -qxF "bcstbridge_service_seconds_bucket{$labels,le=\"+Inf\"} $handled" "$WORK/metrics" ||
    fail "+Inf bucket is not the count $handled"

# An instance whose counters file was cut to nothing stays in the scrape, down and why; a symbolic link
# to instance 2's file is not a second instance.
: >BcstBridge9.counters
ln -s BcstBridge2.counters BcstBridge12.counters
BCST_STAT=$STAT "$EXPORTER" "$WORK/state" "$WORK/textfile" 2>"$WORK/exporter.err"
[ $? -eq 1 ] || fail "exporter script: status 1 expected for an unreadable file"
if command -v promtool >/dev/null; then
    promtool check metrics <"$WORK/textfile/bcstbridge.prom" >"$WORK/promtool.log" 2>&1 ||
        fail "promtool check metrics with a down instance: $(cat "$WORK/promtool.log")"
fi
curl -sf "http://127.0.0.1:$port/metrics" -o "$WORK/metrics" || fail "second scrape failed"
for expected in \
    'bcstbridge_up{instance="9",reason="truncated",segment=""} 0' \
    'bcstbridge_up{instance="2",reason="",segment="CM"} 1' \
    "node_textfile_scrape_error 0"; do
    grep -qxF "$expected" "$WORK/metrics" || fail "second scrape lacks: $expected"
done
! grep -q 'instance="12"' "$WORK/metrics" || fail "the link was published as instance 12"

# Stray arguments never become the metrics file, nor does the output of a failing bcst-stat.
published=$(cat "$WORK/textfile/bcstbridge.prom")
version=$("$EXPORTER" --version) || fail "exporter --version failed"
[[ $version == "bcstbridge-prometheus (bcstbridge) "[0-9]* ]] || fail "exporter --version: $version"
for args in "--bogus" "$WORK/state --bogus" "a b c"; do
    # shellcheck disable=SC2086
    BCST_STAT=$STAT "$EXPORTER" $args "$WORK/textfile" 2>/dev/null
    [ $? -eq 2 ] || fail "exporter $args: status 2 expected"
done
printf '#!/bin/sh\nprintf "bcstbridge_up{instance=\\"2\\""\nkill -9 $$\n' >"$WORK/dying-stat"
chmod +x "$WORK/dying-stat"
BCST_STAT=$WORK/dying-stat "$EXPORTER" "$WORK/state" "$WORK/textfile" 2>/dev/null && fail "exporter: a killed bcst-stat went unnoticed"
[ "$(cat "$WORK/textfile/bcstbridge.prom")" = "$published" ] || fail "the metrics file changed after a failed run"
[ "$(ls -A "$WORK/textfile")" = bcstbridge.prom ] || fail "textfile directory holds: $(ls -A "$WORK/textfile")"
finish "node_exporter scrape" "$mbp market-by-price frames, $sent datagrams"
