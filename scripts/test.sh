#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test against a throwaway PostgreSQL.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd build
ctest --output-on-failure -j 2
