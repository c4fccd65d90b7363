#!/usr/bin/env bash
# Builds the Release configuration and runs every test: unit, end-to-end (real JVMs) and the alert
# under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
ctest --preset default -j "$(nproc)" "$@"
