#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and running need, and
# the npm package the tests read workbooks with; with package names as arguments, only
# those (what packaging needs).
# Idempotent; run as root (or through sudo).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=("$@")
[ "$#" -gt 0 ] || packages=(
    cmake ninja-build g++ pkg-config git dpkg-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    unixodbc unixodbc-dev odbc-postgresql
    zlib1g-dev libminizip-dev libisal-dev libxlsxwriter-dev
    libgtest-dev
    postgresql postgresql-contrib
    python3 python3-openpyxl python3-pandas python3-xlsxwriter python3-psycopg2
    xdg-utils xvfb xauth fonts-liberation xdotool python3-pil
    gnumeric locales iptables libreoffice-calc-nogui poppler-utils
)
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    "${sudo[@]}" apt-get update
    "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
[ "$#" -eq 0 ] || exit 0
# The tests compare every value under a decimal-comma locale as well.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    "${sudo[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
# ...and under a locale whose codeset is not UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.iso88591$'; then
    "${sudo[@]}" localedef -i de_DE -f ISO-8859-1 de_DE.ISO-8859-1
fi
# Node.js and npm (Debian's, where the machine has none) for SheetJS, which the tests read
# workbooks with as Excel formats cells; the version pinned in tests/support/package-lock.json,
# installed again when that changes. (npm's audit is left out: the advisories on this
# version concern reading crafted files, and the tests read only their own.)
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    "${sudo[@]}" apt-get update
    "${sudo[@]}" apt-get install -y --no-install-recommends nodejs npm
fi
support=$(cd "$(dirname "$0")/../tests/support" && pwd)
if [ ! "$support/node_modules/.package-lock.json" -nt "$support/package-lock.json" ]; then
    npm ci --prefix "$support" --no-audit --no-fund
fi
