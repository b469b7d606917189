#!/usr/bin/env bash
# The sample database for trying the wizard.
#
#   sample-db.sh start STATE_DIR [PASSWORD]   starts a throwaway PostgreSQL with the tables of
#                                             scripts/sample.sql and stores its details in the
#                                             program's settings store (Drumlane.ini under
#                                             ${XDG_CONFIG_HOME:-~/.config}), through the same
#                                             code as the program (build first);
#                                             PASSWORD replaces the real one there
#   sample-db.sh stop STATE_DIR               stops it and removes it
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command=${1:?usage: sample-db.sh start|stop STATE_DIR [PASSWORD]}
state=${2:?usage: sample-db.sh start|stop STATE_DIR [PASSWORD]}

case "$command" in
stop)
    exec "$here/../tests/support/pg-testbed.sh" stop "$state"
    ;;
start)
    "$here/../tests/support/pg-testbed.sh" start "$state" "$here/sample.sql"
    # shellcheck disable=SC1091
    . "$state/connection.env"
    store=$(printf '%s\n' "PostgreSQLServer=$KESTROVE_PG_SERVER" "PostgreSQLPort=$KESTROVE_PG_PORT" \
        "PostgreSQLUser=$KESTROVE_PG_USER" "PostgreSQLPassword=${3:-$KESTROVE_PG_PASSWORD}" \
        "PostgreSQLDatabase=$KESTROVE_PG_DATABASE" | "$here/../build/kestrove-store-settings")
    echo "Sample database $KESTROVE_PG_DATABASE on $KESTROVE_PG_SERVER:$KESTROVE_PG_PORT; its details are stored in $store."
    ;;
*)
    echo "usage: sample-db.sh start|stop STATE_DIR [PASSWORD]" >&2
    exit 2
    ;;
esac
