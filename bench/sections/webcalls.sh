# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Entries' own web calls: bench/webcalls.sh writes bench/results/webcalls.md,
# removed when the run fails.
JANTOR=$jantor BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/webcalls.sh >"$work/webcalls.out" ||
  rm -f "$results/webcalls.md"
