#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests, the benchmark and the demo.
#
#   pg-testbed.sh start STATE_DIR [SQL_FILE...]   initdb into a temp folder, start on a free
#                                                 local port, load the SQL files, and write
#                                                 STATE_DIR/connection.env
#   pg-testbed.sh stop STATE_DIR                  stop the server and remove its folder
#
# The server refuses to run as root, so as root it runs as the unprivileged "postgres"
# user (or "nobody"). Clients reach it over TCP on 127.0.0.1 with password
# authentication; the SQL files are loaded as the superuser through the socket.
set -euo pipefail

command=${1:?usage: pg-testbed.sh start|stop STATE_DIR [SQL_FILE...]}
state=${2:?usage: pg-testbed.sh start|stop STATE_DIR [SQL_FILE...]}
shift 2

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bindir/initdb" ] || { echo "pg-testbed: PostgreSQL server binaries not found" >&2; exit 1; }

as_server() {
    if [ "$(id -u)" = 0 ]; then
        local user=postgres
        id -u "$user" >/dev/null 2>&1 || user=nobody
        runuser -u "$user" -- "$@"
    else
        "$@"
    fi
}

stop() {
    [ -f "$state/connection.env" ] || return 0
    # shellcheck disable=SC1091
    local dir
    dir=$(sed -n 's/^KESTROVE_PG_DIR=//p' "$state/connection.env")
    if [ -n "$dir" ] && [ -d "$dir" ]; then
        as_server "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
        rm -rf "$dir"
    fi
    rm -f "$state/connection.env"
}

free_port() {
    local port
    for port in $(shuf -i 20000-60000 -n 100); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

start() {
    mkdir -p "$state"
    stop
    local dir
    dir=$(mktemp -d /tmp/kestrove-pg.XXXXXX)
    chmod 755 "$dir"
    [ "$(id -u)" = 0 ] && chown "$(id -u postgres 2>/dev/null || id -u nobody)" "$dir"
    local password=superuser-secret
    as_server bash -c "printf '%s\n' '$password' > '$dir/pwfile'"
    as_server "$bindir/initdb" -D "$dir/data" -U postgres --pwfile="$dir/pwfile" -E UTF8 \
        --locale=C --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    # Room in the lock table for an export of thousands of tables, read on two
    # connections, beside the other tests that run at the same time; and in the
    # statement statistics, which tests read back, for every statement of a run (one
    # export of 2,000 tables makes 5,000 of them, and a full table of them drops the
    # least used, those of another test running beside it).
    local port tries=0
    until port=$(free_port) &&
        as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start \
            -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c shared_preload_libraries=pg_stat_statements -c pg_stat_statements.max=50000 -c max_locks_per_transaction=256" \
            >/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 5 ] || { cat "$dir/server.log" >&2; exit 1; }
    done
    cat >"$state/connection.env" <<ENV
KESTROVE_PG_DIR=$dir
KESTROVE_PG_BIN=$bindir
KESTROVE_PG_SERVER=127.0.0.1
KESTROVE_PG_PORT=$port
KESTROVE_PG_USER=kestrove_test
KESTROVE_PG_PASSWORD=Kestrove-Test-1
KESTROVE_PG_DATABASE=kestrove_test
ENV
    as_server "$bindir/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d postgres \
        -c "CREATE ROLE kestrove_test LOGIN CREATEROLE PASSWORD 'Kestrove-Test-1'" \
        -c "CREATE DATABASE kestrove_test OWNER kestrove_test" >/dev/null
    local file
    for file in "$@"; do
        as_server "$bindir/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres \
            -d kestrove_test -f - <"$file" >/dev/null
    done
}

case "$command" in
start) start "$@" ;;
stop) stop ;;
*) echo "usage: pg-testbed.sh start|stop STATE_DIR [SQL_FILE...]" >&2; exit 2 ;;
esac
