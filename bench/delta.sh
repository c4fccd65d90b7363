#!/usr/bin/env bash
# Delta size, making and applying time and peak memory against the full archive, on a bundle of a
# jlink runtime and a large real JAR (Groovy's, from Debian) with 40 classes changed: once with the
# JAR as jar deflates it and once with its entries stored. One run, side by side.
# Usage: bench/delta.sh [BUILD_DIR]   (default: build-bench, a -DKESTROVA_BENCH=ON build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
pack="$build/stage/bin/kestrova-pack"
apply="$build/bench/kestrova-bench-delta-apply"
jar=/usr/share/java/groovy-all.jar
[ -f "$jar" ] || { echo "bench/delta.sh needs $jar: apt-get install groovy" >&2; exit 1; }
java_home=$(sed -n 's/^KESTROVA_JAVA_HOME:PATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$java_home/bin/jlink" --add-modules java.desktop,java.logging,java.xml --strip-debug --no-header-files \
  --no-man-pages --output "$work/rt" >/dev/null
mkdir -p "$work/old" "$work/new"
unzip -q "$jar" -d "$work/old"
cp -a "$work/old/." "$work/new/"
# 40 classes, each with one byte changed in its middle.
(cd "$work/new" && find . -name '*.class' | LC_ALL=C sort | awk 'NR%100==0' | head -40) | while read -r f; do
  printf 'X' | dd of="$work/new/$f" bs=1 seek=$(($(stat -c %s "$work/new/$f") / 2)) conv=notrunc status=none
done

echo "| Bundle's JAR | Full archive | Delta | Delta / archive | Making it | Applying it | Peak memory applying |"
echo "| --- | --- | --- | --- | --- | --- | --- |"
for kind in deflated stored; do
  level=-9; [ "$kind" = stored ] && level=-0
  for v in old new; do
    (cd "$work/$v" && find . -type f | LC_ALL=C sort | zip -q -X "$level" "$work/$v-$kind.jar" -@)
    version=1.0; [ "$v" = new ] && version=1.1
    b="$work/b-$kind-$v/App.app/Contents"
    mkdir -p "$b/Resources" "$b/runtime/Contents"
    cp -a "$work/rt" "$b/runtime/Contents/Home"
    cp "$work/$v-$kind.jar" "$b/Resources/app.jar"
    printf '<?xml version="1.0"?>\n<plist version="1.0"><dict><key>CFBundleVersion</key><string>%s</string></dict></plist>\n' \
      "$version" >"$b/Info.plist"
    tar czf "$work/$kind-$v.tar.gz" -C "$work/b-$kind-$v" App.app
  done
  start=$(date +%s.%N)
  "$pack" delta "$work/$kind-old.tar.gz" "$work/$kind-new.tar.gz" "$work/$kind.delta"
  made=$(echo "$(date +%s.%N) - $start" | bc)
  mkdir "$work/into-$kind"
  result=$("$apply" "$work/$kind.delta" "$work/b-$kind-old/App.app" "$work/into-$kind" 1.0)
  full=$(stat -c %s "$work/$kind-new.tar.gz")
  delta=$(stat -c %s "$work/$kind.delta")
  printf '| %s | %s B | %s B | %.2f%% | %.1f s | %s s | %s MB |\n' "$kind" "$full" "$delta" \
    "$(echo "100 * $delta / $full" | bc -l)" "$made" "$(sed -n 's/apply_seconds=//p' <<<"$result")" \
    "$(($(sed -n 's/peak_resident_kib=//p' <<<"$result") / 1024))"
done
mkdir "$work/full"
start=$(date +%s.%N)
tar xzf "$work/deflated-new.tar.gz" -C "$work/full"
echo "Unpacking the full archive (tar xzf): $(echo "$(date +%s.%N) - $start" | bc) s"
