#!/usr/bin/env bash
# Runs the log housekeeping script on a directory of dated logs with a fixed "today" and checks
# which files are compressed, removed and left alone.
# Usage: log_retention_test.sh BCSTBRIDGE-LOGS-SCRIPT VERSION
set -uo pipefail
SCRIPT=$1
VERSION=$2
. "$(dirname "$0")/check_lib.sh"

stamp() { # name: the date of a log name as YYYY-MM-DD
    [[ $1 =~ _([0-9]+)_([0-9]+)_([0-9]{4})\.log ]] && printf '%s-%02d-%02d' "${BASH_REMATCH[3]}" \
        "$((10#${BASH_REMATCH[2]}))" "$((10#${BASH_REMATCH[1]}))"
}
add() { # name [touch-date]
    printf '\n9:5:7 - entry of %s' "$1" >"$DIR/$1"
    touch -d "${2:-$(stamp "$1") 12:00}" "$DIR/$1"
}

# ---- a month of logs, today being 5 March 2024 (2024 is a leap year: 4 February is 30 days back) ----
DIR="$WORK/state"
mkdir "$DIR"
add BcstBridge3_5_3_2024.log "2024-03-05 01:00"  # today: still being written
add BcstBridge3_6_3_2024.log "2024-03-05 01:00"  # dated tomorrow (clock put back): left alone
add BcstBridge3_4_3_2024.log                     # yesterday: compressed
add BcstBridge-25536_4_3_2024.log                # negative instance number: compressed
add BcstBridge12_20_2_2024.log                   # 14 days: compressed
add BcstBridge3_5_2_2024.log                     # 29 days: compressed
add BcstBridge3_1_1_2024.log                     # 64 days, never compressed: removed
add BcstBridge3_4_2_2024.log                     # 30 days: removed
add BcstBridge3_3_3_2024.log "now"               # old name, written a moment ago: left alone
add BcstBridge3_2_3_2024.log                     # beside an older .gz of the same day: appended
printf '\n1:0:0 - earlier part' | gzip -c >"$DIR/BcstBridge3_2_3_2024.log.gz"
printf '\n1:0:0 - old' | gzip -c >"$DIR/BcstBridge4_3_2_2024.log.gz" # 31 days: removed
touch -d "2024-02-03 12:00" "$DIR/BcstBridge4_3_2_2024.log.gz"
printf '\n1:0:0 - kept' | gzip -c >"$DIR/BcstBridge4_10_2_2024.log.gz" # 24 days: kept
touch -d "2024-02-10 12:00" "$DIR/BcstBridge4_10_2_2024.log.gz"
# Not logs of the bridge: never touched, however old.
for other in UDP_STATISTICS.txt BCSTBRIDGE.INI notes.log BcstBridge3_x_3_2024.log BcstBridge3_4_3_2024.log.bak; do
    echo "$other" >"$DIR/$other"
    touch -d "2023-01-01 12:00" "$DIR/$other"
done
before=$(cd "$DIR" && md5sum BcstBridge3_4_3_2024.log BcstBridge-25536_4_3_2024.log BcstBridge12_20_2_2024.log \
    BcstBridge3_5_2_2024.log)

out=$(BCSTBRIDGE_TODAY=2024-03-05 "$SCRIPT" "$DIR")
[ $? -eq 0 ] || fail "script failed: $out"
[ "$out" = "bcstbridge-logs: $DIR: compressed 5, removed 3" ] || fail "summary: $out"

expected="BCSTBRIDGE.INI
BcstBridge-25536_4_3_2024.log.gz
BcstBridge12_20_2_2024.log.gz
BcstBridge3_2_3_2024.log.gz
BcstBridge3_3_3_2024.log
BcstBridge3_4_3_2024.log.bak
BcstBridge3_4_3_2024.log.gz
BcstBridge3_5_2_2024.log.gz
BcstBridge3_5_3_2024.log
BcstBridge3_6_3_2024.log
BcstBridge3_x_3_2024.log
BcstBridge4_10_2_2024.log.gz
UDP_STATISTICS.txt
notes.log"
actual=$(cd "$DIR" && ls -1 | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "files after the run:
$(diff <(echo "$expected") <(echo "$actual"))"

# Compressed logs hold exactly the original bytes and keep their modification time.
while read -r sum name; do
    [ -f "$DIR/$name.gz" ] || continue
    [ "$(zcat "$DIR/$name.gz" | md5sum | cut -d' ' -f1)" = "$sum" ] || fail "$name.gz does not hold the log"
    [ "$(date -r "$DIR/$name.gz" +%F)" = "$(stamp "$name")" ] || fail "$name.gz lost its modification time"
done <<<"$before"
[ "$(zcat "$DIR/BcstBridge3_2_3_2024.log.gz")" = "$(printf '\n1:0:0 - earlier part\n9:5:7 - entry of BcstBridge3_2_3_2024.log')" ] ||
    fail "appended log: $(zcat "$DIR/BcstBridge3_2_3_2024.log.gz" | od -c | head -5)"
for other in UDP_STATISTICS.txt BCSTBRIDGE.INI notes.log BcstBridge3_x_3_2024.log BcstBridge3_4_3_2024.log.bak; do
    [ "$(cat "$DIR/$other")" = "$other" ] || fail "$other was changed"
done
[ "$(cat "$DIR/BcstBridge3_5_3_2024.log")" = "$(printf '\n9:5:7 - entry of BcstBridge3_5_3_2024.log')" ] ||
    fail "today's log was changed"

# A second run finds nothing more to do.
out=$(BCSTBRIDGE_TODAY=2024-03-05 "$SCRIPT" "$DIR")
[ "$out" = "bcstbridge-logs: $DIR: compressed 0, removed 0" ] || fail "second run: $out"

# ---- periods set to 0: today's log is still never touched, nor is yesterday's removed -----------------
DIR="$WORK/zero"
mkdir "$DIR"
add BcstBridge1_5_3_2024.log "2024-03-05 01:00"
add BcstBridge1_4_3_2024.log
out=$(BCSTBRIDGE_TODAY=2024-03-05 BCSTBRIDGE_LOG_COMPRESS_DAYS=0 BCSTBRIDGE_LOG_KEEP_DAYS=0 "$SCRIPT" "$DIR")
[ "$(cd "$DIR" && ls -1 | LC_ALL=C sort | tr '\n' ' ')" = "BcstBridge1_4_3_2024.log.gz BcstBridge1_5_3_2024.log " ] ||
    fail "with periods of 0: $(ls "$DIR") ($out)"

# ---- a retention period of 7 days, across the turn of the year ----------------------------------------
DIR="$WORK/year"
mkdir "$DIR"
add BcstBridge2_31_12_2023.log # 5 days before 5 January: compressed
add BcstBridge2_29_12_2023.log # 7 days: removed
out=$(BCSTBRIDGE_TODAY=2024-01-05 BCSTBRIDGE_LOG_KEEP_DAYS=7 "$SCRIPT" "$DIR")
[ "$(cd "$DIR" && ls -1 | tr '\n' ' ')" = "BcstBridge2_31_12_2023.log.gz " ] ||
    fail "7-day retention over new year: $(ls "$DIR") ($out)"

# ---- bad settings are refused without touching anything ----------------------------------------------
for setting in BCSTBRIDGE_LOG_KEEP_DAYS=ten BCSTBRIDGE_LOG_COMPRESS_DAYS=-1 BCSTBRIDGE_TODAY=2024-13-45 BCSTBRIDGE_TODAY=yesterday; do
    env "$setting" "$SCRIPT" "$DIR" >/dev/null 2>&1
    [ $? -eq 2 ] || fail "$setting was not refused with status 2"
done
[ "$(cd "$DIR" && ls -1 | tr '\n' ' ')" = "BcstBridge2_31_12_2023.log.gz " ] || fail "a refused run changed files"

# ---- the command line of the tools: --help, --version, one-line errors, status 2 ---------------------
check_run() { # expected-status expected-stdout-first-line expected-stderr args...
    local status=$1 out=$2 err=$3 got_out got_err got
    shift 3
    "$SCRIPT" "$@" >"$WORK/out" 2>"$WORK/err"  # no pipe: a reader that stops early would SIGPIPE it
    got=$?
    got_out=$(head -n 1 "$WORK/out")
    got_err=$(cat "$WORK/err")
    [ "$got" = "$status" ] && [ "$got_out" = "$out" ] && [ "$got_err" = "$err" ] ||
        fail "bcstbridge-logs $*: status $got, stdout '$got_out', stderr '$got_err'"
}
check_run 0 "Usage: bcstbridge-logs [DIRECTORY]    (default /var/lib/bcstbridge)" "" --help
check_run 0 "bcstbridge-logs (bcstbridge) $VERSION" "" --version
check_run 2 "" "bcstbridge-logs: unknown option --bogus (see --help)" --bogus
check_run 2 "" "bcstbridge-logs: one directory at most, got 2 arguments (see --help)" "$DIR" "$DIR"
check_run 1 "" "bcstbridge-logs: cannot enter $WORK/none" "$WORK/none"
[ "$(cd "$DIR" && ls -1 | tr '\n' ' ')" = "BcstBridge2_31_12_2023.log.gz " ] || fail "a refused run changed files"

finish "log retention"
