#!/usr/bin/env bash
# Builds jantor three times, plainly (build/), with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), and with ThreadSanitizer
# (build-tsan/), and runs every test in the first two and the tests of the
# code that runs on several threads (engine, HTTP client, sockets) in the
# third, where any report fails the test; then every fuzz target for a few
# thousand runs. Installs missing Debian packages first. Exits non-zero on
# any failure.
#
# The tests mostly wait (on servers, databases, timers), so each build's
# tests run in the background while the next build compiles, and each ctest
# runs more tests at once than there are cores. The engine tests, black-box
# tests of the program, are compiled once, by the plain build; the sanitizer
# builds run them against their own jantor.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

root=$PWD
jobs=$(nproc)
failed=0
declare -A test_pids

# build DIR [cmake options] [-- targets]: configures and builds DIR.
build() {
  local dir=$1 options=() targets=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  echo "=== $dir: building (${options[*]})"
  cmake -S . -B "$dir" "${options[@]}" >/dev/null &&
    cmake --build "$dir" -j"$jobs" ${targets[@]:+--target "${targets[@]}"} >"$dir/build.log" 2>&1 ||
    { cat "$dir/build.log"; echo "=== $dir: BUILD FAILED"; failed=1; return 1; }
}

# start_tests DIR [ctest options]: runs DIR's tests in the background, their
# output in DIR/test.log.
start_tests() {
  local dir=$1
  shift
  echo "=== $dir: tests started"
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$root/tests/support/tsan.supp" \
    ctest --test-dir "$dir" "$@" --output-on-failure -j$((jobs * 8)) --timeout 600 \
    >"$dir/test.log" 2>&1 &
  test_pids[$dir]=$!
}

if build build -DJANTOR_TESTS=ON -DJANTOR_SANITIZE=OFF -DJANTOR_TSAN=OFF -DJANTOR_ENGINE_TESTS_FROM=; then
  start_tests build
  build build-asan -DJANTOR_TESTS=ON -DJANTOR_SANITIZE=ON -DJANTOR_ENGINE_TESTS_FROM="$root/build" &&
    start_tests build-asan
  build build-tsan -DJANTOR_TESTS=ON -DJANTOR_TSAN=ON -DJANTOR_ENGINE_TESTS_FROM="$root/build" \
    -- jantor tests_engine tests_http tests_net &&
    start_tests build-tsan -L 'engine|http|net'
fi

echo "=== fuzz"
scripts/fuzz.sh smoke || failed=1  # every fuzz target, a few thousand runs each

for dir in build build-asan build-tsan; do
  [ -n "${test_pids[$dir]:-}" ] || continue
  echo "=== $dir: tests"
  if wait "${test_pids[$dir]}"; then
    grep -E '^(100% tests passed|Total Test time)' "$dir/test.log"
  else
    cat "$dir/test.log"  # the output of every test that failed is in it
    failed=1
  fi
done
exit $failed
