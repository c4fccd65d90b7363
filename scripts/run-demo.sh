#!/usr/bin/env bash
# Builds the project, packages the demo application with kestrova-pack and launches it; arguments
# go to the demo (--window, --check-updates, --fail).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

build/stage/bin/kestrova-pack bundle --name KestrovaDemo --out build/demo --force \
  --main-class demo.Demo --jar build/examples/kestrova-demo.jar --bundle-version 1.0 --with-updater \
  --arg "hello from the launch record"

status=0
build/demo/KestrovaDemo.app/Contents/MacOS/KestrovaDemo "$@" || status=$?
echo "KestrovaDemo exited with status $status"
exit "$status"
