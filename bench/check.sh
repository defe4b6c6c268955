#!/usr/bin/env bash
# Smoke run of the load generator against its own backends, direct on loopback: checks
# the order statistics, and that every count it reports (bytes through a sink, echo round
# trips, datagrams) agrees with what the backends counted. A few seconds; run.sh runs it
# first so that no table rests on a broken counter.
#
#   bench/check.sh [--build DIR]
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$BENCH_DIR/../build
if [[ ${1:-} == --build && -n ${2:-} ]]; then
    BUILD=$2
fi
LOADGEN=$BUILD/bench/tarnwick-loadgen
STATS_CHECK=$BUILD/bench/tarnwick-stats-check
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench-check.XXXXXX")
source "$BENCH_DIR/lib.sh"
trap 'stop_owned; rm -rf "$WORK"' EXIT

failures=0
fail() {
    echo "check: FAIL $*" >&2
    failures=$((failures + 1))
}

# expect LINE KEY VALUE
expect() {
    local actual
    actual=$(field "$1" "$2") || actual="(none)"
    [[ $actual == "$3" ]] || fail "$2=$actual, expected $3 in: $1"
}

"$STATS_CHECK" >/dev/null || fail "stats: $("$STATS_CHECK")"

start_server sink sink || exit 1
sink=127.0.0.1:$SERVER_PORT
start_server echo echo || exit 1
echo_pid=$SERVER_PID echo=127.0.0.1:$SERVER_PORT
start_server tag:ALPHA- tag || exit 1
tag=127.0.0.1:$SERVER_PORT
start_server udp-echo udp || exit 1
udp=127.0.0.1:$SERVER_PORT
# Routed connections get a tag backend of their own, outside the byte counts below.
start_server tag:RIGHT- routed || exit 1
routed=127.0.0.1:$SERVER_PORT

# Byte counts: sizes around the client's chunk and the backend's buffer, and zero. The
# sink must have taken each header "N\n" plus N bytes, no more and no less.
sink_expected=0
for bytes in 0 1 262143 262144 262145 10000019; do
    line=$(timeout 60 "$LOADGEN" throughput --target "$sink" --bytes "$bytes") || true
    expect "$line" ok 1
    expect "$line" received "$bytes"
    sink_expected=$((sink_expected + bytes + ${#bytes} + 1))
done

# The sink answers only once all N bytes are in: 3 of 10 get no answer.
line=$(timeout 60 "$LOADGEN" probe --target "$sink" --send $'3\nabc' --expect $'received=3\n') ||
    true
expect "$line" ok 1
line=$(timeout 60 "$LOADGEN" probe --target "$sink" --send $'10\nabc' --expect received=3 \
    --wait-ms 300) || true
expect "$line" ok 0
sink_expected=$((sink_expected + 5 + 6))

line=$(timeout 60 "$LOADGEN" latency --target "$echo" --count 500 --warmup 10) || true
expect "$line" ok 1
expect "$line" samples 500
p50=$(field "$line" p50_us) p99=$(field "$line" p99_us) max=$(field "$line" max_us)
awk -v a="$p50" -v b="$p99" -v c="$max" 'BEGIN { exit !(a > 0 && a <= b && b <= c) }' ||
    fail "latency order: p50=$p50 p99=$p99 max=$max"

line=$(timeout 60 "$LOADGEN" connrate --target "$echo" --seconds 1 --clients 4) || true
expect "$line" ok 1
expect "$line" errors 0
connections=$(field "$line" connections) || connections=0

# Keep-alive: every request answered in the time counts, the ones still in flight at the
# end come back as drained, and the echo backend must have taken all of them.
line=$(timeout 60 "$LOADGEN" keepalive --target "$echo" --connections 5 --seconds 1) || true
expect "$line" ok 1
expect "$line" errors 0
expect "$line" drained 5
keepalive_requests=$(($(field "$line" requests) + $(field "$line" drained)))
p50=$(field "$line" p50_us) p99=$(field "$line" p99_us) max=$(field "$line" max_us)
awk -v a="$p50" -v b="$p99" -v c="$max" 'BEGIN { exit !(a > 0 && a <= b && b <= c) }' ||
    fail "keepalive latency order: p50=$p50 p99=$p99 max=$max"

line=$(timeout 60 "$LOADGEN" idle --target "$echo" --connections 50 --pid "$echo_pid") || true
expect "$line" ok 1
expect "$line" opened 50

# Scale, against the echo backend itself: each connection holds exactly one of its
# descriptors and no thread, and all of them are given back after the close.
line=$(timeout 60 "$LOADGEN" scale --target "$echo" --connections 200 --pid "$echo_pid") ||
    true
expect "$line" ok 1
expect "$line" relayed 200
expect "$line" fds_peak $(($(field "$line" fds_before) + 200))
expect "$line" fds_after "$(field "$line" fds_before)"
expect "$line" threads_peak "$(field "$line" threads_before)"
# A descriptor limit too low for the count is reported, not run into.
line=$(ulimit -n 100 && timeout 60 "$LOADGEN" scale --target "$echo" --connections 200 \
    --pid "$echo_pid") || true
expect "$line" ok 0
[[ $(field "$line" error) == fd_limit_too_low* ]] || fail "no limit error: $line"

# Shutdown, against an echo backend of its own that the load ends with SIGTERM: every
# connection relayed, the backend ended, and every connection saw its end. The time it
# took is not checked. stop_owned then only reaps the backend.
start_server echo stopped || exit 1
line=$(timeout 60 "$LOADGEN" shutdown --target "127.0.0.1:$SERVER_PORT" --connections 300 \
    --pid "$SERVER_PID") || true
expect "$line" ok 1
expect "$line" relayed 300
expect "$line" ended 1
expect "$line" closed 300

line=$(timeout 60 "$LOADGEN" probe --target "$tag" --send hello --expect ALPHA-hello) || true
expect "$line" ok 1

# Routed connection rate: the right tag passes; another tag counts as a wrong route, and
# every wrong route as an error.
marker="F1 E2 D3 C4 B5 A6 97 88"
line=$(timeout 60 "$LOADGEN" connrate --target "$routed" --seconds 0.5 --clients 2 \
    --marker "$marker" --marker-offset 24 --expect-tag RIGHT-) || true
expect "$line" ok 1
expect "$line" errors 0
expect "$line" wrong_routes 0
line=$(timeout 60 "$LOADGEN" connrate --target "$routed" --seconds 0.5 --clients 2 \
    --marker "$marker" --marker-offset 24 --expect-tag WRONG-) || true
expect "$line" ok 0
expect "$line" connections 0
[[ $(field "$line" wrong_routes) -gt 0 ]] || fail "no wrong route counted: $line"
expect "$line" errors "$(field "$line" wrong_routes)"
# An echo that differs from the request is an error: the tag backend's answer starts with
# its tag, so every connection fails on its first request.
line=$(timeout 60 "$LOADGEN" keepalive --target "$routed" --connections 3 --seconds 0.5) || true
expect "$line" ok 0
expect "$line" requests 0
expect "$line" errors 3
expect "$line" first_error wrong_echo

# The routing decision in process: every decision agrees with the rules tried in order,
# and the order statistics are in order.
line=$(timeout 60 "$LOADGEN" decide --rules 200 --seconds 0.5) || true
expect "$line" ok 1
expect "$line" errors 0
expect "$line" cases 21
p50=$(field "$line" p50_us) p99=$(field "$line" p99_us) max=$(field "$line" max_us)
awk -v a="$p50" -v b="$p99" -v c="$max" 'BEGIN { exit !(a > 0 && a <= b && b <= c) }' ||
    fail "decide order: p50=$p50 p99=$p99 max=$max"

line=$(timeout 60 "$LOADGEN" udp --target "$udp" --seconds 1 --window 8) || true
expect "$line" ok 1
expect "$line" lost 0
expect "$line" corrupt 0
expect "$line" received "$(field "$line" sent)"
udp_bytes=$(($(field "$line" received) * 64))
line=$(timeout 60 "$LOADGEN" udp --target "$udp" --seconds 1 --clients 4 --window 2) || true
expect "$line" ok 1
expect "$line" clients 4
expect "$line" misdelivered 0
expect "$line" lost 0
expect "$line" received "$(field "$line" sent)"
udp_bytes=$((udp_bytes + $(field "$line" received) * 64))

# What the backends counted, read from the one line each prints when stopped.
stop_owned
for name in sink echo tag udp; do
    [[ $(wc -l <"$WORK/$name.out") == 1 ]] || fail "backend $name: $(cat "$WORK/$name.out")"
    expect "$(<"$WORK/$name.out")" ok 1
done
line=$(<"$WORK/sink.out")
expect "$line" bytes_in "$sink_expected"
expect "$line" connections 8
line=$(<"$WORK/echo.out")
expect "$line" connections $((1 + connections + 5 + 50 + 200))
expect "$line" bytes_out "$(field "$line" bytes_in)"
expect "$line" bytes_in $(((510 + connections + keepalive_requests) * 64 + 50 * 16 + 200 * 2 * 16))
# The stopped backend printed its counters on the SIGTERM, as it does when stopped.
line=$(<"$WORK/stopped.out")
expect "$line" ok 1
expect "$line" connections 300
expect "$line" bytes_in $((300 * 16))
line=$(<"$WORK/tag.out")
expect "$line" bytes_out $((6 + 5))
line=$(<"$WORK/udp.out")
expect "$line" bytes_in "$udp_bytes"

if ((failures > 0)); then
    echo "check: $failures failure(s)" >&2
    exit 1
fi
echo "check: ok (stats, sink byte counts, echo, keepalive, tag, routed connrate, idle, scale, shutdown, decide, udp)"
