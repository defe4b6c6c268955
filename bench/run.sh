#!/usr/bin/env bash
# Measures each forwarder against a direct connection, on loopback, in one run, and prints
# one table: per metric the direct figure, each forwarder's figure and forwarder/direct.
#
#   bench/run.sh [--quick] [--build DIR] [--layout own|shared|both]
#
# --layout: where the forwarders run (lib.sh, in_group). "own": each in a session of its
# own, as a service or a desktop application runs; "shared": in the bench's session;
# "both": every forwarder twice, the shared columns marked "/shared". The full run
# measures both, the quick run its own session only.
#
# Builds nothing (`make bench` and `make bench-quick` build first). Backends and forwarders
# listen on ports picked free at run time; every load runs for a bounded count or time
# under `timeout`; on exit the script ends what it started, by PID.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$BENCH_DIR/../build
PROFILE=full
LAYOUT=""
while (($# > 0)); do
    case $1 in
        --quick) PROFILE=quick ;;
        --full) PROFILE=full ;;
        --build) BUILD=${2:?--build needs a directory}; shift ;;
        --layout) LAYOUT=${2:?--layout needs own, shared or both}; shift ;;
        *) echo "usage: bench/run.sh [--quick] [--build DIR] [--layout own|shared|both]" >&2; exit 2 ;;
    esac
    shift
done
if [[ -z $LAYOUT ]]; then
    LAYOUT=own
    [[ $PROFILE == full ]] && LAYOUT=both
fi
case $LAYOUT in
    own | shared | both) ;;
    *) echo "bench: --layout must be own, shared or both" >&2; exit 2 ;;
esac
BUILD=$(cd "$BUILD" && pwd)
LOADGEN=$BUILD/bench/tarnwick-loadgen
if [[ ! -x $LOADGEN ]]; then
    echo "bench: $LOADGEN is not built; run 'make bench'" >&2
    exit 1
fi

# ---- Sizes -------------------------------------------------------------------------------
if [[ $PROFILE == full ]]; then
    REPEATS=3 THROUGHPUT_BYTES=$((1024 * 1024 * 1024)) CONNRATE_SECONDS=10 KEEPALIVE_SECONDS=8
    LATENCY_COUNT=20000 IDLE_CONNECTIONS=1000 UDP_SECONDS=10 ROUTE_SECONDS=8
    SCALE_CONNECTIONS=10000 DECIDE_SECONDS=3
else
    REPEATS=1 THROUGHPUT_BYTES=$((512 * 1024 * 1024)) CONNRATE_SECONDS=8 KEEPALIVE_SECONDS=5
    LATENCY_COUNT=10000 IDLE_CONNECTIONS=300 UDP_SECONDS=8 ROUTE_SECONDS=6
    SCALE_CONNECTIONS=2000 DECIDE_SECONDS=2
fi
DECIDE_RULES=10000
CLIENTS=8
KEEPALIVE_CONNECTIONS=50
UDP_WINDOW=32
UDP_CLIENTS=8 UDP_CLIENT_WINDOW=4
# Beyond its own duration, a single load may take this long before `timeout` ends it.
GRACE=60

WORK=$BUILD/bench-run
rm -rf "$WORK"
mkdir -p "$WORK"
RAW=$WORK/results.txt
source "$BENCH_DIR/lib.sh"
trap stop_owned EXIT
trap 'exit 130' INT TERM

# ---- Forwarders --------------------------------------------------------------------------
# Each forwarder NAME in FORWARDERS provides three functions:
#   fw_NAME_available         succeeds when it can run here; otherwise prints why not.
#   fw_NAME_has FEATURE       succeeds when it can do FEATURE: udp (forward datagrams) or
#                             route (first-packet routing, below).
#   fw_NAME_start PROTO P Q   starts it in the background, listening on 127.0.0.1 port P
#                             (PROTO tcp or udp) and forwarding to 127.0.0.1:Q, and sets
#                             FW_PID to the process to measure and stop. Start it through
#                             `in_group` (lib.sh), so that FW_PID leads a process group that
#                             also holds any children it forks; the whole group is stopped
#                             at the end.
#                             PROTO route: TCP on P, routed by the first data as below, with
#                             Q the backend of the last rule.
#                             PROTO sni: TCP on P, routed by the server name of a TLS
#                             ClientHello: eight names, SNI_NAMES, in order, the last with
#                             Q as its backend, the others and the default WRONG_PORT.
#                             PROTO scale: TCP as for tcp, with room for SCALE_N connections
#                             at once, started under "${SCALE_LIMIT[@]}" (see plan_scale).
# The driver waits until P is listening, so a start function need not.
read -r -a FORWARDERS <<<"${BENCH_FORWARDERS:-socat haproxy rinetd tarnwick}"

# First-packet routing: eight rules tried in order, each on the 8 bytes at offset
# ROUTE_OFFSET of the client's first data. The load puts the last marker there, so only
# rule 8 matches; rules 1 to 7 and the default lead to the WRONG- tag backend
# (WRONG_PORT), rule 8 to the RIGHT- one, and an answer tagged WRONG- is a wrong route.
# The markers differ only in their last byte, so every rule gets as far as it can.
ROUTE_OFFSET=24
ROUTE_MARKERS=()
for rule in 1 2 3 4 5 6 7 8; do
    ROUTE_MARKERS+=("F1E2D3C4B5A6978$rule")
done
ROUTE_MARKER=${ROUTE_MARKERS[7]}
SNI_NAMES=()
for rule in 1 2 3 4 5 6 7 8; do
    SNI_NAMES+=("service$rule.example.com")
done

fw_socat_available() {
    command -v socat >/dev/null || { echo "not installed"; return 1; }
}

fw_socat_has() {
    [[ $1 == udp ]]
}

fw_socat_start() {
    local proto=$1 listen=$2 target=$3
    if [[ $proto == tcp ]]; then
        # A child per connection; socat's listen backlog stays at its default of 5.
        in_group socat "TCP-LISTEN:$listen,bind=127.0.0.1,fork,reuseaddr" \
            "TCP:127.0.0.1:$target" </dev/null >>"$WORK/socat.log" 2>&1
    else
        # One child per client address; -T ends a child after 60 idle seconds.
        in_group socat -T 60 "UDP-LISTEN:$listen,bind=127.0.0.1,fork,reuseaddr" \
            "UDP:127.0.0.1:$target" </dev/null >>"$WORK/socat.log" 2>&1
    fi
    FW_PID=$GROUP_PID
}

# haproxy: TCP mode only (it has no UDP proxy), in the foreground (-db), one generated
# configuration per start. Its routing inspects the first data with req.payload.
fw_haproxy_available() {
    command -v haproxy >/dev/null || { echo "not installed"; return 1; }
}

fw_haproxy_has() {
    [[ $1 == route || $1 == sni || $1 == scale ]]
}

fw_haproxy_start() {
    local proto=$1 listen=$2 target=$3 file rule maxconn=4000 prefix=()
    # 4000 connections (8000 descriptors) cover the idle load's 1000 and stay within a
    # common hard descriptor limit; the scale load gets room for its own count.
    if [[ $proto == scale ]]; then
        # haproxy wants two descriptors per connection of maxconn and a few of its own,
        # and refuses to start when the hard limit does not allow that many.
        maxconn=$((SCALE_N + (SCALE_FD_RESERVE - 40) / SCALE_FDS_PER_CONN))
        prefix=("${SCALE_LIMIT[@]}")
    fi
    file=$(mktemp "$WORK/haproxy-XXXXXX.cfg")
    {
        printf 'global\n    maxconn %d\n\n' "$maxconn"
        printf 'defaults\n    mode tcp\n    maxconn %d\n' "$maxconn"
        printf '    timeout connect 5s\n    timeout client 120s\n    timeout server 120s\n\n'
        printf 'frontend in\n    bind 127.0.0.1:%d\n' "$listen"
        if [[ $proto == route ]]; then
            # Waits for the first data (up to 5 s, then the default), then the first
            # matching rule picks the backend.
            printf '    tcp-request inspect-delay 5s\n'
            printf '    tcp-request content accept if { req.len ge %d }\n' $((ROUTE_OFFSET + 8))
            for rule in 1 2 3 4 5 6 7 8; do
                printf '    acl rule%d req.payload(%d,8) -m bin %s\n' \
                    "$rule" "$ROUTE_OFFSET" "${ROUTE_MARKERS[rule - 1]}"
            done
            for rule in 1 2 3 4 5 6 7; do
                printf '    use_backend wrong if rule%d\n' "$rule"
            done
            printf '    use_backend out if rule8\n    default_backend wrong\n\n'
            printf 'backend wrong\n    server wrong 127.0.0.1:%d\n\n' "$WRONG_PORT"
        elif [[ $proto == sni ]]; then
            # Waits for a whole ClientHello (up to 5 s), then the first server name that
            # matches picks the backend.
            printf '    tcp-request inspect-delay 5s\n'
            printf '    tcp-request content accept if { req.ssl_hello_type 1 }\n'
            for rule in 1 2 3 4 5 6 7 8; do
                printf '    acl rule%d req.ssl_sni -i %s\n' "$rule" "${SNI_NAMES[rule - 1]}"
            done
            for rule in 1 2 3 4 5 6 7; do
                printf '    use_backend wrong if rule%d\n' "$rule"
            done
            printf '    use_backend out if rule8\n    default_backend wrong\n\n'
            printf 'backend wrong\n    server wrong 127.0.0.1:%d\n\n' "$WRONG_PORT"
        else
            printf '    default_backend out\n\n'
        fi
        printf 'backend out\n    server out 127.0.0.1:%d\n' "$target"
    } >"$file"
    in_group "${prefix[@]}" haproxy -db -f "$file" </dev/null >>"$WORK/haproxy.log" 2>&1
    FW_PID=$GROUP_PID
}

# rinetd: one generated configuration per start, in the foreground (-f). This version
# forwards UDP too ("PORT/udp"); an older one that does not fails to start for UDP.
fw_rinetd_available() {
    command -v rinetd >/dev/null || { echo "not installed"; return 1; }
}

fw_rinetd_has() {
    [[ $1 == udp ]]
}

fw_rinetd_start() {
    local proto=$1 listen=$2 target=$3 file suffix=""
    file=$(mktemp "$WORK/rinetd-XXXXXX.conf")
    [[ $proto == udp ]] && suffix=/udp
    printf '127.0.0.1 %d%s 127.0.0.1 %d%s\n' "$listen" "$suffix" "$target" "$suffix" >"$file"
    in_group rinetd -f -c "$file" </dev/null >>"$WORK/rinetd.log" 2>&1
    FW_PID=$GROUP_PID
}

# Tarnwick: the real program, headless, with one Standard port imported into a
# configuration directory of its own for each start.
TARNWICK=${TARNWICK:-$BUILD/app/tarnwick}

fw_tarnwick_available() {
    [[ -x $TARNWICK ]] || { echo "not built"; return 1; }
}

fw_tarnwick_has() {
    [[ $1 == udp || $1 == route || $1 == sni || $1 == scale ]]
}

# tarnwick_rules TARGET: the routing rules as JSON. Hex rules are searched for anywhere
# in the first data; 24 wildcards in front pin each marker to offset 24 or later.
tarnwick_rules() {
    local rule port wildcards separator=""
    wildcards=$(printf 'XX %.0s' $(seq "$ROUTE_OFFSET"))
    printf '['
    for rule in 1 2 3 4 5 6 7 8; do
        port=$WRONG_PORT
        ((rule == 8)) && port=$1
        printf '%s{"ruleName":"rule%d","searchType":"hex","caseSensitive":false,' \
            "$separator" "$rule"
        printf '"searchData":"%s%s","forwardIp":"127.0.0.1","forwardPort":%d}' \
            "$wildcards" "$(sed 's/../& /g; s/ $//' <<<"${ROUTE_MARKERS[rule - 1]}")" "$port"
        separator=,
    done
    printf ']'
}

# tarnwick_sni_rules TARGET: eight server-name rules as JSON, the last to TARGET.
tarnwick_sni_rules() {
    local rule port separator=""
    printf '['
    for rule in 1 2 3 4 5 6 7 8; do
        port=$WRONG_PORT
        ((rule == 8)) && port=$1
        printf '%s{"ruleName":"sni%d","searchType":"tls-sni","searchData":"%s",' \
            "$separator" "$rule" "${SNI_NAMES[rule - 1]}"
        printf '"forwardIp":"127.0.0.1","forwardPort":%d}' "$port"
        separator=,
    done
    printf ']'
}

fw_tarnwick_start() {
    local proto=$1 listen=$2 target=$3
    local dir prefix=()
    if [[ $proto == scale ]]; then
        proto=tcp
        prefix=("${SCALE_LIMIT[@]}")
    fi
    dir=$(mktemp -d "$WORK/tarnwick-XXXXXX")
    if [[ $proto == route ]]; then
        printf '{"ports":[{"protocol":"tcp","listenPort":%d,"forwardIp":"127.0.0.1","forwardPort":%d,"timeoutSeconds":5,"rules":%s}]}\n' \
            "$listen" "$WRONG_PORT" "$(tarnwick_rules "$target")" >"$dir/ports.json"
    elif [[ $proto == sni ]]; then
        printf '{"ports":[{"protocol":"tcp","listenPort":%d,"forwardIp":"127.0.0.1","forwardPort":%d,"timeoutSeconds":5,"rules":%s}]}\n' \
            "$listen" "$WRONG_PORT" "$(tarnwick_sni_rules "$target")" >"$dir/ports.json"
    else
        printf '{"ports":[{"protocol":"%s","listenPort":%d,"forwardIp":"127.0.0.1","forwardPort":%d}]}\n' \
            "$proto" "$listen" "$target" >"$dir/ports.json"
    fi
    "$TARNWICK" --config-dir "$dir" --import "$dir/ports.json" >>"$WORK/tarnwick.log" 2>&1
    in_group "${prefix[@]}" "$TARNWICK" --headless --config-dir "$dir" </dev/null \
        >>"$WORK/tarnwick.log" 2>&1
    FW_PID=$GROUP_PID
}

# A column of the table is a forwarder in one layout: "NAME" in a session of its own,
# "NAME/shared" in the bench's session.
column_forwarder() { printf '%s\n' "${1%/shared}"; }
column_layout() {
    if [[ $1 == */shared ]]; then echo shared; else echo own; fi
}

# start_forwarder COLUMN PROTO TARGET_PORT: starts that column's forwarder, in its layout,
# on a free port; sets FW_PID, FW_PORT.
start_forwarder() {
    local name proto=$2 target=$3 socket=$2 line
    name=$(column_forwarder "$1")
    [[ $proto == route || $proto == sni || $proto == scale ]] && socket=tcp
    line=$("$LOADGEN" freeport --proto "$socket")
    FW_PORT=$(field "$line" port) || { echo "bench: no free port: $line" >&2; return 1; }
    FW_LAYOUT=$(column_layout "$1") "fw_${name}_start" "$proto" "$FW_PORT" "$target"
    own_group "$FW_PID"
    if ! wait_for 10 listening "$socket" "$FW_PORT"; then
        echo "bench: $name ($proto) is not listening on $FW_PORT; see $WORK/$name.log" >&2
        return 1
    fi
}

# stop_forwarder PID: ends a forwarder started above before the run ends (one that has
# ended on its own, as after the shutdown load, is only reaped), and forgets it, so that
# the group ID is not signalled again once it may belong to someone else.
stop_forwarder() {
    local pid kept=()
    stop_group "$1"
    for pid in "${OWNED_GROUPS[@]}"; do
        [[ $pid == "$1" ]] || kept+=("$pid")
    done
    OWNED_GROUPS=("${kept[@]}")
    unset "OWNED_STARTS[$1]"
}

# ---- Measurements ------------------------------------------------------------------------
# Metric keys, in table order, with their label, which way is better, and how repeats
# combine: the median, or the sum for error counts (a failure in any repeat must show).
METRICS=(throughput conn_rate conn_errors conn_cpu fw_cpu ka_rate ka_p99 ka_cpu ka_fw_cpu
    latency_p50 latency_p99 spread_p50 spread_p99 idle_kib udp_rate udp_loss udp8_rate udp8_loss route_rate route_errors
    sni_rate sni_errors)
declare -A LABEL=(
    [throughput]="TCP throughput, MB/s"
    [conn_rate]="TCP connections/s, $CLIENTS clients"
    [conn_errors]="TCP connection errors"
    [conn_cpu]="machine CPU per connection, us"
    [fw_cpu]="forwarder CPU per connection, us"
    [ka_rate]="keep-alive requests/s, $KEEPALIVE_CONNECTIONS connections"
    [ka_p99]="keep-alive p99, us"
    [ka_cpu]="machine CPU per keep-alive request, us"
    [ka_fw_cpu]="forwarder CPU per keep-alive request, us"
    [latency_p50]="TCP latency p50, us, one CPU"
    [latency_p99]="TCP latency p99, us, one CPU"
    [spread_p50]="TCP latency p50, us, all CPUs"
    [spread_p99]="TCP latency p99, us, all CPUs"
    [idle_kib]="idle KiB per connection"
    [udp_rate]="UDP requests/s, window $UDP_WINDOW"
    [udp_loss]="UDP loss, %"
    [udp8_rate]="UDP requests/s, $UDP_CLIENTS clients, window $UDP_CLIENT_WINDOW each"
    [udp8_loss]="UDP loss, $UDP_CLIENTS clients, %"
    [route_rate]="first-packet routing connections/s"
    [route_errors]="first-packet routing errors"
    [sni_rate]="TLS server-name routing connections/s, 8 rules"
    [sni_errors]="TLS server-name routing errors"
)
declare -A BETTER=(
    [throughput]=higher [conn_rate]=higher [conn_errors]=lower [conn_cpu]=lower [fw_cpu]=lower
    [ka_rate]=higher [ka_p99]=lower [ka_cpu]=lower [ka_fw_cpu]=lower
    [latency_p50]=lower
    [latency_p99]=lower [spread_p50]=lower [spread_p99]=lower [idle_kib]=lower
    [udp_rate]=higher [udp_loss]=lower [udp8_rate]=higher [udp8_loss]=lower
    [route_rate]=higher [route_errors]=lower
    [sni_rate]=higher [sni_errors]=lower
)
# The scale and shutdown loads run once per forwarder, after the rounds, with no direct
# figure: their values are shown as they came. The labels of scale_relayed and
# shutdown_seconds get their count in plan_scale.
SCALE_METRICS=(scale_relayed scale_back scale_fds scale_threads scale_seconds shutdown_seconds)
LABEL+=(
    [scale_back]="descriptors / threads back to start"
    [scale_fds]="descriptors per connection at peak"
    [scale_threads]="threads per connection at peak"
    [scale_seconds]="scale load, s"
)
BETTER+=(
    [scale_relayed]=higher [scale_back]=yes [scale_fds]=lower [scale_threads]=lower
    [scale_seconds]=lower [shutdown_seconds]=lower
)
# Figures of Tarnwick's own, measured once per run in process, with no direct figure and
# nothing to compare: shown in the first Tarnwick column only.
OWN_METRICS=(decide_p99)
LABEL+=([decide_p99]="routing decision, 10,000 rules, us (p99)")
BETTER+=([decide_p99]=lower)
declare -A RESULTS=()

record() {
    RESULTS[$1,$2]+="$3 "
}

# load TIME_LIMIT [--cpu CPU | --scale-limit] SUBCOMMAND ARGS...: runs the load generator,
# on CPU if given, or under the descriptor limit of the scale load, and prints its result
# line; the raw line also goes to $RAW.
load() {
    local limit=$1 line command=("$LOADGEN")
    shift
    if [[ $1 == --cpu ]]; then
        command=(taskset -c "$2" "$LOADGEN")
        shift 2
    elif [[ $1 == --scale-limit ]]; then
        command=("${SCALE_LIMIT[@]}" "$LOADGEN")
        shift
    fi
    line=$(timeout -k 5 "$limit" "${command[@]}" "$@" 2>>"$WORK/loadgen.err") || true
    printf '%-9s %s\n' "$TARGET" "${line:-cmd=$1 error=no_result_line ok=0}" >>"$RAW"
    printf '%s\n' "$line"
}

# Ping-pong latency on a VM with few CPUs depends mostly on whether the scheduler put
# client, forwarder and backend on one CPU or spread them (a cross-CPU wake-up can cost
# tens of microseconds), and that choice changes from run to run. The latency load runs
# twice: with all three on one CPU, where the figure is the cost of the path itself (the
# forwarder's hop adds two context switches to the two of a direct round trip), and
# free on all CPUs, the way they are placed in use, where cross-CPU wake-ups dominate.
ALL_CPUS=$(taskset -c -p $$ | sed 's/.*: //')
LATENCY_CPU=${ALL_CPUS%%[,-]*}

# pin CPUS PID...: sets the CPUs of every thread of each process given (later threads and
# forked children inherit them); empty PIDs are skipped.
pin() {
    local cpus=$1 pid
    shift
    for pid in "$@"; do
        [[ -n $pid ]] || continue
        taskset -a -c -p "$cpus" "$pid" >/dev/null 2>&1 || true
    done
}

# CPU time in clock ticks: busy time of the whole machine (user, nice, system, irq and
# softirq of every CPU; idle, iowait and a hypervisor's steal are not work done here),
# and one process's own time with that of its reaped children (socat forks one per
# connection). us_per TICKS COUNT: microseconds per item, or "fail" without a count.
CLOCK_TICK=$(getconf CLK_TCK)
machine_cpu_ticks() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8; exit }' /proc/stat; }
process_cpu_ticks() {
    [[ -n $1 && -r /proc/$1/stat ]] || { echo 0; return; }
    # Fields from the one after the command name, which may hold spaces: utime is the
    # 12th of them, then stime, cutime and cstime.
    sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 + $14 + $15 }'
}
us_per() {
    if [[ $2 =~ ^[0-9]+$ ]] && (($2 > 0)); then
        awk -v t="$1" -v n="$2" -v hz="$CLOCK_TICK" 'BEGIN { printf "%.1f", t * 1e6 / hz / n }'
    else
        echo fail
    fi
}

# cpu_mark PID: notes the machine's busy ticks, and those of forwarder PID if given, before
# a load. cpu_record PID COUNT MACHINE_METRIC FW_METRIC: records, for TARGET, the CPU used
# since then per item of COUNT (connections, requests), the forwarder's only with a PID.
cpu_mark() {
    CPU_MACHINE_BEFORE=$(machine_cpu_ticks)
    CPU_FW_BEFORE=$(process_cpu_ticks "$1")
}
cpu_record() {
    local pid=$1 count=$2
    record "$TARGET" "$3" "$(us_per "$(($(machine_cpu_ticks) - CPU_MACHINE_BEFORE))" "$count")"
    if [[ -n $pid ]]; then
        record "$TARGET" "$4" \
            "$(us_per "$(($(process_cpu_ticks "$pid") - CPU_FW_BEFORE))" "$count")"
    fi
}

# measure TARGET SINK_PORT ECHO_PORT UDP_PORT ROUTE_PORT [ECHO_FW_PID [SNI_PORT]]: one round
# of every load. ECHO_FW_PID, the forwarder in front of ECHO_PORT, shares the latency load's
# CPU; without it (direct) there is no idle load. An empty UDP_PORT, ROUTE_PORT or SNI_PORT
# skips that load (the forwarder cannot do it).
measure() {
    TARGET=$1
    local sink=127.0.0.1:$2 echo=127.0.0.1:$3 udp=$4 route=$5 pid=${6:-} sni=${7:-} line metric
    echo "  $TARGET" >&2

    line=$(load "$GRACE" throughput --target "$sink" --bytes "$THROUGHPUT_BYTES")
    record "$TARGET" throughput "$(ok_field "$line" mb_per_s)"

    cpu_mark "$pid"
    line=$(load $((CONNRATE_SECONDS + GRACE)) connrate --target "$echo" \
        --clients "$CLIENTS" --seconds "$CONNRATE_SECONDS")
    record "$TARGET" conn_rate "$(ok_field "$line" conn_per_s)"
    record "$TARGET" conn_errors "$(field "$line" errors || echo fail)"
    cpu_record "$pid" "$(ok_field "$line" connections)" conn_cpu fw_cpu

    # Busy keep-alive connections: a 64-byte request and its echo after another on each,
    # so the cost is the relay's per message, with no connection set up or torn down. A
    # wrong echo or any other error fails all four figures.
    cpu_mark "$pid"
    line=$(load $((KEEPALIVE_SECONDS + GRACE)) keepalive --target "$echo" \
        --connections "$KEEPALIVE_CONNECTIONS" --seconds "$KEEPALIVE_SECONDS")
    record "$TARGET" ka_rate "$(ok_field "$line" req_per_s)"
    record "$TARGET" ka_p99 "$(ok_field "$line" p99_us)"
    cpu_record "$pid" "$(ok_field "$line" requests)" ka_cpu ka_fw_cpu

    pin "$LATENCY_CPU" "$ECHO_PID" "$pid"
    line=$(load "$GRACE" --cpu "$LATENCY_CPU" latency --target "$echo" --count "$LATENCY_COUNT")
    pin "$ALL_CPUS" "$ECHO_PID" "$pid"
    record "$TARGET" latency_p50 "$(ok_field "$line" p50_us)"
    record "$TARGET" latency_p99 "$(ok_field "$line" p99_us)"
    line=$(load "$GRACE" latency --target "$echo" --count "$LATENCY_COUNT")
    record "$TARGET" spread_p50 "$(ok_field "$line" p50_us)"
    record "$TARGET" spread_p99 "$(ok_field "$line" p99_us)"

    # On a fresh instance each round: one that held the connections of an earlier round
    # keeps the memory they took, and would show no growth.
    if [[ -n $pid ]]; then
        if start_forwarder "$TARGET" tcp "$ECHO_PORT"; then
            line=$(load "$GRACE" idle --target "127.0.0.1:$FW_PORT" \
                --connections "$IDLE_CONNECTIONS" --pid "$FW_PID")
            record "$TARGET" idle_kib "$(ok_field "$line" kib_per_conn)"
        else
            record "$TARGET" idle_kib fail
        fi
        stop_forwarder "$FW_PID"
    fi

    if [[ $udp == dead ]]; then
        for metric in udp_rate udp_loss udp8_rate udp8_loss; do
            record "$TARGET" "$metric" fail
        done
    elif [[ -n $udp ]]; then
        line=$(load $((UDP_SECONDS + GRACE)) udp --target "127.0.0.1:$udp" \
            --window "$UDP_WINDOW" --seconds "$UDP_SECONDS")
        record "$TARGET" udp_rate "$(ok_field "$line" req_per_s)"
        record "$TARGET" udp_loss "$(field "$line" loss_pct || echo fail)"
        # Clients in parallel, each with its own window: an answer that reaches a client
        # which did not ask for it fails the rate.
        line=$(load $((UDP_SECONDS + GRACE)) udp --target "127.0.0.1:$udp" \
            --clients "$UDP_CLIENTS" --window "$UDP_CLIENT_WINDOW" --seconds "$UDP_SECONDS")
        record "$TARGET" udp8_rate "$(ok_field "$line" req_per_s)"
        record "$TARGET" udp8_loss "$(field "$line" loss_pct || echo fail)"
    fi

    # Connections whose 64-byte first message only the last rule matches; a wrong route
    # is an error, and any error fails the rate.
    if [[ -n $route ]]; then
        line=$(load $((ROUTE_SECONDS + GRACE)) connrate --target "127.0.0.1:$route" \
            --clients "$CLIENTS" --seconds "$ROUTE_SECONDS" --marker "$ROUTE_MARKER" \
            --marker-offset "$ROUTE_OFFSET" --expect-tag RIGHT-)
        record "$TARGET" route_rate "$(ok_field "$line" conn_per_s)"
        record "$TARGET" route_errors "$(field "$line" errors || echo fail)"
    fi

    # The same with a browser-sized TLS ClientHello, routed by its server name, the last
    # of eight.
    if [[ -n $sni ]]; then
        line=$(load $((ROUTE_SECONDS + GRACE)) connrate --target "127.0.0.1:$sni" \
            --clients "$CLIENTS" --seconds "$ROUTE_SECONDS" --tls-name "${SNI_NAMES[7]}" \
            --expect-tag RIGHT-)
        record "$TARGET" sni_rate "$(ok_field "$line" conn_per_s)"
        record "$TARGET" sni_errors "$(field "$line" errors || echo fail)"
    fi
}

# ---- Many connections at once ------------------------------------------------------------
# Once per run, after the rounds: a fresh instance of each forwarder that can take it holds
# SCALE_N connections at once in front of an echo backend of their own, each relayed
# twice, and must give back every descriptor and thread once they are closed.
#
# A relayed connection holds two descriptors in a forwarder, its client and destination
# sockets (Tarnwick's a pipe pair too while they stream). The forwarder, the load generator
# and the backend, each a process of its own, need SCALE_FD_RESERVE more: a few dozen for
# what they open besides the connections.
SCALE_FDS_PER_CONN=2
SCALE_FD_RESERVE=100
SCALE_SETTLE_MS=20000
SCALE_LIMIT=()

# plan_scale: sets SCALE_N, the connections the load holds, and SCALE_LIMIT, the command
# prefix that gives the forwarder, the load and its backend room for them. A limit above
# the hard one takes privilege (root with CAP_SYS_RESOURCE); without it the load holds
# what the hard limit allows, and a note says so.
plan_scale() {
    local hard wanted=$((SCALE_CONNECTIONS * SCALE_FDS_PER_CONN + SCALE_FD_RESERVE))
    ((wanted > 65536)) || wanted=65536
    SCALE_N=$SCALE_CONNECTIONS
    if command -v prlimit >/dev/null && prlimit --nofile="$wanted:$wanted" true 2>/dev/null; then
        SCALE_LIMIT=(prlimit --nofile="$wanted:$wanted")
    else
        hard=$(ulimit -Hn)
        [[ $hard == unlimited ]] && hard=$wanted
        if ((hard < SCALE_CONNECTIONS * SCALE_FDS_PER_CONN + SCALE_FD_RESERVE)); then
            SCALE_N=$(((hard - SCALE_FD_RESERVE) / SCALE_FDS_PER_CONN / 100 * 100))
            NOTES+=("scale: descriptor hard limit $hard, which cannot be raised here; the load holds $SCALE_N connections, not $SCALE_CONNECTIONS")
        fi
    fi
    LABEL[scale_relayed]="concurrent connections relayed, of $SCALE_N"
    LABEL[shutdown_seconds]="shutdown with $SCALE_N connections open, s"
}

# scale_back RESULT_LINE: "yes" when the forwarder's descriptors and threads came back to
# their starting counts, else what was left over ("gone" if it ended).
scale_back() {
    local key fds threads
    declare -A count=()
    for key in fds_before fds_after threads_before threads_after; do
        count[$key]=$(field "$1" "$key") || { echo fail; return; }
    done
    fds=$((count[fds_after] - count[fds_before]))
    threads=$((count[threads_after] - count[threads_before]))
    if ((count[fds_after] < 0)); then
        echo gone
    elif ((fds <= 0 && threads <= 0)); then
        echo yes
    else
        echo "left:${fds}fd,${threads}thr"
    fi
}

# scale_load NAME: the scale load through a fresh instance of forwarder NAME.
scale_load() {
    local name=$1 line=""
    TARGET=$name
    echo "  $name" >&2
    FW_PID=""
    if start_forwarder "$name" scale "$SCALE_ECHO_PORT"; then
        line=$(load $((3 * GRACE + SCALE_SETTLE_MS / 1000)) --scale-limit scale \
            --target "127.0.0.1:$FW_PORT" --connections "$SCALE_N" --pid "$FW_PID" \
            --settle-ms "$SCALE_SETTLE_MS")
    fi
    [[ -n $FW_PID ]] && stop_forwarder "$FW_PID"
    record "$name" scale_relayed "$(field "$line" relayed || echo fail)"
    record "$name" scale_back "$(scale_back "$line")"
    record "$name" scale_fds "$(field "$line" fds_per_conn || echo fail)"
    record "$name" scale_threads "$(field "$line" threads_per_conn || echo fail)"
    record "$name" scale_seconds "$(ok_field "$line" seconds)"
}

# ---- Shutdown with connections open --------------------------------------------------------
# Once per run, after the scale load: a fresh instance of each forwarder that takes the
# scale load, started the same way, holds SCALE_N connections, each proven relayed by a
# round trip, and gets a SIGTERM from the load generator, which times it until the process
# has ended. The load generator itself waits up to SHUTDOWN_BOUND seconds for that and for
# the connections to see their end.
SHUTDOWN_BOUND=35

# shutdown_load NAME: the shutdown load through a fresh instance of forwarder NAME. The
# instance has ended after it; stop_forwarder then only reaps it, and ends it only when it
# did not end in time.
shutdown_load() {
    local name=$1 line=""
    TARGET=$name
    echo "  $name: shutdown" >&2
    FW_PID=""
    if start_forwarder "$name" scale "$SCALE_ECHO_PORT"; then
        line=$(load $((2 * GRACE + SHUTDOWN_BOUND)) --scale-limit shutdown \
            --target "127.0.0.1:$FW_PORT" --connections "$SCALE_N" --pid "$FW_PID")
    fi
    [[ -n $FW_PID ]] && stop_forwarder "$FW_PID"
    record "$name" shutdown_seconds "$(ok_field "$line" stop_seconds)"
}

# ---- Routing decision --------------------------------------------------------------------
# Once per run: the routing decision of a Smart port with DECIDE_RULES rules, timed in
# process on one CPU (tarnwick-loadgen decide), for the first Tarnwick column. The figure
# is the worst p99 over its rule sets and kinds of first data.
decide_load() {
    local name line
    for name in "${ACTIVE[@]}"; do
        [[ $(column_forwarder "$name") == tarnwick ]] || continue
        TARGET=$name
        echo "  $name: routing decision" >&2
        line=$(load $((DECIDE_SECONDS + GRACE)) --cpu "$LATENCY_CPU" decide \
            --rules "$DECIDE_RULES" --seconds "$DECIDE_SECONDS")
        record "$name" decide_p99 "$(ok_field "$line" p99_us)"
        return
    done
}

# ---- Table -------------------------------------------------------------------------------
# combine median|sum VALUES...: "fail" if any value failed, "-" if there are none.
combine() {
    local how=$1
    shift
    if (($# == 0)); then
        echo "-"
        return
    fi
    printf '%s\n' "$@" | sort -g | awk -v how="$how" '
        $1 == "fail" { failed = 1 } { v[NR] = $1; total += $1 }
        END {
            if (failed) { print "fail"; exit }
            if (how == "sum") { print total; exit }
            m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            print m
        }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        if (a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b + 0 == 0) print "-"
        else printf "%.2f\n", a / b }'
}

print_table() {
    local name metric how direct value row header
    header=$(printf '%-40s %12s' metric direct)
    for name in "${ACTIVE[@]}"; do
        header+=$(printf ' %16s %6s' "$name" "ratio")
    done
    printf '%s  %s\n' "$header" "better"
    for metric in "${METRICS[@]}"; do
        how=median
        [[ $metric == *_errors ]] && how=sum
        # shellcheck disable=SC2086  # the stored values are blank-separated words
        direct=$(combine "$how" ${RESULTS[direct,$metric]:-})
        row=$(printf '%-40s %12s' "${LABEL[$metric]}" "$direct")
        for name in "${ACTIVE[@]}"; do
            # shellcheck disable=SC2086
            value=$(combine "$how" ${RESULTS[$name,$metric]:-})
            if [[ $how == sum ]]; then
                row+=$(printf ' %16s %6s' "$value" "-")
            else
                row+=$(printf ' %16s %6s' "$value" "$(ratio "$value" "$direct")")
            fi
        done
        printf '%s  %s\n' "$row" "${BETTER[$metric]}"
    done
    for metric in "${SCALE_METRICS[@]}" "${OWN_METRICS[@]}"; do
        row=$(printf '%-40s %12s' "${LABEL[$metric]}" "-")
        for name in "${ACTIVE[@]}"; do
            value=${RESULTS[$name,$metric]:--}
            row+=$(printf ' %16s %6s' "${value% }" "-")
        done
        printf '%s  %s\n' "$row" "${BETTER[$metric]}"
    done
}

# ---- Run ---------------------------------------------------------------------------------
bash "$BENCH_DIR/check.sh" --build "$BUILD"

start_server sink sink || exit 1
SINK_PORT=$SERVER_PORT
start_server echo echo || exit 1
ECHO_PID=$SERVER_PID ECHO_PORT=$SERVER_PORT
start_server udp-echo udp || exit 1
UDP_PORT=$SERVER_PORT
start_server tag:RIGHT- right || exit 1
RIGHT_PORT=$SERVER_PORT
start_server tag:WRONG- wrong || exit 1
WRONG_PORT=$SERVER_PORT

# One instance per backend and protocol (the idle load starts its own each round). No UDP or routing instance when the forwarder
# cannot do it: its row shows "-".
declare -A FW_TCP_SINK FW_TCP_ECHO FW_UDP FW_ROUTE FW_SNI FW_ECHO_PID
start_instances() {
    local name=$1 forwarder
    forwarder=$(column_forwarder "$name")
    start_forwarder "$name" tcp "$SINK_PORT" || return 1
    FW_TCP_SINK[$name]=$FW_PORT
    start_forwarder "$name" tcp "$ECHO_PORT" || return 1
    FW_TCP_ECHO[$name]=$FW_PORT
    FW_ECHO_PID[$name]=$FW_PID
    FW_UDP[$name]=""
    if "fw_${forwarder}_has" udp; then
        start_forwarder "$name" udp "$UDP_PORT" || return 1
        FW_UDP[$name]=$FW_PORT
        udp_answers "$name" "$FW_PORT" || FW_UDP[$name]=dead
    fi
    FW_ROUTE[$name]=""
    if "fw_${forwarder}_has" route; then
        start_forwarder "$name" route "$RIGHT_PORT" || return 1
        FW_ROUTE[$name]=$FW_PORT
    fi
    # An older build without server-name rules only loses its row.
    FW_SNI[$name]=""
    if "fw_${forwarder}_has" sni; then
        if start_forwarder "$name" sni "$RIGHT_PORT"; then
            FW_SNI[$name]=$FW_PORT
        else
            NOTES+=("$name: no server-name routing instance, see $WORK/$forwarder.log")
        fi
    fi
}

# udp_answers NAME PORT: a short smoke run through a UDP instance. One that answers
# nothing is not measured round after round: its UDP rows show "fail", with a note.
udp_answers() {
    local line
    line=$(timeout 30 "$LOADGEN" udp --target "127.0.0.1:$2" --seconds 1 --window 1) || true
    [[ $(field "$line" ok) == 1 ]] && return 0
    NOTES+=("$1: UDP forwarding answered no datagram in a smoke run ($line)")
    return 1
}

# The columns: every forwarder in a session of its own first, then in the bench's session.
COLUMNS=()
if [[ $LAYOUT != shared ]]; then
    COLUMNS+=("${FORWARDERS[@]}")
fi
if [[ $LAYOUT != own ]]; then
    for name in "${FORWARDERS[@]}"; do
        COLUMNS+=("$name/shared")
    done
fi

ACTIVE=()
SKIPPED=()
NOTES=()
for name in "${COLUMNS[@]}"; do
    if ! why=$("fw_$(column_forwarder "$name")_available"); then
        SKIPPED+=("$name: $why")
    elif ! start_instances "$name"; then
        SKIPPED+=("$name: did not start, see $WORK/$(column_forwarder "$name").log")
    else
        ACTIVE+=("$name")
    fi
done

started=$SECONDS
for ((round = 1; round <= REPEATS; round++)); do
    echo "bench: round $round of $REPEATS" >&2
    measure direct "$SINK_PORT" "$ECHO_PORT" "$UDP_PORT" "$RIGHT_PORT" "" "$RIGHT_PORT"
    for name in "${ACTIVE[@]}"; do
        measure "$name" "${FW_TCP_SINK[$name]}" "${FW_TCP_ECHO[$name]}" "${FW_UDP[$name]}" \
            "${FW_ROUTE[$name]}" "${FW_ECHO_PID[$name]}" "${FW_SNI[$name]}"
    done
done

echo "bench: routing decision" >&2
decide_load

plan_scale
echo "bench: $SCALE_N connections at once" >&2
if start_server echo scale-echo "${SCALE_LIMIT[@]}"; then
    SCALE_ECHO_PORT=$SERVER_PORT
    for name in "${ACTIVE[@]}"; do
        if "fw_$(column_forwarder "$name")_has" scale; then
            scale_load "$name"
            shutdown_load "$name"
        fi
    done
else
    NOTES+=("scale: its echo backend did not start, see $WORK/scale-echo.out")
fi

echo
echo "Tarnwick bench ($PROFILE): $REPEATS round(s), medians; $(nproc) cores; $((SECONDS - started)) s"
echo "ratio = forwarder / direct; errors are summed over the rounds. Idle: growth of the"
echo "forwarder's PSS (its forked children included) per open idle connection. Latency:"
echo "64-byte ping-pongs, client, forwarder and backend on CPU $LATENCY_CPU (one CPU) or free to"
echo "run on any (all CPUs). CPU per connection, during the connection load: the whole"
echo "machine's busy time (client, backend and forwarder), and the forwarder's own time."
echo "Keep-alive: $KEEPALIVE_CONNECTIONS connections driven by one client thread, each sending 64 bytes"
echo "once its last echo is back; p99 from send to echo; CPU per request as per connection."
echo "Routing: 8 rules on the bytes at offset $ROUTE_OFFSET of a 64-byte first message, rule 8"
echo "matching; direct goes straight to rule 8's backend. TLS server-name routing: a 1.3 KB"
echo "ClientHello (a post-quantum key share before the name), 8 names, the last matching. Scale:"
echo "$SCALE_N connections held at once through a fresh instance, each proven relayed by a"
echo "round trip and then a second, all closed; once per run, no direct figure. Shutdown:"
echo "a fresh instance holding $SCALE_N relayed connections gets SIGTERM; the time until the"
echo "process has ended (every connection must see its end); once per run, no direct figure."
echo "Routing decision: one decision timed in process on CPU $LATENCY_CPU, the worst p99 over"
echo "$DECIDE_RULES text, hex and mixed rules and seven kinds of first data; once per run,"
echo "in the first Tarnwick column."
echo "Layout: a column NAME runs the forwarder in a session of its own (setsid: a scheduling"
echo "group of its own, as a service or desktop application runs); NAME/shared runs it in the"
echo "bench's session, one scheduling group with the clients and backends."
echo "\"-\": the forwarder cannot do that load."
for line in "${SKIPPED[@]}"; do
    echo "skipped $line"
done
for line in "${NOTES[@]}"; do
    echo "note: $line"
done
echo
print_table
echo
echo "raw result lines: $RAW"
