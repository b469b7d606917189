#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and running need.
# Idempotent; run as root (or through sudo).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
    cmake ninja-build g++ pkg-config git
    qt6-base-dev qt6-base-dev-tools libgl-dev
    unixodbc unixodbc-dev odbc-postgresql
    libxlsxwriter-dev
    libgtest-dev
    postgresql postgresql-contrib
    python3 python3-openpyxl python3-pandas python3-xlsxwriter python3-psycopg2
    xdg-utils xvfb xauth fonts-liberation xdotool python3-pil
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
