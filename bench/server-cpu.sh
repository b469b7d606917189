#!/bin/sh
# The database server's cpu for one command of a benchmark: the user + system time of the
# server's passing processes (every backend, one per connection, and parallel workers)
# while the command runs, on the benchmark's own cluster where nothing else connects. The
# kernel adds a process's time to its parent's when the parent reaps it, so the
# postmaster's cutime + cstime (/proc/PID/stat, clock ticks) grows by exactly what each
# ended backend took, its start and its end included; a backend still running is read from
# its /proc/PID/schedstat. Sampling each backend's own figures while it runs would miss
# what it does after the last sample. The postmaster's lasting processes (checkpointer,
# writers, launchers) are left out.
#   server-cpu.sh init STATE DATA_DIR         notes the cluster's postmaster and its lasting
#                                             processes (run it with the cluster idle)
#   server-cpu.sh pin STATE CLIENT_COMMAND... pins the postmaster and its processes to cpu 0
#                                             (later ones inherit it), then checks that the
#                                             backend of CLIENT_COMMAND (one that holds a
#                                             connection for a moment) runs on cpu 0 alone
#   server-cpu.sh run STATE OUT COMMAND...    runs COMMAND, waits (up to about a second) for
#                                             its backends to end, and appends the server's
#                                             cpu seconds to OUT ("unsettled" after them
#                                             when a server process was still running);
#                                             exits with COMMAND's status
# Written for dash with builtins in the timed part: a benchmark's timer counts its cost.
set -u

# Sets ticks to the cpu of the postmaster's reaped children, in clock ticks. (No command
# substitutions here and below: each would cost a fork inside the timed run.)
reaped_ticks() {
    read -r stat <"/proc/$pm/stat"
    # After the command's name: field 3 is $1, so cutime (16) is $14 and cstime (17) $15.
    # shellcheck disable=SC2086
    set -- ${stat##*") "}
    ticks=$((${14} + ${15}))
}

# Sets passing to the first of the postmaster's processes that is not among the lasting
# ones (a backend, a worker), or to nothing.
find_passing() {
    children='' passing=''
    read -r children <"/proc/$pm/task/$pm/children" || :
    for child in $children; do
        case " $lasting " in
        *" $child "*) ;;
        *) passing=$child && return ;;
        esac
    done
}

# Waits, up to about a second, until no passing process is left: a backend's own end, after
# its client has gone, takes some cpu too. Sets unsettled when one was still there.
settle() {
    tries=0
    find_passing
    while [ -n "$passing" ]; do
        [ "$tries" -lt 200 ] || { unsettled=1 && return; }
        sleep 0.005
        tries=$((tries + 1))
        find_passing
    done
}

# Sets spent to the nanoseconds of cpu of every passing process so far: those reaped (the
# postmaster's cutime + cstime) and those still running or not yet reaped (their
# schedstat's time on a cpu). Read again when a process was reaped meanwhile, so that none
# is counted twice or missed.
snapshot() {
    tries=0
    while [ "$tries" -lt 100 ]; do
        tries=$((tries + 1))
        reaped_ticks
        first=$ticks running=0 gone=''
        children=''
        read -r children <"/proc/$pm/task/$pm/children" || :
        for child in $children; do
            case " $lasting " in
            *" $child "*) continue ;;
            esac
            { read -r runtime _ <"/proc/$child/schedstat"; } 2>/dev/null || { gone=1 && break; }
            running=$((running + runtime))
        done
        reaped_ticks
        [ -z "$gone" ] && [ "$ticks" = "$first" ] && break
    done
    spent=$((ticks * (1000000000 / hz) + running))
}

command=${1:?usage: server-cpu.sh init|pin|run STATE ...}
state=${2:?usage: server-cpu.sh init|pin|run STATE ...}
shift 2
case "$command" in
init)
    data=${1:?usage: server-cpu.sh init STATE DATA_DIR}
    read -r pm <"$data/postmaster.pid"
    # The lasting ones by their titles: not a client's backend ("host(port)" or "[local]",
    # as that of the statement that made the cluster's database may still be ending), nor a
    # worker, nor one that has ended.
    children='' lasting=''
    read -r children <"/proc/$pm/task/$pm/children" || :
    for child in $children; do
        title=$(tr '\0' ' ' 2>/dev/null <"/proc/$child/cmdline") || continue
        case "$title" in
        "" | *"("* | *"[local]"* | *worker*) ;;
        *) lasting="$lasting $child" ;;
        esac
    done
    echo "$pm $(getconf CLK_TCK)$lasting" >"$state"
    ;;
pin)
    read -r pm hz lasting <"$state"
    for process in $pm $lasting; do
        taskset -a -p -c 0 "$process" >/dev/null || exit 1
    done
    "$@" >/dev/null &
    client=$!
    backend=
    tries=0
    while [ -z "$backend" ] && [ "$tries" -lt 1000 ]; do
        sleep 0.005
        find_passing
        backend=$passing
        tries=$((tries + 1))
    done
    cpus=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "/proc/$backend/status" 2>/dev/null)
    wait "$client" || exit 1
    [ "$cpus" = 0 ] ||
        { echo "server-cpu.sh: a backend started after pinning runs on cpus '$cpus', not 0" >&2; exit 1; }
    echo "server pinned to cpu 0 (the postmaster, its $(echo "$lasting" | wc -w) processes, and backend $backend started after: cpus $cpus)"
    ;;
run)
    out=${1:?usage: server-cpu.sh run STATE OUT COMMAND...}
    shift
    read -r pm hz lasting <"$state"
    unsettled=''
    settle
    snapshot
    before=$spent
    "$@"
    status=$?
    settle
    snapshot
    centi=$(((spent - before + 5000000) / 10000000))
    # A server process still running at the start or the end (an autovacuum worker, say) is
    # counted for the time between.
    printf '%d.%02d%s\n' $((centi / 100)) $((centi % 100)) "${unsettled:+ unsettled}" >>"$out"
    exit "$status"
    ;;
*)
    echo "usage: server-cpu.sh init|pin|run STATE ..." >&2
    exit 2
    ;;
esac
