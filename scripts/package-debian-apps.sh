#!/usr/bin/env bash
# Packages six real applications from Debian's archive (Groovy, Ant, JOSM, jEdit, BaseX, Sweet
# Home 3D) with kestrova-pack, each from its JARs with --main-jar, once with the runtime linked and
# once with --jlink, runs one command of each bundle and compares its output, standard error and
# exit status with Debian's own start script. Sweet Home 3D has no command without a window: run as
# root, its --jlink bundle's window, with Debian's Java hidden, is compared with the script's by
# screenshots under Xvfb. Not part of the test command: it needs the applications (apt-get install
# groovy ant josm jedit basex sweethome3d), scripts/install-deps.sh and a built tree (cmake --build
# build). Prints one line per bundle, with what packaging said, and exits 1 when any bundle
# differs from Debian's script.
#
#   scripts/package-debian-apps.sh [WORK_DIR]     (default: build/debian-apps)
#   KESTROVA_APPS="Ant BaseX" scripts/package-debian-apps.sh    (only those)
set -euo pipefail
cd "$(dirname "$0")/.."

pack=${KESTROVA_PACK:-build/stage/bin/kestrova-pack}
work=${1:-build/debian-apps}
apps="groovy ant josm jedit basex sweethome3d"
for command in $apps; do
  command -v "$command" >/dev/null || { echo "$command is missing: apt-get install $apps" >&2; exit 2; }
done
[ -x "$pack" ] || { echo "$pack is missing: build the project first (cmake --build build)" >&2; exit 2; }
# Debian's groovy script needs JAVA_HOME where default-java is not installed; the bundles do not.
export JAVA_HOME=${JAVA_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v java)")")")}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
# BaseX writes its configuration into the home at its first run and says so: both runs find it.
export HOME="$work/home"
mkdir -p "$HOME"
basex -c "xquery 1" >/dev/null 2>&1 || true

# Ant's javac task compiles a class, its java task runs it.
mkdir -p "$work/antproject/src/hello"
cat >"$work/antproject/src/hello/Hello.java" <<'EOF'
package hello;
public class Hello {
    public static void main(String[] args) { System.out.println("hello from a class Ant's javac compiled"); }
}
EOF
cat >"$work/antproject/build.xml" <<'EOF'
<project name="hello" default="run">
  <target name="run">
    <mkdir dir="classes"/>
    <javac srcdir="src" destdir="classes" includeantruntime="false"/>
    <java classname="hello.Hello" classpath="classes" fork="false"/>
  </target>
</project>
EOF

# What differs between two runs of the same command by nature: Ant's timing line and the lines of
# Debian's java-wrappers (the runtime it uses, the JARs it did not find); on standard error, where
# the JVM names a JAR's location (Ant's security manager warning), the folder.
normalise() { sed -e '/^Total time:/d' -e '/^Using .* to execute/d' -e '/^\[warning\] \/usr\/bin\//d'; }
normalise_err() { normalise | sed -E 's#\(file:[^)]*/([^/)]*)\)#(file:.../\1)#g'; }
wanted() { [ -z "${KESTROVA_APPS:-}" ] || [[ " $KESTROVA_APPS " == *" $1 "* ]]; }

# The Groovy script touches what its JARs never name: a JDK module reached by name, and the
# HTTP client that scripts commonly use.
groovy_script='println java.time.LocalDate.of(2024, 2, 28).plusDays(2); println Class.forName("java.sql.DriverManager").name; println java.net.http.HttpClient.newHttpClient().version()'

pack_case() {  # NAME MODE: packages with PACK_ARGS; false when packaging failed or not wanted
  local name=$1 mode=$2
  wanted "$name" || return 1
  local out="$work/$name-$mode"
  local extra=()
  [ "$mode" = jlink ] && extra=(--jlink)
  started=$SECONDS
  if ! "$pack" bundle --name "$name" --out "$out" "${extra[@]}" "${PACK_ARGS[@]}" 2>"$out.pack.log"; then
    echo "$name ($mode): packaging failed: $(tail -1 "$out.pack.log")"
    failed=1
    return 1
  fi
  pack_seconds=$((SECONDS - started))
}

run_case() {  # NAME MODE DEBIAN_COMMAND... -- BUNDLE_ARGS...
  local name=$1 mode=$2
  shift 2
  local debian=()
  while [ "$1" != "--" ]; do debian+=("$1"); shift; done
  shift
  local bundle_args=("$@")
  local out="$work/$name-$mode"
  PACK_ARGS+=(--console)
  pack_case "$name" "$mode" || return 0
  local expected_status=0 actual_status=0
  rm -rf "$work/antproject/classes"
  (cd "$work/antproject" && "${debian[@]}") >"$out.debian.out" 2>"$out.debian.err" || expected_status=$?
  rm -rf "$work/antproject/classes"
  (cd "$work/antproject" && "$out/$name.app/Contents/MacOS/$name" "${bundle_args[@]}") \
    >"$out.bundle.out" 2>"$out.bundle.err" || actual_status=$?
  normalise <"$out.debian.out" >"$out.debian.cmp"
  normalise <"$out.bundle.out" >"$out.bundle.cmp"
  if [ "$expected_status" = "$actual_status" ] && cmp -s "$out.debian.cmp" "$out.bundle.cmp" &&
      cmp -s <(normalise_err <"$out.debian.err") <(normalise_err <"$out.bundle.err"); then
    echo "$name ($mode): same output and status ($actual_status) as Debian's script; packed in ${pack_seconds}s, $(du -sh "$out/$name.app" | cut -f1)"
  else
    echo "$name ($mode): differs: status $actual_status, Debian's $expected_status; see $out.*"
    diff "$out.debian.cmp" "$out.bundle.cmp" | head -20 || true
    diff <(normalise_err <"$out.debian.err") <(normalise_err <"$out.bundle.err") | head -20 || true
    failed=1
  fi
  sed 's/^/    /' "$out.pack.log"
}

# Sweet Home 3D's --jlink bundle must show the window Debian's script shows, on a machine without
# Debian's Java: the bundle starts in a mount namespace where the JDK, the JARs, the JNI libraries
# and Sweet Home 3D's own folder are empty, under an Xvfb of its own, and a screenshot of each
# window, once it has stopped changing, is compared pixel by pixel.
settled_screenshot() {  # DISPLAY FILE [REFERENCE]: waits for the window, then for it to stop changing
  # (three equal screenshots 5 s apart) or, given a reference, to equal it; at most 5 minutes, as
  # a loaded machine can leave a window half painted for several seconds.
  local display=$1 file=$2 reference=${3:-} previous="$2.previous.png" same=0
  for _ in $(seq 1 240); do
    DISPLAY=$display xdotool search --onlyvisible --name 'Sweet Home 3D' >/dev/null 2>&1 && break
    sleep 0.5
  done
  rm -f "$previous"
  for _ in $(seq 1 60); do
    sleep 5
    DISPLAY=$display import -window root "$file"
    if [ -n "$reference" ]; then
      [ "$(compare -metric AE "$file" "$reference" null: 2>&1)" = 0 ] && return 0
    elif [ -f "$previous" ] && [ "$(compare -metric AE "$file" "$previous" null: 2>&1)" = 0 ]; then
      same=$((same + 1))
      [ "$same" -ge 2 ] && return 0
    else
      same=0
    fi
    cp "$file" "$previous"
  done
  return 1
}

compare_sweethome3d_window() {
  local bundle="$work/SweetHome3D-jlink/SweetHome3D.app/Contents/MacOS/SweetHome3D"
  local missing=""
  [ "$(id -u)" = 0 ] || missing="root (for unshare and mount)"
  for tool in Xvfb xdotool import compare unshare; do command -v "$tool" >/dev/null || missing="$missing $tool"; done
  if [ -n "$missing" ]; then
    echo "SweetHome3D (jlink): window not compared: needs$missing (scripts/install-deps.sh installs the tools)"
    return 0
  fi
  local display=:$((70 + RANDOM % 20))
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  local xvfb=$!
  sleep 2
  rm -rf "$work/sh3d-home-debian" "$work/sh3d-home-bundle"
  mkdir -p "$work/sh3d-home-debian" "$work/sh3d-home-bundle"
  HOME=$work/sh3d-home-debian DISPLAY=$display sweethome3d >"$work/sh3d-debian.out" 2>&1 &
  local debian=$!
  settled_screenshot "$display" "$work/sh3d-debian.png" || true
  kill "$debian" 2>/dev/null; wait "$debian" 2>/dev/null || true
  pkill -P "$debian" 2>/dev/null || true
  sleep 1
  unshare --mount --propagation private sh -c '
    for d in /usr/lib/jvm /usr/share/java /usr/lib/jni /usr/share/sweethome3d /usr/share/icedtea-web; do
      mount -t tmpfs none "$d" || exit 1
    done
    exec "$@"' sh env HOME="$work/sh3d-home-bundle" DISPLAY="$display" "$bundle" >"$work/sh3d-bundle.out" 2>&1 &
  local started=$!
  settled_screenshot "$display" "$work/sh3d-bundle.png" "$work/sh3d-debian.png" || true
  kill "$started" 2>/dev/null; wait "$started" 2>/dev/null || true
  kill "$xvfb"; wait "$xvfb" 2>/dev/null || true
  local differing
  differing=$(compare -metric AE "$work/sh3d-debian.png" "$work/sh3d-bundle.png" "$work/sh3d-difference.png" 2>&1 || true)
  if [ "$differing" = 0 ]; then
    echo "SweetHome3D (jlink): with Debian's Java hidden, the same window as Debian's script (screenshots equal: $work/sh3d-*.png)"
  else
    echo "SweetHome3D (jlink): with Debian's Java hidden, the window differs from Debian's script in $differing pixels; see $work/sh3d-difference.png"
    failed=1
  fi
}

failed=0
for mode in linked jlink; do
  PACK_ARGS=(--main-jar /usr/share/java/groovy.jar --input /usr/share/groovy/lib)
  run_case Groovy "$mode" groovy -e "$groovy_script" -- -e "$groovy_script"

  PACK_ARGS=(--main-jar /usr/share/java/ant.jar --input /usr/share/ant/lib)
  run_case Ant "$mode" ant -noinput -buildfile build.xml -- -noinput -buildfile build.xml

  PACK_ARGS=(--main-jar /usr/share/josm/josm.jar
             --jvm-option=-Djosm.restart=true --jvm-option=-Djava.net.useSystemProxies=true)
  run_case JOSM "$mode" josm --version -- --version

  # jEdit finds its modes, keymaps, macros and default properties in the folder of its JAR.
  PACK_ARGS=(--main-jar /usr/share/jedit/jedit.jar)
  for dir in modes properties macros startup keymaps doc; do
    [ -e "/usr/share/jedit/$dir" ] && PACK_ARGS+=(--resource "/usr/share/jedit/$dir")
  done
  run_case jEdit "$mode" jedit -version -- -version

  # Debian's basex.jar starts the GUI; its basex script names the console class and four JARs,
  # of which it takes those installed (xml-resolver and jing are only recommended).
  PACK_ARGS=(--main-jar /usr/share/java/basex.jar --main-class org.basex.BaseX)
  for jar in jline2 tagsoup xml-resolver jing; do
    [ -f "/usr/share/java/$jar.jar" ] && PACK_ARGS+=(--jar "/usr/share/java/$jar.jar")
  done
  run_case BaseX "$mode" basex -c "xquery 1+1" -- -c "xquery 1+1"

  # The options of Debian's sweethome3d script; its JARs come through the manifest's Class-Path.
  # Its furniture libraries are read from the folders the script lists in applicationFolders: they
  # travel as a resource, and the list names the bundle's copy (an option cannot name the user's
  # home, which the script puts first).
  PACK_ARGS=(--main-jar /usr/share/sweethome3d/sweethome3d.jar --resource /usr/share/sweethome3d/furniture
             '--jvm-option=-Dcom.eteks.sweethome3d.applicationFolders=&&'
             --jvm-option=-Djava.library.path=/usr/lib/jni
             --jvm-option=-Dcom.eteks.sweethome3d.j3d.checkOffScreenSupport=false
             --jvm-option=-Dsun.java2d.opengl=true --jvm-option=--add-exports=java.desktop/sun.awt=ALL-UNNAMED)
  if pack_case SweetHome3D "$mode"; then
    echo "SweetHome3D ($mode): packaged in ${pack_seconds}s, $(du -sh "$work/SweetHome3D-$mode/SweetHome3D.app" | cut -f1) (a window only: not run)"
    sed 's/^/    /' "$work/SweetHome3D-$mode.pack.log"
    [ "$mode" = jlink ] && compare_sweethome3d_window
  fi
done
exit $failed
