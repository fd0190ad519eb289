# A hot-standby pair on one machine, shared by tests/ops/failover_test.sh and bench/failover.sh
# (sourced, not run). A Linux bridge device in the root namespace is the pair's segment; two network
# namespaces, hosts "a" and "b", each hang on it by a veth (eth0 inside) and run their own bcstbridge
# instance 1 and their own keepalived, configured from examples/keepalived.conf with the shipped
# bcstbridge-role and bcstbridge-healthy. The feed is sent from the root namespace onto the bridge
# device, so both hosts receive it; dumpcap on the bridge device records every output datagram with
# its source. Nothing leaves the segment the script made; everything is removed on exit, and by a
# guard process if the script itself is killed outright.
#
# The caller sets before sourcing:
#   HA_NAME    prefix of every name, 6 chars at most; this process's id in hex is added, so that two
#              runs side by side (two build trees) never meet: bridge ${HA_NAME}0, namespaces -a and -b
#   HA_NET     the segment's first two octets (10.213); ha_setup adds a third octet that no address of
#              this host uses: .1 the bridge device, .2 host a, .3 host b
#   HA_GROUP   the groups' first two octets (239.213): input .1.1, output .2.1
#   WORK       scratch directory (removed by the caller)
#   BRIDGE FEED STAT ROLE HEALTHY   programs; KEEPALIVED_CONF the example configuration

PATH="$PATH:/usr/sbin:/sbin"  # ip, keepalived
HA_NAME="$HA_NAME$(printf %x $$)"
HA_IN_PORT=34330
HA_OUT_PORT=34330  # configured; 6790 on the wire (the send port goes out byte-exchanged)
HA_PIDS=()         # processes started in the root namespace

# ha_skip_reason: why the pair cannot be built here, or nothing.
ha_skip_reason() {
    [ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces, a bridge device)"; return; }
    command -v keepalived >/dev/null || { echo "keepalived is not installed (scripts/test installs it)"; return; }
    command -v dumpcap >/dev/null || { echo "dumpcap is not installed (package tshark)"; return; }
    local probe="${HA_NAME}-p$$"
    if ! ip netns add "$probe" 2>/dev/null; then
        echo "ip netns is not possible here"
        return
    fi
    ip netns del "$probe"
}

ha_ns() { echo "${HA_NAME}-$1"; }
ha_address() { case $1 in a) echo "$HA_NET.2" ;; b) echo "$HA_NET.3" ;; esac; }

# Waits (bounded by $1 tenths of a second) until the rest of the command line succeeds.
ha_wait() {
    local tenths=$1 i
    shift
    for ((i = 0; i < tenths; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# True once process $1 has ended (gone, or a zombie waiting for its parent).
ha_gone() { [ ! -e "/proc/$1" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }

# Ends every process of the namespaces (they hold only what this script started there) and of
# HA_PIDS, then removes the namespaces, the bridge device and the guard. Safe to call more than once.
ha_cleanup() {
    local host pid pids=()
    for host in a b; do
        pids+=($(ip netns pids "$(ha_ns $host)" 2>/dev/null))
    done
    for pid in "${pids[@]}" "${HA_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}" "${HA_PIDS[@]}"; do
        ha_wait 30 ha_gone "$pid" || kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for host in a b; do
        ip link del "$(ha_ns $host)" 2>/dev/null
        ip netns del "$(ha_ns $host)" 2>/dev/null
    done
    ip link del "${HA_NAME}0" 2>/dev/null
    [ ! -f "$WORK/ha.guard" ] || kill "$(cat "$WORK/ha.guard")" 2>/dev/null
    rm -f "$WORK/ha.guard" "$WORK/ha.pids"
    HA_PIDS=()
    return 0
}

# A process outside this script's process tree that waits for the script to end and then removes
# what ha_cleanup and the caller's trap would have, for a script killed before its trap could run (a
# test runner's time-out sends SIGKILL). It finds the namespaces by name and the root-namespace
# processes in $WORK/ha.pids, and removes $WORK.
ha_guard() {
    local owner=$$
    (
        setsid bash -c '
            while kill -0 "$1" 2>/dev/null; do sleep 0.5; done
            for ns in "$2-a" "$2-b"; do for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid"; done; done
            [ -f "$3" ] && for pid in $(cat "$3"); do kill -9 "$pid" 2>/dev/null; done
            ip link del "$2-a"; ip link del "$2-b"; ip netns del "$2-a"; ip netns del "$2-b"; ip link del "${2}0"
            rm -rf "$4"
        ' guard "$owner" "$HA_NAME" "$WORK/ha.pids" "$WORK" </dev/null >/dev/null 2>&1 &
        echo $! >"$WORK/ha.guard"
    )
}

ha_started() { # pid: a root-namespace process to end at clean-up
    HA_PIDS+=("$1")
    echo "$1" >>"$WORK/ha.pids"
}

# The segment and both hosts' network, nothing running yet.
ha_setup() {
    ha_guard
    local br="${HA_NAME}0" host ns third i
    # Starting from this process's id, so that runs started together look at different octets first.
    for ((i = 0; i < 256; i++)); do
        third=$((($$ + i) % 256))
        ip -4 -o addr show | grep -q " $HA_NET\.$third\." || break
    done
    HA_NET="$HA_NET.$third"
    ip link add "$br" type bridge mcast_snooping 0 || return 1
    ip addr add "$HA_NET.1/24" dev "$br" && ip link set "$br" up || return 1
    for host in a b; do
        ns=$(ha_ns $host)
        ip netns add "$ns" || return 1
        ip link add "$ns" type veth peer name eth0 netns "$ns" || return 1
        ip link set "$ns" master "$br" up || return 1
        ip -n "$ns" addr add "$(ha_address $host)/24" dev eth0 || return 1
        ip -n "$ns" link set lo up && ip -n "$ns" link set eth0 up || return 1
    done
}

# Host $1's bridge instance 1, started standby as the operator does: the instance list, then the
# standby file, then the bridge.
ha_start_bridge() {
    local host=$1 dir="$WORK/$1" address
    address=$(ha_address "$host")
    mkdir -p "$dir"
    echo 1 >"$dir/instances"
    printf 'MARKET_SEGMENT,RECV_MULTICAST_ADDR,RECV_MULTICAST_PORT,SEND_MULTICAST_ADDR,SEND_MULTICAST_PORT,LOCAL_IP_TO_HOST,LOCAL_IP_TO_VELT,NEW_MKT_DATA_FLAG\n' \
        >"$dir/BCSTBRIDGE.INI"
    printf 'CM,%s.1.1,%d,%s.2.1,%d,%s,%s,Y\n' "$HA_GROUP" $HA_IN_PORT "$HA_GROUP" $HA_OUT_PORT "$address" \
        "$address" >>"$dir/BCSTBRIDGE.INI"
    "$ROLE" --directory "$dir" --instances "$dir/instances" BACKUP >/dev/null 2>&1 || return 1
    (cd "$dir" && exec ip netns exec "$(ha_ns "$host")" "$BRIDGE" 1) &
    echo $! >"$dir/bridge.pid"
    ha_wait 100 "$STAT" --check -i 1 "$dir" || { echo "host $host: bridge did not start: $(cat "$dir"/BcstBridge1_*.log)"; return 1; }
}

# Host $1's keepalived with priority $2, from the shipped example: this host's interface, address and
# directory and instance list, the scripts given. Its log (to the console) is $WORK/$1/keepalived.log,
# which a restart appends to.
ha_start_keepalived() {
    local host=$1 priority=$2 dir="$WORK/$1"
    sed -e "s/^\( *router_id\) .*/\1 $HA_NAME-$host/" -e 's/^\( *interface\) .*/\1 eth0/' \
        -e '/^ *track_interface {/,/}/d' -e "s/^\( *priority\) .*/\1 $priority/" \
        -e "s|^\( *\)[0-9.]*/24$|\1$HA_NET.250/24|" \
        -e "s|/usr/libexec/bcstbridge/bcstbridge-healthy|$HEALTHY --directory $dir --instances $dir/instances|" \
        -e "s|/usr/libexec/bcstbridge/bcstbridge-role|$ROLE --directory $dir --instances $dir/instances|" \
        "$KEEPALIVED_CONF" >"$dir/keepalived.conf"
    (BCST_STAT=$STAT exec ip netns exec "$(ha_ns "$host")" keepalived --dont-fork --log-console --log-detail --no-syslog \
        --vrrp -f "$dir/keepalived.conf" -p "$dir/keepalived.pid" -r "$dir/vrrp.pid" -c "$dir/checkers.pid" \
        >>"$dir/keepalived.log" 2>&1) &
    echo $! >"$dir/keepalived.pid.own"
}

# Stops host $1's keepalived as "systemctl stop keepalived" does with the package's drop-in: SIGTERM
# (an orderly stop: a priority 0 advert, notify_stop), then, once it has ended, the drop-in's
# ExecStopPost=. Bounded to 5 s.
ha_stop_keepalived() {
    local dir="$WORK/$1" pid
    pid=$(cat "$dir/keepalived.pid.own")
    kill -TERM "$pid" 2>/dev/null
    ha_wait 50 ha_gone "$pid" || return 1
    wait "$pid" 2>/dev/null
    "$ROLE" --directory "$dir" --instances "$dir/instances" STOP >/dev/null 2>&1
}

# The whole pair up, as an operator brings it up: the segment, both bridges (standby), the capture,
# both keepalived (host a preferred), one MASTER elected and its bridge sending. Run in the caller's
# shell (it starts what ha_cleanup ends); on a failure it prints why and fails.
ha_start_pair() {
    local host
    ha_setup || { echo "could not build the segment and the namespaces"; return 1; }
    for host in a b; do ha_start_bridge $host || { echo "host $host's bridge did not start"; return 1; }; done
    ha_start_capture || { echo "no capture"; return 1; }
    ha_start_keepalived a 150
    ha_start_keepalived b 100
    ha_wait 100 ha_master || { echo "no MASTER within 10 s"; return 1; }
    ha_wait 50 ha_sends "$(ha_master)" || { echo "MASTER $(ha_master)'s bridge is not active"; return 1; }
}

# The host whose instance publishes: keepalived holds the virtual address there and its standby file
# is gone. Prints a or b; fails when neither or both.
ha_master() {
    local host found=""
    for host in a b; do
        if ip -n "$(ha_ns $host)" -br addr show dev eth0 2>/dev/null | grep -q "$HA_NET.250/" &&
            [ ! -e "$WORK/$host/BcstBridge1.standby" ]; then
            [ -z "$found" ] || return 1
            found=$host
        fi
    done
    [ -n "$found" ] && echo "$found"
}
ha_is_master() { [ "$(ha_master)" = "$1" ]; }
# Host $1's bridge's role as it has seen its standby file (it looks every 100 ms): active or standby.
ha_role() { "$STAT" --json --interval 0.1 -i 1 "$WORK/$1" | sed -n 's/.*"role":"\([a-z]*\)".*/\1/p'; }
ha_sends() { [ "$(ha_role "$1")" = active ]; }
# Host $1 stands by: no virtual address, standby file present.
ha_is_backup() {
    ! ip -n "$(ha_ns "$1")" -br addr show dev eth0 | grep -q "$HA_NET.250/" && [ -e "$WORK/$1/BcstBridge1.standby" ]
}

# dumpcap on the bridge device, every output datagram, into $WORK/out.pcap.
ha_start_capture() {
    dumpcap -q -P -i "${HA_NAME}0" -B 64 -f "udp and dst host $HA_GROUP.2.1" -w "$WORK/out.pcap" \
        2>"$WORK/dumpcap.log" &
    ha_started $!
    HA_CAPTURE_PID=$!
    ha_wait 100 grep -q "Capturing on" "$WORK/dumpcap.log" || { echo "dumpcap: $(cat "$WORK/dumpcap.log")"; return 1; }
}
ha_stop_capture() {
    kill -INT "$HA_CAPTURE_PID" 2>/dev/null
    wait "$HA_CAPTURE_PID" 2>/dev/null
}

# The simulated feed at $1 frames/s until ha_stop_feed, recorded into $WORK/in.pcap.
ha_start_feed() {
    "$FEED" --group "$HA_GROUP.1.1" --port $HA_IN_PORT --interface "${HA_NAME}0" --seed 21 --instruments 200 \
        --max-records 8 --rate "$1" --duration 3600 --pcap-out "$WORK/in.pcap" 2>"$WORK/feed.log" &
    ha_started $!
    HA_FEED_PID=$!
}
ha_stop_feed() {
    kill -INT "$HA_FEED_PID" 2>/dev/null
    wait "$HA_FEED_PID"
}

# Fails host $1 as a pulled cable does: its link goes down. Prints the wall clock in microseconds
# read just before.
ha_fail_link() {
    date +%s%6N
    ip -n "$(ha_ns "$1")" link set eth0 down
}
ha_restore_link() { ip -n "$(ha_ns "$1")" link set eth0 up; }

# Microseconds since the epoch of a time of day "HH:MM:SS.micros" of today, local time, as bcst-verify
# shows when each sender's datagrams begin and end.
ha_epoch_us() {
    local seconds
    seconds=$(date -d "$(date +%F) ${1%.*}" +%s)
    echo $((seconds * 1000000 + 10#${1#*.}))
}

# The number of datagrams sent so far by host $1's instance, from its counters.
# Host $1 has sent at least $2 datagrams more than $3.
ha_sent_beyond() { [ "$(ha_sent "$1")" -ge $(($2 + $3)) ]; }
ha_sent() { "$STAT" --json --interval 0.1 -i 1 "$WORK/$1" | sed -n 's/.*"sent":\([0-9]*\).*/\1/p'; }
