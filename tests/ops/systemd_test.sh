#!/usr/bin/env bash
# Checks the systemd units with systemd-analyze: "verify" on copies whose ExecStart= points at the
# built programs, and the offline security review of both services against an exposure threshold.
# Usage: systemd_test.sh UNIT_DIR BCSTBRIDGE_EXECUTABLE LOG_SCRIPT PROMETHEUS_SCRIPT
set -uo pipefail
UNITS=$1
BRIDGE=$2
LOGS=$3
EXPORTER=$4

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

finish "systemd units"
