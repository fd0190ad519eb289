#!/usr/bin/env bash
# Checks the systemd units with systemd-analyze: "verify" on copies whose ExecStart= points at the
# built programs, and the offline security review of both services against an exposure threshold.
# Then the example drop-in for keepalived of a hot-standby pair, on keepalived's own unit.
# Usage: systemd_test.sh UNIT_DIR BCSTBRIDGE_EXECUTABLE LOG_SCRIPT PROMETHEUS_SCRIPT KEEPALIVED_DROPIN ROLE_SCRIPT
set -uo pipefail
UNITS=$1
BRIDGE=$2
LOGS=$3
EXPORTER=$4
DROPIN=$5
ROLE=$6

if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: systemd-analyze is not installed (scripts/test installs systemd)"
    exit 77
fi
. "$(dirname "$0")/check_lib.sh"

# Some containers cannot run systemd-analyze at all; tell that apart from a broken unit with a unit
# that is certainly fine.
mkdir "$WORK/probe"
printf '[Service]\nType=oneshot\nExecStart=/bin/true\n' >"$WORK/probe/bcstprobe.service"
if ! systemd-analyze verify --man=no "$WORK/probe/bcstprobe.service" >"$WORK/probe.log" 2>&1; then
    echo "SKIP: systemd-analyze verify cannot run here: $(head -3 "$WORK/probe.log")"
    exit 77
fi

mkdir "$WORK/units"
install -m 0755 "$LOGS" "$WORK/bcstbridge-logs"
install -m 0755 "$EXPORTER" "$WORK/bcstbridge-prometheus"
LOGS="$WORK/bcstbridge-logs"
for unit in bcstbridge@.service bcstbridge.target bcstbridge-logs.service bcstbridge-logs.timer \
    bcstbridge-prometheus.service bcstbridge-prometheus.timer; do
    sed -e "s|/usr/bin/bcstbridge|$BRIDGE|" -e "s|/usr/libexec/bcstbridge/bcstbridge-logs|$LOGS|" \
        -e "s|/usr/libexec/bcstbridge/bcstbridge-prometheus|$WORK/bcstbridge-prometheus|" \
        "$UNITS/$unit" >"$WORK/units/$unit"
done
cd "$WORK/units"

if ! systemd-analyze verify --man=no ./bcstbridge@3.service ./bcstbridge.target ./bcstbridge-logs.service \
    ./bcstbridge-logs.timer ./bcstbridge-prometheus.service ./bcstbridge-prometheus.timer \
    >"$WORK/verify.log" 2>&1; then
    fail "systemd-analyze verify: $(cat "$WORK/verify.log")"
elif [ -s "$WORK/verify.log" ]; then
    fail "systemd-analyze verify warned: $(cat "$WORK/verify.log")"
fi

# The same check must notice a unit whose program is not there, or the pass above means nothing.
mkdir "$WORK/broken"
sed "s|^ExecStart=.*|ExecStart=$WORK/no-such-program %i|" bcstbridge@.service >"$WORK/broken/bcstbridge@.service"
if systemd-analyze verify --man=no "$WORK/broken/bcstbridge@3.service" >/dev/null 2>&1; then
    fail "systemd-analyze verify accepted a unit without its program"
fi

# Exposure on systemd's 0-10 scale (threshold in tenths): both services stay at 2.0 or below,
# the "OK" band, so removing a hardening line shows up here.
for unit in bcstbridge@.service bcstbridge-logs.service bcstbridge-prometheus.service; do
    if ! systemd-analyze security --offline=yes --threshold=20 "./$unit" >"$WORK/security.log" 2>&1; then
        fail "$unit exposure above 2.0: $(grep -E 'Overall|✗' "$WORK/security.log")"
    fi
done

# Readiness comes from the bridge once its sockets are up; only "systemctl stop" ends it for good.
grep -qx 'Type=notify' bcstbridge@.service || fail "bcstbridge@.service is not Type=notify"
grep -qx 'Restart=always' bcstbridge@.service ||
    fail "bcstbridge@.service must restart after any end but systemctl stop (Restart=always)"
# A loop that stops looping is killed and restarted: the bridge pings from its loop.
grep -qx 'WatchdogSec=10s' bcstbridge@.service || fail "bcstbridge@.service has no WatchdogSec=10s"

# The instance name is the instance number handed to the bridge.
if ! grep -q '^ExecStart=.* %i$' bcstbridge@.service; then
    fail "bcstbridge@.service does not pass the instance name to the bridge"
fi

# keepalived's unit (a stand-in where keepalived is not installed) with the drop-in, its role script
# the built one: verify reads the drop-in (a broken copy must fail), and the role script runs after
# keepalived ends in any way (ExecStopPost=), not only through keepalived's own notify_stop.
mkdir -p "$WORK/keepalived/keepalived.service.d" "$WORK/keepalived-broken/keepalived.service.d"
for dir in keepalived keepalived-broken; do
    if [ -f /lib/systemd/system/keepalived.service ]; then
        cp /lib/systemd/system/keepalived.service "$WORK/$dir/"
    else
        printf '[Service]\nType=notify\nExecStart=/bin/true\n' >"$WORK/$dir/keepalived.service"
    fi
done
sed "s|/usr/libexec/bcstbridge/bcstbridge-role|$ROLE|" "$DROPIN" >"$WORK/keepalived/keepalived.service.d/bcstbridge.conf"
sed "s|/usr/libexec/bcstbridge/bcstbridge-role|$WORK/no-such-program|" "$DROPIN" \
    >"$WORK/keepalived-broken/keepalived.service.d/bcstbridge.conf"
(cd "$WORK/keepalived" && SYSTEMD_UNIT_PATH="$WORK/keepalived:" systemd-analyze verify --man=no keepalived.service) \
    >"$WORK/verify-keepalived.log" 2>&1 || fail "keepalived drop-in: $(cat "$WORK/verify-keepalived.log")"
(cd "$WORK/keepalived-broken" &&
    SYSTEMD_UNIT_PATH="$WORK/keepalived-broken:" systemd-analyze verify --man=no keepalived.service) >/dev/null 2>&1 &&
    fail "systemd-analyze verify did not read the keepalived drop-in"
grep -qx 'ExecStopPost=/usr/libexec/bcstbridge/bcstbridge-role STOP' "$DROPIN" ||
    fail "the keepalived drop-in does not make the instances standby when keepalived ends"

finish "systemd units"
