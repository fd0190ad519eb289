# Shell helpers shared by the end-to-end benchmark scripts (sourced, not run). Everything they start
# stays on loopback; the scripts kill only the processes they started, by pid.

# The relay and the sink a script has running, and its scratch directory $work: cleanup ends only
# those processes, by pid, and removes the directory (set `trap cleanup EXIT`).
relay_pid=""
sink_pid=""
cleanup() {
    for pid in $sink_pid $relay_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}

# A UDP port that is free on 127.0.0.1 at the moment of the call.
free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits (bounded: 5 s) until the command given succeeds.
wait_for() {
    local tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 500 ] || return 1
        sleep 0.01
    done
}

# True once instance 1 in directory $1 has logged the end of its start-up.
bridge_ready() { cat "$1"/BcstBridge1_*.log 2>/dev/null | grep -q "Sender Socket Initialized Successfully"; }

# The value of key $1 in the key=value text $2.
value() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# Writes $1/BCSTBRIDGE.INI with instance 1 of segment $2 reading group $3 port $4 and sending to group
# $5 on wire port $6 over 127.0.0.1, relay mode when $7 is Y. The configured send port goes on the wire
# byte-exchanged, so the file holds the exchanged number.
write_instance_config() {
    local dir=$1 segment=$2 in_group=$3 in_port=$4 out_group=$5 out_port=$6 flag=$7
    local configured=$(( ((out_port & 0xFF) << 8) | (out_port >> 8) ))
    [ $configured -lt 32768 ] || configured=$((configured - 65536))
    printf 'SEGMENT,RECV_ADDR,RECV_PORT,SEND_ADDR,SEND_PORT,HOST_IP,VELT_IP,FLAG\n' >"$dir/BCSTBRIDGE.INI"
    printf '%s,%s,%d,%s,%d,127.0.0.1,127.0.0.1,%s\n' "$segment" "$in_group" "$in_port" "$out_group" \
        "$configured" "$flag" >>"$dir/BCSTBRIDGE.INI"
}
