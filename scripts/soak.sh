#!/usr/bin/env bash
# A soak run of jantor: CYCLES poll cycles at the shortest interval (4 s)
# against a private nginx and a mix of hostile scripted peers, each entry hit
# in every cycle (tests/engine/soak_test.cc). Prints jantor's resident memory
# and open descriptors after every cycle and fails when the descriptors
# change, when memory still grows after warming up, or when the leak checker
# finds a block lost at exit.
#   scripts/soak.sh [CYCLES] [asan|valgrind]
#     asan      AddressSanitizer build (build-asan/), LeakSanitizer at exit
#     valgrind  plain build (build/) run under valgrind's memcheck
# Default: 300 cycles (about 25 minutes) with asan. Needs root (the test
# makes a network namespace of its own). Output: <build>/soak.log, and
# jantor's own output in <build>/soak-output.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-300}
mode=${2:-asan}

case $mode in
  asan) build=${SOAK_BUILD_DIR:-build-asan} sanitize=ON wrapper="" extra="" ;;
  valgrind)
    build=${SOAK_BUILD_DIR:-build} sanitize=OFF extra=valgrind
    wrapper="valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99 --track-fds=yes"
    ;;
  *) echo "usage: scripts/soak.sh [CYCLES] [asan|valgrind]" >&2; exit 2 ;;
esac

JANTOR_DEPS_EXTRA="$extra" scripts/deps.sh || exit 1
cmake -S . -B "$build" -DJANTOR_SANITIZE="$sanitize" >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" --target jantor soak_test || exit 1

echo "soak: $cycles cycles, $mode, about $((cycles * 9 / 2 / 60 + 1)) minutes"
JANTOR_SOAK_CYCLES=$cycles JANTOR_SOAK_WRAPPER="$wrapper" \
  JANTOR_SOAK_OUTPUT="$PWD/$build/soak-output.txt" \
  LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0" \
  "$build/tests/soak_test" 2>&1 | tee "$build/soak.log"
status=${PIPESTATUS[0]}
if [ "$mode" = valgrind ]; then
  grep -aE '^==[0-9]+== +(definitely|indirectly|possibly) lost|ERROR SUMMARY|FILE DESCRIPTORS' \
    "$build/soak-output.txt"
fi
exit "$status"
