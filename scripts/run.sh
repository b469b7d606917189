#!/usr/bin/env bash
# Installs what is needed, builds, starts a throwaway PostgreSQL with a small sample
# database, stores its details in the program's settings and starts the wizard on it.
# The server is removed again when the wizard ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'TEXT'
kestrove: there is no display here (DISPLAY and WAYLAND_DISPLAY are both empty).
Kestrove is a desktop program and needs one to show its windows. Run this command from a
desktop session, or over "ssh -X". The program is built as build/kestrove; the tests run
without a display (scripts/test.sh).
TEXT
    exit 1
fi

sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
mime=application/vnd.openxmlformats-officedocument.spreadsheetml.sheet
if [ -z "$(xdg-mime query default "$mime" 2>/dev/null)" ] &&
    ! command -v libreoffice soffice localc gnumeric onlyoffice-desktopeditors >/dev/null; then
    echo "No spreadsheet program found: installing Gnumeric from Debian." >&2
    "${sudo[@]}" apt-get install -y --no-install-recommends gnumeric
fi

state=build/sample-db
tests/support/pg-testbed.sh start "$state" scripts/sample.sql
trap 'tests/support/pg-testbed.sh stop "$state"' EXIT
# shellcheck disable=SC1091
. "$state/connection.env"

# The settings store the program reads at start: the sample database's details.
config=${XDG_CONFIG_HOME:-$HOME/.config}
mkdir -p "$config"
(
    umask 077
    cat >"$config/Drumlane.ini" <<INI
[Kestrove]
PostgreSQLServer=$KESTROVE_PG_SERVER
PostgreSQLPort=$KESTROVE_PG_PORT
PostgreSQLUser=$KESTROVE_PG_USER
PostgreSQLPassword=$KESTROVE_PG_PASSWORD
PostgreSQLDatabase=$KESTROVE_PG_DATABASE
INI
)
chmod 600 "$config/Drumlane.ini"
echo "Sample database $KESTROVE_PG_DATABASE on $KESTROVE_PG_SERVER:$KESTROVE_PG_PORT; its details are in $config/Drumlane.ini."
echo "Starting Kestrove. Workbooks go to your Documents folder, under Kestrove/."
build/kestrove
