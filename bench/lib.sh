# shellcheck shell=bash
# Helpers shared by bench/run.sh and bench/check.sh; sourced, not run.
# Expects LOADGEN (the tarnwick-loadgen program) and WORK (a scratch directory) to be set.

# PIDs this shell started and must end: plain processes, and leaders of their own process
# group (forwarders that may fork a child per connection). With each, its start time: a
# process may end on its own (the shutdown load ends a forwarder), this shell then reaps it
# by itself, even while it waits for another command, and its PID is free for any new
# process. Only a PID whose start time is still the one noted names the process started.
OWNED_PIDS=()
OWNED_GROUPS=()
declare -gA OWNED_STARTS=()

# start_time PID: when process PID started, in clock ticks after boot (field 22 of
# /proc/PID/stat), or nothing when there is no such process.
start_time() {
    local stat fields
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 0
    # The fields after the command name, which may hold blanks: the state is the first.
    read -r -a fields <<<"${stat##*) }"
    printf '%s\n' "${fields[19]:-}"
}

# own_pid PID / own_group PID: notes a process this shell has just started in the
# background, or the process group it leads, for stop_owned.
own_pid() {
    OWNED_STARTS[$1]=$(start_time "$1")
    OWNED_PIDS+=("$1")
}

own_group() {
    OWNED_STARTS[$1]=$(start_time "$1")
    OWNED_GROUPS+=("$1")
}

# ours PID: true while PID is still the process this shell started (running, or ended
# and not yet reaped).
ours() {
    local now
    now=$(start_time "$1")
    [[ -n $now && $now == "${OWNED_STARTS[$1]:-}" ]]
}

# ours_group PID: true when the group that PID led may be signalled: its leader is still
# ours, or no process has that PID and processes of the group live on (while they do, the
# group's ID, which is the PID, cannot be handed out again).
ours_group() {
    ours "$1" || { [[ ! -e /proc/$1 ]] && ! group_gone "$1"; }
}

# in_group COMMAND...: starts COMMAND in the background as the leader of a process group
# of its own and sets GROUP_PID; the group also holds whatever COMMAND forks, and
# stop_group ends them all. FW_LAYOUT says where it runs:
#   own     (the default) in a session of its own (setsid), as a systemd service or a
#           desktop application runs. With kernel.sched_autogroup_enabled, such a session
#           is a scheduling group of its own: all its threads together get one group's
#           share of the CPU against the clients and backends, however many there are.
#   shared  in this script's session, and so in its scheduling group: every thread of
#           forwarder, clients and backends competes on equal terms. This favours a
#           forwarder with a thread per connection over one with a single thread.
in_group() {
    if [[ ${FW_LAYOUT:-own} == shared ]]; then
        set -m
        "$@" &
        GROUP_PID=$!
        set +m
    else
        # A background job of this (non-interactive) shell is no group leader, so setsid
        # runs COMMAND in place, as leader of a new session and process group: $! is its PID.
        setsid "$@" &
        GROUP_PID=$!
    fi
}

# field LINE KEY: the value of KEY in a result line, or nothing.
field() {
    local pair
    for pair in $1; do
        if [[ $pair == "$2="* ]]; then
            printf '%s\n' "${pair#*=}"
            return 0
        fi
    done
    return 1
}

# ok_field LINE KEY: the value of KEY when the line reports ok=1, else "fail".
ok_field() {
    if [[ $(field "$1" ok) == 1 ]]; then
        field "$1" "$2" || echo fail
    else
        echo fail
    fi
}

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds or time is up.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        if ((SECONDS >= deadline)); then
            return 1
        fi
        sleep 0.05
    done
}

port_file_ready() { [[ -s $1 && ! -e $1.tmp ]]; }

# start_server MODE NAME [PREFIX...]: starts a backend, through the command PREFIX if given
# (one that execs it, such as prlimit); sets SERVER_PID and SERVER_PORT (for the caller).
# Its final result line lands in $WORK/NAME.out.
start_server() {
    local mode=$1 name=$2
    rm -f "$WORK/$name.port"
    "${@:3}" "$LOADGEN" server --mode "$mode" --port-file "$WORK/$name.port" --seconds 1800 \
        >"$WORK/$name.out" 2>&1 &
    SERVER_PID=$!
    own_pid "$SERVER_PID"
    if ! wait_for 10 port_file_ready "$WORK/$name.port"; then
        echo "bench: backend $name ($mode) did not start:" >&2
        cat "$WORK/$name.out" >&2
        return 1
    fi
    # shellcheck disable=SC2034  # read by the caller
    SERVER_PORT=$(<"$WORK/$name.port")
}

# listening PROTO PORT: true when something listens on PORT (TCP) or is bound to it (UDP).
listening() {
    local hex state files
    hex=$(printf ':%04X' "$2")
    if [[ $1 == tcp ]]; then
        state=0A
        files=(/proc/net/tcp /proc/net/tcp6)
    else
        state=07
        files=(/proc/net/udp /proc/net/udp6)
    fi
    awk -v port="$hex" -v state="$state" \
        'FNR > 1 && substr($2, length($2) - 4) == port && $4 == state { found = 1 }
         END { exit !found }' "${files[@]}" 2>/dev/null
}

# gone PID / group_gone PGID: true when the process, or every process of the group, has
# ended (a zombie waiting for this shell to reap it counts as ended).
gone() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 0
    [[ $state == Z* ]]
}

group_gone() {
    ps -e -o pgid=,stat= | awk -v group="$1" '$1 == group && $2 !~ /^Z/ { found = 1 }
                                              END { exit found }'
}

# stop_pid PID: SIGTERM, up to 5 s to end, then SIGKILL, and reaps it. For processes this
# shell started; one that has ended already is only reaped, and one whose PID now names
# another process gets no signal.
stop_pid() {
    if ours "$1" && ! gone "$1"; then
        kill -TERM "$1" 2>/dev/null || true
        wait_for 5 gone "$1" || kill -KILL "$1" 2>/dev/null || true
    fi
    wait "$1" 2>/dev/null || true
}

# stop_group PID: the same for the process group that PID leads (it and what it forked).
stop_group() {
    if ours_group "$1" && ! group_gone "$1"; then
        kill -TERM -- "-$1" 2>/dev/null || true
        wait_for 5 group_gone "$1" || kill -KILL -- "-$1" 2>/dev/null || true
    fi
    wait "$1" 2>/dev/null || true
}

stop_owned() {
    local pid
    for pid in "${OWNED_GROUPS[@]}"; do
        stop_group "$pid"
    done
    for pid in "${OWNED_PIDS[@]}"; do
        stop_pid "$pid"
    done
    OWNED_GROUPS=()
    OWNED_PIDS=()
    OWNED_STARTS=()
}
