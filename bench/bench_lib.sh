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

# The end-to-end load runs (run-load.sh, latency.sh). They read: $work, $bridge, $old_bridge,
# $baseline and $tools (the executables), $mode (relay or passthrough), $stride (output datagrams per
# input), $instruments, $seconds, $relay_core and $load_core, and $probe (non-empty: tagged frames
# stamped on CLOCK_REALTIME, outputs stamped by the kernel: load_gen --probe, load_sink --kernel-stamps).

# Sets up the next run under group prefix $1 (239.x): run_id, its directory dir, the groups in_group
# and out_group and two free ports in_port and out_port.
run_id=0
new_run() {
    run_id=$((run_id + 1))
    dir="$work/run$run_id"
    in_group="$1.$((run_id % 250)).1"
    out_group="$1.$((run_id % 250)).2"
    in_port=$(free_port)
    out_port=$(free_port)
    mkdir -p "$dir"
}

# Starts the relay of kind $1 for the run set up by new_run, pinned to $relay_core, and sets
# relay_pid. Kinds: bridge and old-bridge ($bridge, $old_bridge), baseline-SEND (the baseline relay
# with --send SEND), each with the suffix -poll to busy-poll its socket (--busy-poll).
start_relay() {
    local kind=$1 me poll=()
    me=$(basename "$0")
    case $kind in *-poll) poll=(--busy-poll) kind=${kind%-poll} ;; esac
    case $kind in
    bridge | old-bridge)
        local exe=$bridge flag=Y
        [ "$kind" = bridge ] || exe=$old_bridge
        [ "$mode" = relay ] || flag=N
        write_instance_config "$dir" CM "$in_group" "$in_port" "$out_group" "$out_port" "$flag"
        (cd "$dir" && exec taskset -c $relay_core "$exe" "${poll[@]}" 1) &
        relay_pid=$!
        wait_for bridge_ready "$dir" ||
            { echo "$me: bridge did not start" >&2; cat "$dir"/BcstBridge1_*.log >&2 || true; exit 1; }
        ;;
    baseline-*)
        # In the run's directory: the bridge's socket set-up logs there.
        (cd "$dir" && exec taskset -c $relay_core "$baseline" --recv-group "$in_group" --recv-port "$in_port" \
            --send-group "$out_group" --send-port "$out_port" --send "${kind#baseline-}" --mode "$mode" \
            "${poll[@]}" >baseline.out) &
        relay_pid=$!
        wait_for grep -qs ready "$dir/baseline.out" || { echo "$me: baseline did not start" >&2; exit 1; }
        ;;
    *) echo "$me: unknown kind $kind" >&2; exit 2 ;;
    esac
}

# Drives the run against the relay started: fills the store first (relay mode), then sends at rate
# $1 for $seconds with the sink counting, and stops the relay. Sets gen and sink to what load_gen and
# load_sink printed.
drive_run() {
    local rate=$1 me plain=() gen_probe=() sink_probe=()
    me=$(basename "$0")
    if [ "$mode" = relay ]; then
        # Every instrument into the store before anything is measured.
        taskset -c $load_core "$tools/load_gen" --group "$in_group" --port "$in_port" --instruments "$instruments" --store-only >/dev/null
    else
        plain=(--plain 512)
    fi
    [ -z "${probe:-}" ] || { gen_probe=(--probe); sink_probe=(--kernel-stamps); }

    taskset -c $load_core "$tools/load_sink" --group "$out_group" --port "$out_port" --relay-pid "$relay_pid" \
        --relay-port "$in_port" --ready-file "$dir/ready" --done-file "$dir/done" \
        --max-seconds $((seconds + 20)) --stride $stride --stamps "$dir/stamps" "${sink_probe[@]}" >"$dir/sink.out" &
    sink_pid=$!
    wait_for test -e "$dir/ready" || { echo "$me: sink did not start" >&2; exit 1; }

    gen=$(taskset -c $load_core "$tools/load_gen" --group "$in_group" --port "$in_port" --rate "$rate" \
        --seconds "$seconds" --instruments "$instruments" --stamps "$dir/stamps" "${plain[@]}" "${gen_probe[@]}")
    touch "$dir/done"
    wait "$sink_pid"
    sink_pid=""
    kill "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=""
    sink=$(cat "$dir/sink.out")
}

# The head line of a benchmark's output: the machine, "$1" (what the script adds), the load.
machine_line() {
    echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores, kernel $(uname -r);" \
        "$1; load average $(cut -d' ' -f1-3 /proc/loadavg)"
}

# one_run for every kind at every rate, $repeat times. The kinds alternate run by run, so that whatever
# else the machine does falls on all of them.
run_every_kind() {
    local rep rate kind
    for ((rep = 1; rep <= repeat; rep++)); do
        for rate in "${rates[@]}"; do
            for kind in "${kinds[@]}"; do
                one_run "$kind" "$rate"
            done
        done
    done
}

# An awk function for the summaries: the median of a[kind, rate, 1 .. count[kind, rate]], runs without a
# figure ("nan") left out; "-" when no run has one.
awk_median='
    function median(a, kind, rate,    n, i, j, t, v, m) {
        n = count[kind, rate]; m = 0;
        for (i = 1; i <= n; i++) if (a[kind, rate, i] != "nan") v[++m] = a[kind, rate, i] + 0;
        if (m == 0) return "-";
        for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2;
    }'
