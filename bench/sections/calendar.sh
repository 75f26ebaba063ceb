# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Calendar schedules: bench/calendar.sh, recording into this section's
# figures.
BENCH_FIGURES=$figures JANTOR=$jantor BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/calendar.sh \
  >"$work/calendar.out"
