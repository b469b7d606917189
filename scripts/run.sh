#!/usr/bin/env bash
# Installs what is needed, builds, starts a throwaway PostgreSQL with a small sample
# database, stores its details in settings of its own (your own stored details stay as
# they are) and starts the wizard on it. The database is removed again when the wizard ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'TEXT'

kestrove: there is no display here (DISPLAY and WAYLAND_DISPLAY are both empty).
Kestrove is a desktop program and needs a display to show its windows: run this command
from a desktop session, or log in with "ssh -X". The program is built as build/kestrove;
the tests need no display (scripts/test.sh), and scripts/screenshots.sh shows the windows
as pictures, taken on a virtual display.
TEXT
    exit 1
fi

scripts/install-spreadsheet.sh
state=build/sample-db
trap 'scripts/sample-db.sh stop "$state"' EXIT
# The sample's details go into a settings folder of their own; the desktop's own folder
# names (Documents) come along.
config="$PWD/$state-config"
mkdir -p "$config"
real_config=${XDG_CONFIG_HOME:-$HOME/.config}
[ -f "$real_config/user-dirs.dirs" ] && cp "$real_config/user-dirs.dirs" "$config/"
export XDG_CONFIG_HOME="$config"
scripts/sample-db.sh start "$state"
echo "Starting Kestrove. Workbooks go to your Documents folder, under Kestrove/."
build/kestrove
