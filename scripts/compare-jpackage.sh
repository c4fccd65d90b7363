#!/usr/bin/env bash
# Debian's jEdit as a .deb two ways, side by side in one run: kestrova-pack (a --jlink bundle, then
# deb) and the JDK's own jpackage --type deb. Prints the package and installed sizes, the time to
# unpack each into a root of its own, the first start to a window and the median of later starts
# (ours with its class-data archive), and the ratios. Not part of the test command: it needs jedit
# (apt-get install jedit), Xvfb and xdotool, and a built tree (cmake --build build).
#
#   scripts/compare-jpackage.sh [WORK_DIR]     (default: build/compare-jpackage)
#
# Both packages are unpacked with dpkg-deb -x, not installed with dpkg: jpackage's maintainer
# scripts run xdg-desktop-menu on the machine itself, which a measurement must not touch.
set -euo pipefail
cd "$(dirname "$0")/.."

pack=${KESTROVA_PACK:-build/stage/bin/kestrova-pack}
work=${1:-build/compare-jpackage}
later_starts=${LATER_STARTS:-5}
[ -f /usr/share/jedit/jedit.jar ] || { echo "jEdit is missing: apt-get install jedit" >&2; exit 2; }
for tool in jpackage Xvfb xdotool dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 2; }
done
[ -x "$pack" ] || { echo "$pack is missing: build the project first (cmake --build build)" >&2; exit 2; }
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
version=$(dpkg-query -W -f='${Version}' jedit | sed 's/[+~-].*//')

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
ratio() { echo "scale=2; $1 / $2" | bc; }

# --- Build both -------------------------------------------------------------------------------
resources=()
for dir in modes properties macros startup keymaps doc; do
  [ -e "/usr/share/jedit/$dir" ] && resources+=(--resource "/usr/share/jedit/$dir")
done
"$pack" bundle --name jEdit --out "$work/ours" --main-jar /usr/share/jedit/jedit.jar "${resources[@]}" \
  --jlink --bundle-version "$version" >/dev/null
"$pack" deb "$work/ours/jEdit.app" --out "$work" --maintainer "Kestrova comparison <bench@example.org>" \
  --category TextEditor --category Development >/dev/null
ours_deb=$(ls "$work"/jedit_*.deb)

mkdir -p "$work/jpackage-input"
cp /usr/share/jedit/jedit.jar "$work/jpackage-input/"
for dir in modes properties macros startup keymaps doc; do
  [ -e "/usr/share/jedit/$dir" ] && cp -rL "/usr/share/jedit/$dir" "$work/jpackage-input/"
done
jpackage --type deb --input "$work/jpackage-input" --main-jar jedit.jar --main-class org.gjt.sp.jedit.jEdit \
  --name jedit-jpackage --app-version "$version" --linux-shortcut --dest "$work" >/dev/null
jp_deb=$(ls "$work"/jedit-jpackage_*.deb)

# --- Sizes and unpacking ----------------------------------------------------------------------
size() { stat -c %s "$1"; }
installed() { dpkg-deb -f "$1" Installed-Size; }
unpack() {
  local start end
  mkdir -p "$2"
  sync
  start=$(now)
  dpkg-deb -x "$1" "$2"
  sync
  end=$(now)
  elapsed "$start" "$end"
}
ours_unpack=$(unpack "$ours_deb" "$work/root-ours")
jp_unpack=$(unpack "$jp_deb" "$work/root-jpackage")

# --- Starts to a window -----------------------------------------------------------------------
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
sleep 1

# Seconds from the start of `$1` until a window whose name holds "jEdit" is mapped.
start_to_window() {
  local home=$2 start pid took=""
  start=$(now)
  HOME=$home DISPLAY=$display "$1" -noserver -nosplash >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 1200); do
    if DISPLAY=$display xdotool search --onlyvisible --name 'jEdit' >/dev/null 2>&1; then
      took=$(elapsed "$start" "$(now)")
      break
    fi
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "${took:-timeout}"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

ours_exe=$(ls "$work"/root-ours/usr/lib/jedit/jEdit.app/Contents/MacOS/jEdit)
jp_exe="$work/root-jpackage/opt/jedit-jpackage/bin/jedit-jpackage"
mkdir -p "$work/home-ours" "$work/home-jpackage"
ours_first=$(start_to_window "$ours_exe" "$work/home-ours")
jp_first=$(start_to_window "$jp_exe" "$work/home-jpackage")
# Ours makes its class-data archive after the first GUI start, in a detached low-priority JVM.
sleep "${CLASS_DATA_WAIT:-20}"
ours_later=$(for _ in $(seq "$later_starts"); do start_to_window "$ours_exe" "$work/home-ours"; done | median)
jp_later=$(for _ in $(seq "$later_starts"); do start_to_window "$jp_exe" "$work/home-jpackage"; done | median)

printf '%-28s %14s %14s %8s\n' "jEdit $version" kestrova jpackage ratio
printf '%-28s %14s %14s %8s\n' "package size (bytes)" "$(size "$ours_deb")" "$(size "$jp_deb")" \
  "$(ratio "$(size "$ours_deb")" "$(size "$jp_deb")")"
printf '%-28s %14s %14s %8s\n' "installed size (KiB)" "$(installed "$ours_deb")" "$(installed "$jp_deb")" \
  "$(ratio "$(installed "$ours_deb")" "$(installed "$jp_deb")")"
printf '%-28s %14s %14s\n' "unpack (s)" "$ours_unpack" "$jp_unpack"
printf '%-28s %14s %14s\n' "first start to window (s)" "$ours_first" "$jp_first"
printf '%-28s %14s %14s %8s\n' "later starts, median (s)" "$ours_later" "$jp_later" "$(ratio "$ours_later" "$jp_later")"
printf '%-28s %14s %14s\n' "menu entries" "$(ls "$work"/root-ours/usr/share/applications | wc -l)" \
  "$(find "$work"/root-jpackage -type f -name '*.desktop' | wc -l)"
printf '%-28s %14s %14s\n' "Depends" "$(dpkg-deb -f "$ours_deb" Depends | tr -d ' ' | cut -c1-14)" \
  "$(dpkg-deb -f "$jp_deb" Depends | tr -d ' ' | cut -c1-14)"
