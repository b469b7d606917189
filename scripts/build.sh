#!/usr/bin/env bash
# Configures and builds into build/ (warnings are errors), with the flags of the Debian
# package.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/debian-flags.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVE_WARNINGS_AS_ERRORS=ON \
    "${debian_flags[@]}"
cmake --build build -j "$(nproc)"
