#!/usr/bin/env bash
# The keepalived scripts of a hot-standby pair, without keepalived. bcstbridge-role: a table of command
# lines, run in turn on one directory, each with the exit status and the standby files it must leave
# (a bad command line or instance list changes nothing); its record file holds every action it
# printed, and a record that syslog refuses or that cannot be written is said on stderr without
# failing the change. bcstbridge-healthy: against a real bridge instance on loopback,
# healthy while it runs (standby or not), unhealthy once stopped with SIGSTOP for over 2 s and once
# killed, and for an instance that was never started.
# Usage: ha_role_test.sh ROLE_SCRIPT HEALTHY_SCRIPT BCSTBRIDGE BCST_STAT
set -uo pipefail
ROLE=$1 HEALTHY=$2 BRIDGE=$3 STAT=$4
. "$(dirname "$0")/check_lib.sh"
BRIDGE_PID=""
trap '[ -z "$BRIDGE_PID" ] || { kill -CONT $BRIDGE_PID; kill $BRIDGE_PID; wait $BRIDGE_PID; } 2>/dev/null; rm -rf "$WORK"' EXIT

D="$WORK/state"
mkdir "$D"
standby_files() { (cd "$D" && ls -A | sed -n 's/^BcstBridge\([0-9]*\)\.standby$/\1/p' | sort -n | tr '\n' ' '); }
# Instance lists, named relative to $WORK; loggers that take the record or refuse it as logger does
# without a syslog socket.
cd "$WORK" || exit 1
printf '# this host\n2\n 3 # the third\n' >list
printf '# none yet\n' >empty
printf '2 x\n' >bad
mkdir accepting refusing
printf '#!/bin/sh\necho "$*" >>%q\n' "$WORK/syslog" >accepting/logger
printf '#!/bin/sh\necho "logger: socket /dev/log: No such file or directory" >&2\nexit 1\n' >refusing/logger
chmod +x accepting/logger refusing/logger

# command line | exit status | the instances with a standby file afterwards
while IFS='|' read -r args status after; do
    args=$(echo $args) status=$(echo $status) after=$(echo $after)
    # shellcheck disable=SC2086
    PATH="$WORK/accepting:$PATH" "$ROLE" --directory "$D" $args >"$WORK/out" 2>&1
    got=$?
    [ "$got" != 0 ] || cat "$WORK/out" >>"$WORK/printed"
    files=$(standby_files)
    [ "$got" = "$status" ] || fail "bcstbridge-role $args: status $got, $status expected: $(cat "$WORK/out")"
    [ "$files" = "${after:+$after }" ] || fail "bcstbridge-role $args: standby files of '$files', '$after' expected"
done <<'TABLE'
1 2 BACKUP          | 0 | 1 2
1 2 BACKUP          | 0 | 1 2
2 MASTER            | 0 | 1
2 MASTER            | 0 | 1
1 2 FAULT           | 0 | 1 2
01 MASTER           | 0 | 2
3 32767 STOP        | 0 | 2 3 32767
2 3 32767 MASTER    | 0 |
--instances list BACKUP | 0 | 2 3
--instances=list MASTER | 0 |
1 BACKUP            | 0 | 1
2 SLAVE             | 2 | 1
2 backup            | 2 | 1
0 BACKUP            | 2 | 1
32768 BACKUP        | 2 | 1
2 x3 BACKUP         | 2 | 1
2 -3 BACKUP         | 2 | 1
2 3.0 BACKUP        | 2 | 1
1 MASTER 2          | 2 | 1
--instances missing MASTER | 2 | 1
--instances empty BACKUP | 2 | 1
--instances bad BACKUP | 2 | 1
--instances list    | 2 | 1
2                   | 2 | 1
                    | 2 | 1
--bogus 2 BACKUP    | 2 | 1
TABLE

for script in "$ROLE" "$HEALTHY"; do
    [[ $("$script" --version) == "$(basename "$script") (bcstbridge) "[0-9]* ]] || fail "$script --version"
done
# The files are empty, readable by the bridge's user, and no temporary file stays behind.
[ "$(stat -c '%s %a' "$D/BcstBridge1.standby")" = "0 644" ] ||
    fail "standby file: $(stat -c 'size %s mode %a' "$D/BcstBridge1.standby")"
[ "$(ls -A "$D" | grep -vx bcstbridge-role.log)" = BcstBridge1.standby ] || fail "left in the directory: $(ls -A "$D")"
# The record: every line printed, each with the time and the process, and syslog had the same.
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} bcstbridge-role\[[0-9]+\]: '
[ "$(grep -Evc "$stamp(MASTER|BACKUP|FAULT|STOP): instance " "$D/bcstbridge-role.log")" = 0 ] ||
    fail "record lines without a time, process and action: $(grep -Ev "$stamp" "$D/bcstbridge-role.log")"
diff <(sed -E "s/$stamp//" "$D/bcstbridge-role.log") <(sed 's/^bcstbridge-role: //' "$WORK/printed") >/dev/null ||
    fail "the record differs from what was printed: $(diff <(sed -E "s/$stamp//" "$D/bcstbridge-role.log") "$WORK/printed")"
diff <(sed 's/^--socket-errors=on -t bcstbridge-role -- //' "$WORK/syslog") <(sed 's/^bcstbridge-role: //' "$WORK/printed") >/dev/null ||
    fail "syslog got other lines than were printed: $(head -n 3 "$WORK/syslog")"
grep -q "\]: MASTER: instance 2 active: removed $D/BcstBridge2.standby\$" "$D/bcstbridge-role.log" ||
    fail "the record has no MASTER line for instance 2"
# One that cannot be removed (a directory of that name) fails the run, and the others are still done.
mkdir "$D/BcstBridge5.standby"
"$ROLE" --directory="$D" 1 5 MASTER >/dev/null 2>&1
[ $? -eq 1 ] && [ ! -e "$D/BcstBridge1.standby" ] || fail "MASTER with one file that stays: status 1, the others removed"
grep -q "MASTER: cannot remove $D/BcstBridge5.standby; instance 5 stays standby\$" "$D/bcstbridge-role.log" ||
    fail "a file that could not be removed is not in the record"
# syslog refusing, or a record file that cannot be written: said on stderr, the role changes anyway.
mkdir -p "$WORK/unwritable/bcstbridge-role.log"
for dir in "$D" "$WORK/unwritable"; do
    PATH="$WORK/refusing:$PATH" "$ROLE" --directory "$dir" 7 BACKUP >/dev/null 2>"$WORK/err"
    [ $? -eq 0 ] && [ -e "$dir/BcstBridge7.standby" ] || fail "$dir: no standby with syslog refusing: $(cat "$WORK/err")"
    kept="only in $dir/bcstbridge-role.log"
    [ "$dir" = "$D" ] || kept="only in this output"
    grep -qxF "bcstbridge-role: syslog refused the record (logger: socket /dev/log: No such file or directory); it is $kept" \
        "$WORK/err" || fail "$dir: syslog's refusal not said: $(cat "$WORK/err")"
done
grep -qxF "bcstbridge-role: cannot write the record to $WORK/unwritable/bcstbridge-role.log" "$WORK/err" ||
    fail "a record file that cannot be written is not said: $(cat "$WORK/err")"
"$ROLE" --directory "$WORK/none" 1 BACKUP >/dev/null 2>&1
[ $? -eq 1 ] && [ ! -e "$WORK/none" ] || fail "a missing directory: status 1 and nothing created"

# ---- bcstbridge-healthy against a running instance --------------------------------------------
free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Waits (at most $1 tenths of a second) until the rest of the command line succeeds.
wait_for() {
    local tenths=$1 i
    shift
    for ((i = 0; i < tenths; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}
healthy() { BCST_STAT=$STAT "$HEALTHY" --directory "$D" "$@" 2>"$WORK/healthy.err"; }
unhealthy() { ! healthy "$@"; }

printf 'HEADER\n\nCM,239.33.7.1,%d,239.33.7.2,%d,127.0.0.1,127.0.0.1,Y\n' "$(free_port)" "$(free_port)" >"$D/BCSTBRIDGE.INI"
(cd "$D" && exec "$BRIDGE" 2) &
BRIDGE_PID=$!
wait_for 100 test -s "$D/BcstBridge2.counters" || { fail "the bridge did not start"; finish "ha scripts"; exit; }
wait_for 100 healthy 2 || fail "a running instance is not healthy: $(cat "$WORK/healthy.err")"
[ ! -s "$WORK/healthy.err" ] || fail "healthy printed: $(cat "$WORK/healthy.err")"
"$ROLE" --directory "$D" 2 BACKUP >/dev/null 2>&1
echo 2 >"$WORK/two"
healthy 2 || fail "a standby instance is not healthy: $(cat "$WORK/healthy.err")"
unhealthy 2 4 || fail "instance 4 has no counters file and was found healthy"
healthy --instances "$WORK/two" || fail "instance 2 from a list is not healthy: $(cat "$WORK/healthy.err")"
unhealthy --instances "$WORK/list" || fail "instances 2 and 3 from a list were found healthy"
for args in "" "0" "2 x" "--bogus 2" "--instances $WORK/empty" "--instances $WORK/missing"; do
    # shellcheck disable=SC2086
    BCST_STAT=$STAT "$HEALTHY" --directory "$D" $args 2>/dev/null
    [ $? -eq 2 ] || fail "bcstbridge-healthy $args: status 2 expected"
done
# Installed as /usr/libexec/bcstbridge/bcstbridge-healthy it finds /usr/bin/bcst-stat without help.
mkdir -p "$WORK/usr/libexec/bcstbridge" "$WORK/usr/bin"
cp "$HEALTHY" "$WORK/usr/libexec/bcstbridge/"
ln -s "$STAT" "$WORK/usr/bin/bcst-stat"
PATH=/usr/bin:/bin "$WORK/usr/libexec/bcstbridge/bcstbridge-healthy" --directory "$D" 2 ||
    fail "installed beside bin/bcst-stat, bcstbridge-healthy did not find it"

kill -STOP $BRIDGE_PID
wait_for 100 unhealthy 2 || fail "stopped with SIGSTOP for 10 s, still healthy"
grep -q stalled "$WORK/healthy.err" || fail "a stopped instance is not reported stalled: $(cat "$WORK/healthy.err")"
kill -CONT $BRIDGE_PID
wait_for 100 healthy 2 || fail "continued, not healthy again: $(cat "$WORK/healthy.err")"
kill -9 $BRIDGE_PID
wait $BRIDGE_PID 2>/dev/null
BRIDGE_PID=""
unhealthy 2 || fail "a killed instance is healthy"
grep -q "not running" "$WORK/healthy.err" || fail "a killed instance is not reported not running: $(cat "$WORK/healthy.err")"
finish "ha scripts"
