#!/usr/bin/env bash
# A real failover of a hot-standby pair: two hosts (network namespaces on a bridge device, see
# ha_lib.sh), each with its bridge instance started standby and its keepalived running the shipped
# example configuration and scripts, receive a simulated feed of 1,000 frames/s. Checked: one host
# becomes MASTER and only it publishes; when its link goes down the other becomes MASTER and
# publishes; the output changes source exactly once; bcst-verify of the input against the output
# finds nothing differing or extra, only one run of missing datagrams (the gap); the old master, its
# link back, stays BACKUP and sends nothing. Prints the datagrams by source and the loss.
# Usage: failover_test.sh SOURCE_DIR BCSTBRIDGE BCST_FEED BCST_STAT BCST_VERIFY ROLE HEALTHY
set -uo pipefail
SRC=$1 BRIDGE=$2 FEED=$3 STAT=$4 VERIFY=$5 ROLE=$6 HEALTHY=$7
KEEPALIVED_CONF=$SRC/examples/keepalived.conf
HA_NAME=bcstha HA_NET=10.213 HA_GROUP=239.213
. "$(dirname "$0")/check_lib.sh"
. "$(dirname "$0")/ha_lib.sh"
reason=$(ha_skip_reason)
[ -z "$reason" ] || { echo "SKIP: $reason"; exit 77; }
trap 'ha_cleanup; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM HUP
started=$(date +%s)

# Stops the test with what went wrong and the logs that tell why.
abort() {
    fail "$1"
    for host in a b; do
        echo "--- host $host: keepalived"; tail -n 15 "$WORK/$host/keepalived.log" 2>/dev/null
        echo "--- host $host: bridge"; tail -n 5 "$WORK/$host"/BcstBridge1_*.log 2>/dev/null
    done
    finish failover
    exit 1
}
ha_start_pair || abort "the pair did not come up"
old=$(ha_master)
new=$([ "$old" = a ] && echo b || echo a)
ha_wait 50 ha_is_backup $new || abort "host $new is not BACKUP beside MASTER $old"
echo "host $old is MASTER, host $new BACKUP"

ha_start_feed 1000
ha_wait 150 ha_sent_beyond $old 2000 0 || abort "MASTER $old does not publish"
[ "$(ha_sent $new)" -eq 0 ] || fail "BACKUP $new sent $(ha_sent $new) datagrams while $old was MASTER"
[ "$(ha_role $new)" = standby ] || fail "host $new's bridge is $(ha_role $new), not standby"

fail_time=$(ha_fail_link $old)
ha_wait 100 ha_is_master $new || abort "host $new did not become MASTER within 10 s of $old's link going down"
[ -e "$WORK/$old/BcstBridge1.standby" ] || fail "host $old (link down) has no standby file"
ha_wait 150 ha_sent_beyond $new 2000 0 || abort "new MASTER $new does not publish"

faults=$(grep -c 'Entering BACKUP STATE' "$WORK/$old/keepalived.log")
ha_restore_link $old
backup_again() { [ "$(grep -c 'Entering BACKUP STATE' "$WORK/$old/keepalived.log")" -gt "$faults" ]; }
ha_wait 100 backup_again || fail "host $old did not return to BACKUP within 10 s of its link coming back"
# Three seconds of adverts from the new master: the old one must neither preempt nor send.
before=$(ha_sent $old) new_before=$(ha_sent $new)
sleep 3
ha_is_master $new || fail "host $new lost MASTER to the returning $old (nopreempt)"
ha_is_backup $old && [ "$(ha_role $old)" = standby ] || fail "host $old is not BACKUP and standby after its return"
[ "$(ha_sent $old)" -eq "$before" ] || fail "host $old sent $(($(ha_sent $old) - before)) datagrams after its return"
[ "$(ha_sent $new)" -gt "$new_before" ] || fail "host $new stopped publishing after $old's return"

ha_stop_feed
mbp=$(sed -n 's/.*(\([0-9]*\) market-by-price.*/\1/p' "$WORK/feed.log")
took_all() { "$STAT" --json --interval 0.1 -i 1 "$WORK/$new" | grep -q "\"frames_mbp\":$mbp,"; }
ha_wait 100 took_all || fail "host $new did not take in all $mbp market-by-price frames"
sleep 0.5 # what the last sends put on the segment reaches dumpcap's buffer
ha_stop_capture

# bcst-verify shows the output's senders in order and the gaps: host old's datagrams, then host new's,
# one gap between them, nothing differing, extra, reordered or sent twice.
"$VERIFY" "$WORK/in.pcap" "$WORK/out.pcap" --segment CM --max-report 20 >"$WORK/verify.out" 2>&1
grep -E '^(output from|gap:)' "$WORK/verify.out"
summary=$(tail -n 1 "$WORK/verify.out")
echo "$summary"
read -r matched differing missing extra unseen reordered duplicated < <(sed -n \
    's/.*: \([0-9]*\) matched, \([0-9]*\) differing, \([0-9]*\) missing, \([0-9]*\) extra, \([0-9]*\) differing only[^,]*, \([0-9]*\) reordered, \([0-9]*\) duplicated.*/\1 \2 \3 \4 \5 \6 \7/p' \
    <<<"$summary")
[ -n "${matched:-}" ] || abort "no summary from bcst-verify: $(tail -n 3 "$WORK/verify.out")"
[ "$differing" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$unseen" -eq 0 ] && [ "$reordered" -eq 0 ] &&
    [ "$duplicated" -eq 0 ] ||
    fail "bcst-verify: $differing differing, $extra extra, $unseen not yet seen, $reordered reordered," \
        "$duplicated sent twice"
senders=$(sed -n 's/^output from \([0-9.]*\): .*/\1/p' "$WORK/verify.out" | tr '\n' ' ')
[ "$senders" = "$(ha_address $old) $(ha_address $new) " ] ||
    fail "the output changed source other than once from $(ha_address $old) to $(ha_address $new): ${senders:-one sender}"
gaps=$(grep -c '^gap:' "$WORK/verify.out")
[ "$missing" -gt 0 ] && [ "$gaps" -eq 1 ] || fail "$missing datagrams missing in $gaps gaps; one gap expected"
first_new=$(ha_epoch_us "$(sed -n "s/^output from $(ha_address $new): .*), \([0-9:.]*\) to .*/\1/p" "$WORK/verify.out")")
echo "lost at the failover: $missing datagrams; first datagram of the new MASTER" \
    "$(( (first_new - fail_time) / 1000 )) ms after the link went down; test took $(($(date +%s) - started)) s"
finish failover "$matched datagrams matched"
