#!/usr/bin/env bash
# Builds the project, packages the demo application with kestrova-pack and launches it; arguments
# go to the demo (--window, --check-updates, --fail).
#
# With --update first, shows an update installing itself instead: the demo is packaged at 1.0 and
# at 1.1 with a key pair made for the run, 1.1 is released into a site served on 127.0.0.1, and
# 1.0 starts with FORCE_UPDATE_CHECK, so its launch is held and the update is offered; "Install
# Update" replaces 1.0 with 1.1, which then starts with the same arguments. The installed copy
# stays in build/demo-update/ (start it again: it is 1.1 now).
set -euo pipefail
cd "$(dirname "$0")/.."

update=false
if [ "${1:-}" = "--update" ]; then
  update=true
  shift
fi

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

pack=build/stage/bin/kestrova-pack

if ! $update; then
  "$pack" bundle --name KestrovaDemo --out build/demo --force \
    --main-class demo.Demo --jar build/examples/kestrova-demo.jar --bundle-version 1.0 --with-updater \
    --arg "hello from the launch record"

  status=0
  build/demo/KestrovaDemo.app/Contents/MacOS/KestrovaDemo "$@" || status=$?
  echo "KestrovaDemo exited with status $status"
  exit "$status"
fi

work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
feed="http://127.0.0.1:$port/appcast.xml"
public_key=$("$pack" generate-keys --key-file "$work/release-key.pem")

# Both versions carry the same key and feed; 1.1 travels, so it carries a runtime of its own.
common=(--name KestrovaDemo --main-class demo.Demo --jar build/examples/kestrova-demo.jar --with-updater
        --feed-url "$feed" --public-ed-key "$public_key")
echo "Packaging KestrovaDemo 1.1 with a runtime made by jlink ..."
"$pack" bundle "${common[@]}" --out "$work/new" --bundle-version 1.1 --jlink --arg "hello from version 1.1"
"$pack" release "$work/new/KestrovaDemo.app" --key-file "$work/release-key.pem" --site "$work/site" \
  --download-url-prefix "http://127.0.0.1:$port"
"$pack" bundle "${common[@]}" --out build/demo-update --force --bundle-version 1.0 \
  --arg "hello from version 1.0"

python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/site" >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  curl -sf "http://127.0.0.1:$port/metadata.properties" -o /dev/null && break
  sleep 0.1
done
echo "Release site of 1.1 served at http://127.0.0.1:$port/ ($(ls "$work/site" | tr '\n' ' '))"
echo "Starting KestrovaDemo 1.0: choose \"Install Update\" and 1.1 starts in its place."

status=0
FORCE_UPDATE_CHECK=1 KESTROVA_UPDATE_LOG="$work/update.log" \
  build/demo-update/KestrovaDemo.app/Contents/MacOS/KestrovaDemo "$@" || status=$?
echo "KestrovaDemo exited with status $status; the update log said:"
sed 's/^/  /' "$work/update.log" 2>/dev/null || true
echo "Installed: build/demo-update/KestrovaDemo.app, version $(sed -n '/CFBundleVersion/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' \
  build/demo-update/KestrovaDemo.app/Contents/Info.plist)"
exit "$status"
