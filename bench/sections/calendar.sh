# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Calendar schedules: bench/calendar.sh writes bench/results/calendar.md,
# removed when the run fails.
JANTOR=$jantor BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/calendar.sh >"$work/calendar.out" ||
  rm -f "$results/calendar.md"
