#!/usr/bin/env bash
# Builds jantor twice, plainly (build/) and with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), and runs every test in both.
# Installs missing Debian packages first. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=$(nproc)
failed=0
scripts/fuzz.sh smoke || failed=1  # every fuzz target, a few thousand runs each
for variant in build:OFF build-asan:ON; do
  dir=${variant%%:*} sanitize=${variant##*:}
  echo "=== $dir (sanitizers $sanitize)"
  cmake -S . -B "$dir" -DJANTOR_SANITIZE="$sanitize" >/dev/null || { failed=1; continue; }
  cmake --build "$dir" -j"$jobs" || { failed=1; continue; }
  # Tests mostly wait on sockets, databases and timers, so run more at once
  # than there are cores.
  ctest --test-dir "$dir" --output-on-failure -j$((jobs * 2)) --timeout 600 || failed=1
done
exit $failed
