#!/usr/bin/env bash
# clang-tidy (.clang-tidy's checks) over the first-party sources that ship: core/, platform/,
# protocol/, freedesktop/, launcher/, updater/ and tools/, with the headers they include. The tests
# are left out: they double the time, and what the checks look for matters in what users run.
# Reads the compile database of the default preset's build (configured here when missing).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KESTROVA_TIDY_BUILD_DIR:-build}
# Configuring writes the database (CMAKE_EXPORT_COMPILE_COMMANDS); nothing needs to be built.
[ -f "$build/compile_commands.json" ] || cmake --preset default -B "$build" >/dev/null
root=$(pwd -P)
run-clang-tidy-14 -quiet -p "$build" -j "$(nproc)" "^$root/(core|platform|protocol|freedesktop|launcher|updater|tools)/" \
  >"$build/tidy.log" 2>&1 || status=$?
# run-clang-tidy prints every file's command line; only the findings are worth showing.
sed 's/\x1b\[[0-9;]*m//g' "$build/tidy.log" | grep -E '(warning|error): ' | sort -u || true
if [ "${status:-0}" -ne 0 ]; then
  echo "clang-tidy found the problems above (full output in $build/tidy.log): fix each, or mark it NOLINT(check) with the reason." >&2
  exit 1
fi
