#!/usr/bin/env bash
# Builds jantor three times, plainly (build/), with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), and with ThreadSanitizer
# (build-tsan/). Runs every test in the first two, and the tests of the
# code that runs on several threads (engine, HTTP client, sockets) in the
# third, where any report fails the test. Installs missing Debian packages
# first. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=$(nproc)
failed=0
scripts/fuzz.sh smoke || failed=1  # every fuzz target, a few thousand runs each
for variant in build:-DJANTOR_SANITIZE=OFF build-asan:-DJANTOR_SANITIZE=ON build-tsan:-DJANTOR_TSAN=ON; do
  dir=${variant%%:*} option=${variant#*:}
  echo "=== $dir ($option)"
  cmake -S . -B "$dir" "$option" >/dev/null || { failed=1; continue; }
  cmake --build "$dir" -j"$jobs" || { failed=1; continue; }
  labels=()
  [ "$dir" = build-tsan ] && labels=(-L 'engine|http|net')
  # Tests mostly wait on sockets, databases and timers, so run more at once
  # than there are cores.
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$PWD/tests/support/tsan.supp" \
    ctest --test-dir "$dir" "${labels[@]}" --output-on-failure -j$((jobs * 2)) --timeout 600 ||
    failed=1
done
exit $failed
