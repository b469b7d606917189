#!/usr/bin/env bash
# Takes pictures of both windows on a virtual display, against the sample database:
# docs/screenshots/setup-connections.png and docs/screenshots/table-selection.png.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KESTROVE_ON_VIRTUAL_DISPLAY:-}" ]; then
    scripts/install-deps.sh
    scripts/build.sh
    scripts/install-spreadsheet.sh
    export KESTROVE_ON_VIRTUAL_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

state=build/screenshots-db
config=$(mktemp -d)
export XDG_CONFIG_HOME=$config
trap 'scripts/sample-db.sh stop "$state"; rm -rf "$config"' EXIT
mkdir -p docs/screenshots

# Grabs the program's visible window into a PNG file.
grab() {
    local window
    window=$(xdotool search --sync --onlyvisible --name '^Kestrove$' | head -n 1)
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$window")"
    /usr/bin/python3 -c "
import sys
from PIL import ImageGrab
ImageGrab.grab(bbox=($X, $Y, $X + $WIDTH, $Y + $HEIGHT), xdisplay='$DISPLAY').save(sys.argv[1])
" "$1"
    echo "$1: ${WIDTH}x${HEIGHT}"
}

# Details that do not connect (a wrong password) keep the setup window on the screen.
scripts/sample-db.sh start "$state" not-the-password >/dev/null
build/kestrove &
program=$!
grab docs/screenshots/setup-connections.png
kill "$program"
wait "$program" 2>/dev/null || true

# Details that connect go straight on to the table list; three tables ticked by clicks.
scripts/sample-db.sh start "$state" >/dev/null
build/kestrove &
program=$!
window=$(xdotool search --sync --onlyvisible --name '^Kestrove$' | head -n 1)
sleep 1
eval "$(xdotool getwindowgeometry --shell "$window")"
for row in 0 1 3; do
    xdotool mousemove $((X + 16)) $((Y + 51 + row * 14)) click 1
done
xdotool mousemove $((X + 300)) $((Y + 290))
grab docs/screenshots/table-selection.png
kill "$program"
wait "$program" 2>/dev/null || true
