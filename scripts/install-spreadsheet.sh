#!/usr/bin/env bash
# Installs Gnumeric from Debian when no program that opens .xlsx files is present, so that
# the wizard finds one at start and can open the workbooks it makes; and Carlito, a font
# with Calibri's metrics (the workbooks' font), so that fitted columns fit.
set -euo pipefail
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
install() {
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
dpkg-query -W -f='${Status}' fonts-crosextra-carlito 2>/dev/null | grep -q "install ok installed" ||
    install fonts-crosextra-carlito
mime=application/vnd.openxmlformats-officedocument.spreadsheetml.sheet
if [ -n "$(xdg-mime query default "$mime" 2>/dev/null)" ]; then
    exit 0
fi
for program in libreoffice soffice localc gnumeric onlyoffice-desktopeditors; do
    command -v "$program" >/dev/null && exit 0
done
echo "No spreadsheet program found: installing Gnumeric from Debian." >&2
install gnumeric
