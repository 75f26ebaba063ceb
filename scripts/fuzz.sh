#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a set number of executions,
# starting from the seeds in fuzz/corpus/<target>/ (which are only read).
#   scripts/fuzz.sh smoke        a few thousand executions each (the test run)
#   scripts/fuzz.sh full [RUNS]  RUNS executions each (default 2000000)
#   scripts/fuzz.sh TARGET RUNS  one target, e.g. keyfile 100000
# New inputs go to $FUZZ_BUILD_DIR/corpus/<target>/, crashes to
# $FUZZ_BUILD_DIR/artifacts/. Exits non-zero when a target fails.
# The keyfile target needs root: it works in a mount namespace of its own.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(b64decode uri_unescape esc_sql strjust date_scan keyfile http_reply hosttext serve_request
         webcall cron target html_escape)

mode=${1:-smoke}
case $mode in
  smoke) runs=${2:-4000} ;;
  full) runs=${2:-2000000} ;;
  *) targets=("$mode"); runs=${2:-100000} ;;
esac

JANTOR_DEPS_EXTRA="clang-14 libclang-rt-14-dev" scripts/deps.sh || exit 1
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug >/dev/null ||
  exit 1
cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }

failed=0
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  start=$SECONDS
  # -close_fd_mask=3: the library's trace words would drown libFuzzer's own
  # lines; crash reports still come through.
  if "$build/${t}_fuzzer" -runs="$runs" -max_len=65536 -timeout=20 -rss_limit_mb=2048 \
    -close_fd_mask=3 -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 \
    "$build/corpus/$t" "fuzz/corpus/$t" >"$build/$t.log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$t.log")
    echo "fuzz $t: ${execs:-?} executions in $((SECONDS - start)) s, no finding"
  else
    echo "fuzz $t: FAILED (log: $build/$t.log)"
    tail -n 40 "$build/$t.log"
    failed=1
  fi
done
exit $failed
