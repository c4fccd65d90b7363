#!/usr/bin/env bash
# Builds the launcher as shipped (the default preset) and the benchmark build (build-bench, with the
# time marks of KESTROVA_BENCH), then runs the launch benchmarks and prints their table, then the
# install benchmark (bench/install_bench.py: installing an update under Xvfb). Arguments go
# to the driver: --pairs N (default 20), --gui-pairs N (10), --warmup N (3), --no-gui.
# KESTROVA_BENCH_PLAIN_DIR names another build directory for the default preset (default: build).
# A build without the hardening flags (build-unhardened, KESTROVA_HARDEN=OFF) is the other side of
# bench/hardening_bench.py.
# --build-only (first argument) builds the benchmark build and runs nothing: CI checks that it builds.
set -euo pipefail
cd "$(dirname "$0")/.."

build_only=false
if [ "${1:-}" = "--build-only" ]; then
  build_only=true
  shift
fi

scripts/install-deps.sh
if ! $build_only; then
  # Beyond what the tests need: AWT's X11 libraries for the Swing window (jpackage comes with the JDK).
  if ! dpkg-query -W -f='${Status}' openjdk-17-jdk 2>/dev/null | grep -q 'install ok installed'; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends openjdk-17-jdk
  fi

  plain_dir=${KESTROVA_BENCH_PLAIN_DIR:-build}
  cmake --preset default -B "$plain_dir" >/dev/null
  cmake --build "$plain_dir" -j "$(nproc)" --target kestrova-pack kestrova-launcher kestrova_support_jar kestrova-updater

  cmake --preset default -B build-unhardened -DKESTROVA_HARDEN=OFF -DKESTROVA_BUILD_TESTS=OFF >/dev/null
  cmake --build build-unhardened -j "$(nproc)" --target kestrova-pack kestrova-launcher kestrova_support_jar kestrova-updater
fi

# The shipped optimisation level (the default preset's -O2, not CMake's -O3), so that the marks
# measure the launcher as users get it; g++ 12's -O3 also warns falsely (-Wrestrict) in the updater.
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_WERROR=ON \
  "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DKESTROVA_BUILD_TESTS=OFF -DKESTROVA_BENCH=ON >/dev/null
if $build_only; then
  cmake --build build-bench -j "$(nproc)"
  exit 0
fi
cmake --build build-bench -j "$(nproc)" --target kestrova-launch-bench

build-bench/bench/kestrova-launch-bench --plain-stage "$plain_dir/stage" "$@"
# What the hardening flags cost a start: the shipped launcher against one built without them.
bench/hardening_bench.py --hardened "$plain_dir" --unhardened build-unhardened

# Installing an update needs the real dialog, so it goes with the GUI rounds.
case " $* " in
  *" --no-gui "*) echo "Install benchmark skipped (--no-gui)." ;;
  *) bench/install_bench.py --build "$plain_dir" ;;
esac
