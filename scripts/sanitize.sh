#!/usr/bin/env bash
# The unit tests and the end-to-end launches under AddressSanitizer and UndefinedBehaviorSanitizer,
# then short runs of the fuzzers: the launch record, what an update site sends, the delta reader, a
# JAR's class files and manifest, the update framework's records on disk (the ready marker, the
# kept versions) and menu entries. ThreadSanitizer has a script of its own, scripts/tsan.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$(nproc)"
# The JVM uses SIGSEGV for its own purposes and keeps allocations until exit: let it.
ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=0 \
UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset sanitize -j "$(nproc)"

cmake --preset fuzz >/dev/null
# The whole preset, not just the fuzzers: every preset must build.
cmake --build --preset fuzz -j "$(nproc)"
seconds="${KESTROVA_FUZZ_SECONDS:-30}"
mkdir -p build-fuzz/corpus build-fuzz/corpus-update-site build-fuzz/corpus-delta
build-fuzz/launch_record_fuzz -max_total_time="$seconds" -max_len=20000 build-fuzz/corpus
# New inputs go to the first directory; the seeds (a feed and a metadata file) are only read.
build-fuzz/update_site_fuzz -max_total_time="$seconds" -max_len=8192 build-fuzz/corpus-update-site \
  tests/fuzz/seeds/update_site
# A small delta (every kind of entry) seeds the delta reader.
build-fuzz/delta_fuzz -max_total_time="$seconds" -max_len=16384 build-fuzz/corpus-delta tests/fuzz/seeds/delta
# A class file and manifests (LF and CR LF) seed the JAR reader; a marker and two records the
# framework's records; an entry as the tool writes it the menu entries.
for fuzzer in jar updater_records desktop_entry; do
  mkdir -p "build-fuzz/corpus-$fuzzer"
  "build-fuzz/${fuzzer}_fuzz" -max_total_time="$seconds" -max_len=8192 "build-fuzz/corpus-$fuzzer" \
    "tests/fuzz/seeds/$fuzzer"
done
