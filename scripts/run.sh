#!/usr/bin/env bash
# Installs what is needed, builds, starts a throwaway PostgreSQL with a small sample
# database, stores its details in settings of its own (your own stored details stay as
# they are) and starts the wizard on it. Without a display it says why and runs the same
# export without a window instead (kestrove-export --all). The database is removed again
# at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

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

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'TEXT'

kestrove: there is no display here (DISPLAY and WAYLAND_DISPLAY are both empty), so the
wizard cannot show its windows: run this command from a desktop session, or log in with
"ssh -X", to see it. Meanwhile the same export runs without a window: kestrove-export --all.
TEXT
    # The sample's stored details and password only: no libpq variables of yours, no prompt.
    workbook=$(env -u PGHOST -u PGPORT -u PGUSER -u PGDATABASE -u PGPASSWORD -u PGPASSFILE \
        build/kestrove-export --no-password --all)
    echo "The workbook went to: $workbook"
    /usr/bin/python3 - "$workbook" <<'PYTHON'
import sys
import openpyxl
for sheet in openpyxl.load_workbook(sys.argv[1], read_only=True).worksheets:
    print(f"  {sheet.title}: {max(sheet.max_row - 1, 0)} rows")
PYTHON
    exit 0
fi

scripts/install-spreadsheet.sh
echo "Starting Kestrove. Workbooks go to your Documents folder, under Kestrove/."
build/kestrove
