#!/usr/bin/env bash
# Runs the documented examples so that none can drift: every ```console block of README.md and
# docs/*.md and every block marked `.\" run` in the manual pages, each in a fresh directory holding
# examples/BCSTBRIDGE.INI, with the built programs first on PATH. Lines starting with "$ " are the
# commands, run in order by one bash with errexit; every other line (but "...") is output that must
# appear, in any order, once times, durations and buffer sizes are masked.
# The example ports are mapped to free ones, in the configuration and in the text alike: each port P
# of the example file (configured for receiving and sending) to a free port Q, and the wire port of
# P (its bytes exchanged) to that of Q, so that the examples never meet a real instance's sockets;
# /var/lib/bcstbridge and $HOME are the example's directory. Then the README's start of an instance,
# run again where the start fails, must end and say why.
# Usage: docs_examples_test.sh SOURCE_DIR BRIDGE FEED DUMP [OTHER TOOLS...]
set -uo pipefail
SRC=$1
. "$(dirname "$0")/check_lib.sh"

mkdir "$WORK/bin"
for exe in "${@:2}"; do ln -s "$exe" "$WORK/bin/$(basename "$exe")"; done

swap() { echo $(((($1 & 0xFF) << 8) | ($1 >> 8))); }
free_port() { # a free port whose exchanged value is free too and above 1023
    local p
    while :; do
        p=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        [ $((p & 0xFF)) -ge 4 ] && [ "$(swap "$p")" -ne "$p" ] && { echo "$p"; return; }
    done
}
map=()
for port in 34330 34331 34332 34340; do
    q=$(free_port)
    map+=(-e "s/\b$port\b/$q/g" -e "s/\b$(swap $port)\b/$(swap "$q")/g")
done
# The state directory of the manual pages' examples is the example's own directory.
map+=(-e 's|/var/lib/bcstbridge|.|g')

# The blocks, each as "@@ file:line" followed by its lines.
extract() {
    local f
    for f in "$SRC/README.md" "$SRC"/docs/*.md; do
        awk -v f="${f#$SRC/}" '/^```console$/ { print "@@ " f ":" NR; on = 1; next }
                               on && /^```/ { on = 0; next } on { print }' "$f"
    done
    for f in "$SRC"/docs/*.[18]; do
        awk -v f="${f#$SRC/}" '/^\.\\" run$/ { want = 1; next }
                               want && /^\.nf$/ { print "@@ " f ":" NR; on = 1; want = 0; next }
                               on && /^\.fi$/ { on = 0; next }
                               on && !/^\.R[SE]$/ { gsub(/\\-/, "-"); gsub(/\\\(dq/, "\""); print "$ " $0 }' "$f"
    done
}
mask() {
    sed -E -e 's/[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}/HH:MM:SS.micros/g' -e 's/ in [0-9.]+s$/ in Ns/' \
        -e 's/receive buffer [0-9]+ bytes/receive buffer N bytes/' -e 's/"time":"[^"]*"/"time":T/g' \
        -e 's/"timeMicros":[0-9]+/"timeMicros":N/g' -e 's/"sourcePort":[0-9]+/"sourcePort":N/g'
}

blocks=0
run_block() { # name, then the block's lines on stdin
    local name=$1 dir
    dir=$(mktemp -d "$WORK/block.XXXXXX")
    cp "$SRC/examples/BCSTBRIDGE.INI" "$dir/"
    sed "${map[@]}" -i "$dir/BCSTBRIDGE.INI"
    sed "${map[@]}" >"$dir/block"
    {
        echo 'set -eo pipefail'
        echo "trap 'for p in \$(jobs -p); do kill \$p 2>/dev/null; done' EXIT"
        sed -n 's/^\$ //p' "$dir/block"
    } >"$dir/script"
    grep -v -e '^\$ ' -e '^\.\.\.$' -e '^$' "$dir/block" | mask >"$dir/expected"
    (cd "$dir" && HOME="$dir" PATH="$WORK/bin:$PATH" timeout 60 bash ./script </dev/null >"$dir/output" 2>&1)
    local status=$?
    [ $status -eq 0 ] || { fail "$name: status $status"; sed 's/^/    /' "$dir/output"; }
    mask <"$dir/output" >"$dir/masked"
    while IFS= read -r line; do
        grep -qxF -- "$line" "$dir/masked" || { fail "$name: missing output: $line"; sed 's/^/    /' "$dir/output" | head -20; }
    done <"$dir/expected"
    blocks=$((blocks + 1))
}

# One file per block, run in turn.
mkdir "$WORK/blocks"
extract | awk -v dir="$WORK/blocks" '/^@@ / { n++; file = sprintf("%s/%03d", dir, n); print substr($0, 4) >file; next }
                                      { print >>file }'
for file in "$WORK"/blocks/*; do
    run_block "$(head -n 1 "$file")" < <(tail -n +2 "$file")
done
[ "$blocks" -gt 0 ] || fail "no example found"

# The README's start of an instance when the start fails: its wait loop must end once the process has
# (here instance 3's receive port is held by a socket that does not share it), and the line after it
# print the log's last entry. Run from the README's lines, "bcstbridge 3 &" to that line.
dir=$(mktemp -d "$WORK/failing.XXXXXX")
sed "${map[@]}" "$SRC/examples/BCSTBRIDGE.INI" >"$dir/BCSTBRIDGE.INI"
port=$(sed -n '4s/^[^,]*,[^,]*,\([0-9]*\),.*/\1/p' "$dir/BCSTBRIDGE.INI")
{
    echo 'set -eo pipefail'
    awk '/^```console$/ { on = 1; next } on && /^```/ { on = 0 } on' "$SRC/README.md" |
        sed -n '/^\$ bcstbridge 3 &/,/^\$ kill -0 \$! ||/s/^\$ //p'
} >"$dir/script"
grep -q 'kill -0' "$dir/script" || fail "README: no start of instance 3 with its wait loop found"
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", int(sys.argv[1])))
print("bound", flush=True)
time.sleep(30)' "$port" >"$dir/held" &
holder=$!
for ((i = 0; i < 100; i++)); do [ -s "$dir/held" ] && break; sleep 0.1; done
(cd "$dir" && PATH="$WORK/bin:$PATH" timeout 20 bash ./script </dev/null >"$dir/output" 2>&1)
status=$?
kill $holder 2>/dev/null
wait $holder 2>/dev/null
[ $status -ne 124 ] || fail "README: the wait loop did not end after a failed start"
[ $status -eq 0 ] && grep -q ' - Receiver: Socket Bind Error$' "$dir/output" ||
    fail "README: a failed start (port held) did not print the log's reason (status $status): $(cat "$dir/output")"

finish "documented examples" "$blocks blocks"
