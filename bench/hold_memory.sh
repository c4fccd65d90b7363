#!/usr/bin/env bash
# Peak memory (maximum resident set, from /usr/bin/time -v) of a held launch against a hostile update
# site, beside that of a normal launch of the same bundle. The site stays within the byte bounds the
# launcher sets: a 4 MiB appcast of minimal items and a 1 MiB metadata file of small keys, announcing
# a newer version so that the gate holds the launch. There is no display: the hold's dialog falls
# back to standard error and the launch ends once it is dismissed.
# Usage: bench/hold_memory.sh [BUILD_DIR]   (default: build; run after building the default preset)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
stage="$build/stage"
java_home=$(sed -n 's/^KESTROVA_JAVA_HOME:PATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/site"
python3 - "$work/site" <<'PY'
import sys
site = sys.argv[1]
head = ('<?xml version="1.0" encoding="utf-8"?><rss version="2.0" '
        'xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><title>t</title>')
tail = '</channel></rss>'
item = '<item><enclosure url="_1"/></item>'
newest = '<item><sparkle:version>2.0</sparkle:version></item>'
count = (4 * 1024 * 1024 - len(head) - len(tail) - len(newest)) // len(item)
with open(site + '/appcast.xml', 'w') as f:
    f.write(head + item * count + newest + tail)
lines = ['app.version=2', 'app.revision=0']
size = sum(len(l) + 1 for l in lines)
n = 0
while True:
    line = '%x=' % n
    if size + len(line) + 1 > 1024 * 1024: break
    lines.append(line); size += len(line) + 1; n += 1
with open(site + '/metadata.properties', 'w') as f:
    f.write('\n'.join(lines) + '\n')
print('appcast items: %d, metadata keys: %d' % (count + 1, len(lines)))
PY

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/site" >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/metadata.properties" -o /dev/null && break; sleep 0.1; done

"$stage/bin/kestrova-pack" bundle --name Held --out "$work" --main-class probe.Probe \
  --jar "$build/tests/probe.jar" --runtime "$java_home" --with-updater \
  --feed-url "http://127.0.0.1:$port/appcast.xml" --bundle-version 1.0 >/dev/null

peak_kib() {
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_STATE_HOME="$work/state" KESTROVA_UPDATE_LOG="$work/update.log" "$@" \
    /usr/bin/time -v "$work/Held.app/Contents/MacOS/Held" 2>&1 >/dev/null |
    sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p'
}
runs=${KESTROVA_HOLD_RUNS:-3}
best() { sort -n | head -1; }
normal=$(for _ in $(seq "$runs"); do rm -rf "$work/state"; peak_kib; done | best)
held=$(for _ in $(seq "$runs"); do rm -rf "$work/state"; peak_kib FORCE_UPDATE_CHECK=1; done | best)
grep -q "Forcing an update check" "$work/update.log" || { echo "the launch was not held" >&2; exit 1; }
echo "normal launch: $((normal / 1024)) MiB peak"
echo "held launch:   $((held / 1024)) MiB peak (difference $(((held - normal) / 1024)) MiB)"
