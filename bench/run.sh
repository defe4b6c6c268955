#!/usr/bin/env bash
# Measures each forwarder against a direct connection, on loopback, in one run, and prints
# one table: per metric the direct figure, each forwarder's figure and forwarder/direct.
#
#   bench/run.sh [--quick] [--build DIR]
#
# Builds nothing (`make bench` and `make bench-quick` build first). Backends and forwarders
# listen on ports picked free at run time; every load runs for a bounded count or time
# under `timeout`; on exit the script ends what it started, by PID.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$BENCH_DIR/../build
PROFILE=full
while (($# > 0)); do
    case $1 in
        --quick) PROFILE=quick ;;
        --full) PROFILE=full ;;
        --build) BUILD=${2:?--build needs a directory}; shift ;;
        *) echo "usage: bench/run.sh [--quick] [--build DIR]" >&2; exit 2 ;;
    esac
    shift
done
BUILD=$(cd "$BUILD" && pwd)
LOADGEN=$BUILD/bench/tarnwick-loadgen
if [[ ! -x $LOADGEN ]]; then
    echo "bench: $LOADGEN is not built; run 'make bench'" >&2
    exit 1
fi

# ---- Sizes -------------------------------------------------------------------------------
if [[ $PROFILE == full ]]; then
    REPEATS=3 THROUGHPUT_BYTES=$((1024 * 1024 * 1024)) CONNRATE_SECONDS=10
    LATENCY_COUNT=20000 IDLE_CONNECTIONS=1000 UDP_SECONDS=10
else
    REPEATS=1 THROUGHPUT_BYTES=$((512 * 1024 * 1024)) CONNRATE_SECONDS=8
    LATENCY_COUNT=10000 IDLE_CONNECTIONS=300 UDP_SECONDS=8
fi
CLIENTS=8
UDP_WINDOW=32
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
# Each forwarder NAME in FORWARDERS provides two functions:
#   fw_NAME_available         succeeds when it can run here; otherwise prints why not.
#   fw_NAME_start PROTO P Q   starts it in the background, listening on 127.0.0.1 port P
#                             (PROTO tcp or udp) and forwarding to 127.0.0.1:Q, and sets
#                             FW_PID to the process to measure and stop. Start it through
#                             `setsid`, so that FW_PID leads a process group that also holds
#                             any children it forks; the whole group is stopped at the end.
# The driver waits until P is listening, so a start function need not.
FORWARDERS=(socat tarnwick)

fw_socat_available() {
    command -v socat >/dev/null || { echo "not installed"; return 1; }
}

fw_socat_start() {
    local proto=$1 listen=$2 target=$3
    if [[ $proto == tcp ]]; then
        # A child per connection; socat's listen backlog stays at its default of 5.
        setsid socat "TCP-LISTEN:$listen,bind=127.0.0.1,fork,reuseaddr" \
            "TCP:127.0.0.1:$target" </dev/null >>"$WORK/socat.log" 2>&1 &
    else
        # One child per client address; -T ends a child after 60 idle seconds.
        setsid socat -T 60 "UDP-LISTEN:$listen,bind=127.0.0.1,fork,reuseaddr" \
            "UDP:127.0.0.1:$target" </dev/null >>"$WORK/socat.log" 2>&1 &
    fi
    FW_PID=$!
}

# Tarnwick: the real program, headless, with one Standard port imported into a
# configuration directory of its own for each start.
TARNWICK=${TARNWICK:-$BUILD/app/tarnwick}

fw_tarnwick_available() {
    [[ -x $TARNWICK ]] || { echo "not built"; return 1; }
}

fw_tarnwick_start() {
    local proto=$1 listen=$2 target=$3
    local dir
    dir=$(mktemp -d "$WORK/tarnwick-XXXXXX")
    printf '{"ports":[{"protocol":"%s","listenPort":%d,"forwardIp":"127.0.0.1","forwardPort":%d}]}\n' \
        "$proto" "$listen" "$target" >"$dir/ports.json"
    "$TARNWICK" --config-dir "$dir" --import "$dir/ports.json" >>"$WORK/tarnwick.log" 2>&1
    setsid "$TARNWICK" --headless --config-dir "$dir" </dev/null >>"$WORK/tarnwick.log" 2>&1 &
    FW_PID=$!
}

# start_forwarder NAME PROTO TARGET_PORT: starts it on a free port; sets FW_PID, FW_PORT.
start_forwarder() {
    local name=$1 proto=$2 target=$3 line
    line=$("$LOADGEN" freeport --proto "$proto")
    FW_PORT=$(field "$line" port) || { echo "bench: no free port: $line" >&2; return 1; }
    "fw_${name}_start" "$proto" "$FW_PORT" "$target"
    OWNED_GROUPS+=("$FW_PID")
    if ! wait_for 10 listening "$proto" "$FW_PORT"; then
        echo "bench: $name ($proto) is not listening on $FW_PORT; see $WORK/$name.log" >&2
        return 1
    fi
}

# ---- Measurements ------------------------------------------------------------------------
# Metric keys, in table order, with their label, which way is better, and how repeats
# combine: the median, or the sum for error counts (a failure in any repeat must show).
METRICS=(throughput conn_rate conn_errors latency_p50 latency_p99 idle_kib udp_rate udp_loss)
declare -A LABEL=(
    [throughput]="TCP throughput, MB/s"
    [conn_rate]="TCP connections/s, $CLIENTS clients"
    [conn_errors]="TCP connection errors"
    [latency_p50]="TCP latency p50, us"
    [latency_p99]="TCP latency p99, us"
    [idle_kib]="idle KiB per connection"
    [udp_rate]="UDP requests/s, window $UDP_WINDOW"
    [udp_loss]="UDP loss, %"
)
declare -A BETTER=(
    [throughput]=higher [conn_rate]=higher [conn_errors]=lower [latency_p50]=lower
    [latency_p99]=lower [idle_kib]=lower [udp_rate]=higher [udp_loss]=lower
)
declare -A RESULTS=()

record() {
    RESULTS[$1,$2]+="$3 "
}

# load TIME_LIMIT [--cpu CPU] SUBCOMMAND ARGS...: runs the load generator, on CPU if given,
# and prints its result line; the raw line also goes to $RAW.
load() {
    local limit=$1 line command=("$LOADGEN")
    shift
    if [[ $1 == --cpu ]]; then
        command=(taskset -c "$2" "$LOADGEN")
        shift 2
    fi
    line=$(timeout -k 5 "$limit" "${command[@]}" "$@" 2>>"$WORK/loadgen.err") || true
    printf '%-9s %s\n' "$TARGET" "${line:-cmd=$1 error=no_result_line ok=0}" >>"$RAW"
    printf '%s\n' "$line"
}

# Ping-pong latency on a VM with few CPUs depends mostly on whether the scheduler put
# client, forwarder and backend on one CPU or spread them (a cross-CPU wake-up can cost
# tens of microseconds), and that choice changes from run to run. For the latency load
# all three share one CPU, so the figure is the cost of the path itself.
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

# measure TARGET SINK_PORT ECHO_PORT UDP_PORT [IDLE_PID]: one round of every load. The idle
# load measures the memory of the forwarder IDLE_PID; a direct round has none.
measure() {
    TARGET=$1
    local sink=127.0.0.1:$2 echo=127.0.0.1:$3 udp=127.0.0.1:$4 pid=${5:-} line
    echo "  $TARGET" >&2

    line=$(load "$GRACE" throughput --target "$sink" --bytes "$THROUGHPUT_BYTES")
    record "$TARGET" throughput "$(ok_field "$line" mb_per_s)"

    line=$(load $((CONNRATE_SECONDS + GRACE)) connrate --target "$echo" \
        --clients "$CLIENTS" --seconds "$CONNRATE_SECONDS")
    record "$TARGET" conn_rate "$(ok_field "$line" conn_per_s)"
    record "$TARGET" conn_errors "$(field "$line" errors || echo fail)"

    pin "$LATENCY_CPU" "$ECHO_PID" "$pid"
    line=$(load "$GRACE" --cpu "$LATENCY_CPU" latency --target "$echo" --count "$LATENCY_COUNT")
    pin "$ALL_CPUS" "$ECHO_PID" "$pid"
    record "$TARGET" latency_p50 "$(ok_field "$line" p50_us)"
    record "$TARGET" latency_p99 "$(ok_field "$line" p99_us)"

    if [[ -n $pid ]]; then
        line=$(load "$GRACE" idle --target "$echo" --connections "$IDLE_CONNECTIONS" \
            --pid "$pid")
        record "$TARGET" idle_kib "$(ok_field "$line" kib_per_conn)"
    fi

    line=$(load $((UDP_SECONDS + GRACE)) udp --target "$udp" --window "$UDP_WINDOW" \
        --seconds "$UDP_SECONDS")
    record "$TARGET" udp_rate "$(ok_field "$line" req_per_s)"
    record "$TARGET" udp_loss "$(field "$line" loss_pct || echo fail)"
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
    header=$(printf '%-34s %12s' metric direct)
    for name in "${ACTIVE[@]}"; do
        header+=$(printf ' %12s %9s' "$name" "ratio")
    done
    printf '%s  %s\n' "$header" "better"
    for metric in "${METRICS[@]}"; do
        how=median
        [[ $metric == conn_errors ]] && how=sum
        # shellcheck disable=SC2086  # the stored values are blank-separated words
        direct=$(combine "$how" ${RESULTS[direct,$metric]:-})
        row=$(printf '%-34s %12s' "${LABEL[$metric]}" "$direct")
        for name in "${ACTIVE[@]}"; do
            # shellcheck disable=SC2086
            value=$(combine "$how" ${RESULTS[$name,$metric]:-})
            if [[ $how == sum ]]; then
                row+=$(printf ' %12s %9s' "$value" "-")
            else
                row+=$(printf ' %12s %9s' "$value" "$(ratio "$value" "$direct")")
            fi
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

# One instance per backend and protocol; the one in front of the echo backend is the one
# whose memory the idle load measures.
declare -A FW_TCP_SINK FW_TCP_ECHO FW_UDP FW_ECHO_PID
start_instances() {
    local name=$1
    start_forwarder "$name" tcp "$SINK_PORT" || return 1
    FW_TCP_SINK[$name]=$FW_PORT
    start_forwarder "$name" tcp "$ECHO_PORT" || return 1
    FW_TCP_ECHO[$name]=$FW_PORT
    FW_ECHO_PID[$name]=$FW_PID
    start_forwarder "$name" udp "$UDP_PORT" || return 1
    FW_UDP[$name]=$FW_PORT
}

ACTIVE=()
SKIPPED=()
for name in "${FORWARDERS[@]}"; do
    if ! why=$("fw_${name}_available"); then
        SKIPPED+=("$name: $why")
    elif ! start_instances "$name"; then
        SKIPPED+=("$name: did not start, see $WORK/$name.log")
    else
        ACTIVE+=("$name")
    fi
done

started=$SECONDS
for ((round = 1; round <= REPEATS; round++)); do
    echo "bench: round $round of $REPEATS" >&2
    measure direct "$SINK_PORT" "$ECHO_PORT" "$UDP_PORT"
    for name in "${ACTIVE[@]}"; do
        measure "$name" "${FW_TCP_SINK[$name]}" "${FW_TCP_ECHO[$name]}" "${FW_UDP[$name]}" \
            "${FW_ECHO_PID[$name]}"
    done
done

echo
echo "Tarnwick bench ($PROFILE): $REPEATS round(s), medians; $(nproc) cores; $((SECONDS - started)) s"
echo "ratio = forwarder / direct; errors are summed over the rounds. Idle: growth of the"
echo "forwarder's PSS (its forked children included) per open idle connection. Latency:"
echo "client, forwarder and backend share CPU $LATENCY_CPU."
for line in "${SKIPPED[@]}"; do
    echo "skipped $line"
done
echo
print_table
echo
echo "raw result lines: $RAW"
