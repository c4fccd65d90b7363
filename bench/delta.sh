#!/usr/bin/env bash
# Deltas against full archives, on the bundles release publishes: jEdit from Debian, packaged with
# --jlink as scripts/package-debian-apps.sh packages it, and the demo, also with --jlink, each with
# Guava from Debian as a dependency JAR. Three versions of each are released into one site:
#   1.0  the application's JAR and guava-31.1.jar
#   1.1  40 classes of the application's JAR changed (the demo has fewer: all of them changed)
#   1.2  guava-31.1.jar replaced by guava-31.2.jar, 5 of its classes changed
# and, for jEdit, the same 1.0 -> 1.1 once more with the JARs' entries stored, not deflated, and
# once more with two further dependency JARs (Bouncy Castle, Groovy), a bundle past 100 MB.
# A changed class has 8 bytes changed at each quarter of its length: a recompiled class changes in
# more places than one. Prints the sizes, then installs each delta and its full archive into a
# staging area with the updater's own steps (signature, apply or unpack, digest), interleaved,
# REPEATS times, and prints the median time and the spread, and the peak memory.
# Usage: bench/delta.sh [BUILD_DIR] [BENCH_BUILD_DIR]
#   BUILD_DIR (default build) gives kestrova-pack; BENCH_BUILD_DIR (default build-bench, configured
#   with -DKESTROVA_BENCH=ON) gives kestrova-bench-delta-apply:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BENCH=ON
#   cmake --build build-bench --target kestrova-bench-delta-apply
#   REPEATS=N (default 7), RUNTIMES=DIR (below)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench=${2:-build-bench}
repeats=${REPEATS:-7}
pack="$build/stage/bin/kestrova-pack"
apply="$bench/bench/kestrova-bench-delta-apply"
jedit=/usr/share/jedit/jedit.jar
guava=/usr/share/java/guava.jar
bcprov=$(readlink -f /usr/share/java/bcprov.jar)
groovy=$(readlink -f /usr/share/java/groovy-all.jar)
demo="$build/examples/kestrova-demo.jar"
for f in "$jedit" "$guava" "$bcprov" "$groovy"; do
  [ -f "$f" ] || { echo "bench/delta.sh needs $f: apt-get install jedit libguava-java libbcprov-java groovy" >&2; exit 1; }
done
for f in "$pack" "$apply" "$demo"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "bench/delta.sh needs $f: build it first (see the usage above)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOURCE_DATE_EPOCH=1700000000
# RUNTIMES=DIR keeps the two jlink runtimes there for the next run (jlink takes minutes on a busy
# machine); by default they are made again.
runtimes=${RUNTIMES:-$work/runtimes}
mkdir -p "$runtimes"

# change_classes DIR N: changes N of DIR's classes, spread over the JAR in name order.
change_classes() {
  local dir=$1 n=$2 total step
  total=$(cd "$dir" && find . -name '*.class' | wc -l)
  step=$((total / n)); [ "$step" -ge 1 ] || step=1
  (cd "$dir" && find . -name '*.class' | LC_ALL=C sort | awk -v s="$step" '(NR - 1) % s == 0' | head -"$n") |
    while read -r f; do
      size=$(stat -c %s "$dir/$f")
      for q in 1 2 3; do
        printf 'KESTROVA' | dd of="$dir/$f" bs=1 seek=$((size * q / 4)) conv=notrunc status=none
      done
    done
}
# jar_of DIR OUT LEVEL: the JAR of DIR's files in name order, as a build makes it (-9 deflated, -0 stored).
jar_of() {
  (cd "$1" && find . -type f | LC_ALL=C sort | zip -q -X "$3" "$2" -@)
}
unpacked() { rm -rf "$2"; mkdir -p "$2"; unzip -q "$1" -d "$2"; find "$2" -exec touch -h -d @1600000000 {} +; }

public_key=$("$pack" generate-keys --key-file "$work/key")
unpacked "$guava" "$work/guava-old"
cp -a "$work/guava-old" "$work/guava-new"
change_classes "$work/guava-new" 5

# release APP VERSION MAIN_JAR DEP_JAR RUNTIME [--main-class C]: bundles and releases one version.
# The first bundle of RUNTIME is made with --jlink; later ones copy its runtime, as a publisher
# whose runtime did not change ships it again (the same modules of the same JDK).
release() {
  local app=$1 version=$2 main_jar=$3 dep=$4 runtime=$runtimes/$5
  shift 5
  local linking=(--jlink)
  [ -d "$runtime" ] && linking=(--runtime "$runtime" --copy-runtime)
  rm -rf "$work/bundle"
  "$pack" bundle --name "$app" --out "$work/bundle" "${linking[@]}" --bundle-version "$version" --with-updater \
    --feed-url "http://127.0.0.1/$app/appcast.xml" --public-ed-key "$public_key" \
    --main-jar "$main_jar" --jar "$dep" "$@" >/dev/null 2>"$work/pack.log" ||
    { cat "$work/pack.log" >&2; exit 1; }
  [ -d "$runtime" ] || cp -a "$work/bundle/$app.app/Contents/runtime/Contents/Home" "$runtime"
  "$pack" release "$work/bundle/$app.app" --key-file "$work/key" --site "$work/site-$app" \
    --download-url-prefix "http://127.0.0.1/$app" >/dev/null
}

# make_app NAME SOURCE_JAR N LEVEL RUNTIME [bundle options]: releases 1.0, 1.1 and 1.2 of NAME.
make_app() {
  local app=$1 source=$2 n=$3 level=$4 runtime=$5
  shift 5
  local d="$work/$app"
  mkdir -p "$d"
  unpacked "$source" "$d/old"
  cp -a "$d/old" "$d/new"
  change_classes "$d/new" "$n"
  mkdir -p "$d/1.0" "$d/1.1"
  jar_of "$d/old" "$d/1.0/app.jar" "$level"
  jar_of "$d/new" "$d/1.1/app.jar" "$level"
  mkdir -p "$d/dep-old" "$d/dep-new"
  jar_of "$work/guava-old" "$d/dep-old/guava-31.1.jar" "$level"
  jar_of "$work/guava-new" "$d/dep-new/guava-31.2.jar" "$level"
  release "$app" 1.0 "$d/1.0/app.jar" "$d/dep-old/guava-31.1.jar" "$runtime" "$@"
  release "$app" 1.1 "$d/1.1/app.jar" "$d/dep-old/guava-31.1.jar" "$runtime" "$@"
  release "$app" 1.2 "$d/1.1/app.jar" "$d/dep-new/guava-31.2.jar" "$runtime" "$@"
  # The installed copies, as the archives unpack.
  for v in 1.0 1.1; do
    mkdir -p "$d/installed-$v"
    tar xzf "$work/site-$app/$app-$v.tar.gz" -C "$d/installed-$v"
  done
}

make_app jEdit "$jedit" 40 -9 jedit
make_app jEditStored "$jedit" 40 -0 jedit
# Past 100 MB installed, for the time to apply: two more dependency JARs from Debian.
make_app jEditLarge "$jedit" 40 -9 jedit --jar "$bcprov" --jar "$groovy"
demo_classes=$(unzip -Z1 "$demo" | grep -c '\.class$')
make_app Demo "$demo" 40 -9 demo --main-class demo.Demo

signature() { "$pack" sign-update "$1" --key-file "$work/key" | sed -n 's/.*sparkle:edSignature="\([^"]*\)".*/\1/p'; }
# name|site file|installed copy|from version (empty: a full archive)
cases=()
for app in jEdit jEditStored jEditLarge Demo; do
  site="$work/site-$app"
  cases+=("$app 1.1 full archive|$site/$app-1.1.tar.gz|$work/$app/installed-1.0/$app.app|")
  cases+=("$app 1.0 to 1.1: app JAR, delta|$site/$app-1.1-from-1.0.delta|$work/$app/installed-1.0/$app.app|1.0")
  [ "$app" = jEditStored ] || [ "$app" = jEditLarge ] && continue
  cases+=("$app 1.1 to 1.2: dependency JAR, delta|$site/$app-1.2-from-1.1.delta|$work/$app/installed-1.1/$app.app|1.1")
  cases+=("$app 1.2 full archive|$site/$app-1.2.tar.gz|$work/$app/installed-1.1/$app.app|")
done

echo "Demo's app JAR: $demo_classes class file(s), all changed. Installed sizes (MiB, du -sm):" \
  "$(for a in jEdit jEditStored jEditLarge Demo; do printf '%s %s, ' "$a" "$(du -sm "$work/$a/installed-1.0" | cut -f1)"; done)"
echo
echo "| Update | Bytes downloaded | Share of the full archive | Runtime bytes sent |"
echo "| --- | --- | --- | --- |"
declare -A signatures
for c in "${cases[@]}"; do
  IFS='|' read -r name file installed from <<<"$c"
  signatures[$file]=$(signature "$file")
  size=$(stat -c %s "$file")
  if [ -n "$from" ]; then
    full="${file%-from-*}.tar.gz"
    share=$(echo "scale=3; 100 * $size / $(stat -c %s "$full")" | bc)
    runtime=$("$apply" delta "$file" "$installed" "$public_key" "${signatures[$file]}" "$from" |
      sed -n 's/runtime_bytes_sent=//p')
    echo "| $name | $size B | $share% | $runtime B |"
  else
    echo "| $name | $size B | 100% | (all) |"
  fi
done

# Interleaved: each repeat runs every case once, so that a burst of load falls on all of them.
declare -A times peaks
for ((r = 0; r < repeats; r++)); do
  for c in "${cases[@]}"; do
    IFS='|' read -r name file installed from <<<"$c"
    if [ -n "$from" ]; then
      out=$("$apply" delta "$file" "$installed" "$public_key" "${signatures[$file]}" "$from")
    else
      out=$("$apply" archive "$file" "$installed" "$public_key" "${signatures[$file]}")
    fi
    times[$name]+="$(sed -n 's/seconds=//p' <<<"$out") "
    kib=$(sed -n 's/peak_resident_kib=//p' <<<"$out")
    [ "${peaks[$name]:-0}" -ge "$kib" ] || peaks[$name]=$kib
  done
done
echo
echo "Installing into the staging area, end of download to verified digest ($repeats interleaved runs, load $(cut -d' ' -f1-3 /proc/loadavg)):"
echo
echo "| Update | Median | Spread (min - max) | Peak resident memory |"
echo "| --- | --- | --- | --- |"
for c in "${cases[@]}"; do
  IFS='|' read -r name _ <<<"$c"
  read -r median low high < <(tr ' ' '\n' <<<"${times[$name]}" | sed '/^$/d' | sort -g |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }')
  echo "| $name | $median s | $low - $high s | $((peaks[$name] / 1024)) MB |"
done
