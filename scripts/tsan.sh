#!/usr/bin/env bash
# The tests that run in this process (label unit: the core, platform, protocol, update framework and
# update integration tests) under ThreadSanitizer: the run loop, the update checks and installs, the
# URL loading and the log are threads of ours. The end-to-end tests are left out: the JVM's threads
# are not ours, and TSan does not follow it. tests/tsan.supp names what is suppressed and why.
# Part of CI (.ci/run): on two cores its tests take 1.5 minutes, and with its build and the
# benchmarks' CI takes 6.5 minutes more.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)"
# die_after_fork=0: some tests run their case in a forked child of the test process, whose threads
# (a test HTTP server's) TSan cannot follow into the child; the child's own threads then run
# unchecked instead of ending the child.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$(pwd)/tests/tsan.supp" \
  ctest --preset tsan -j "$(nproc)"
