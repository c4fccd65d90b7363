#!/usr/bin/env bash
# The tests that run in this process (label unit: the core, platform, protocol, update framework and
# update integration tests) under ThreadSanitizer: the run loop, the update checks and installs, the
# URL loading and the log are threads of ours. The end-to-end tests are left out: the JVM's threads
# are not ours, and TSan does not follow it. tests/tsan.supp names what is suppressed and why.
# Not yet part of CI (.ci/run): its time on CI's two cores has still to be measured.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(pwd)/tests/tsan.supp" \
  ctest --preset tsan -j "$(nproc)"
