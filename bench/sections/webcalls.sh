# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Entries' own web calls: bench/webcalls.sh, recording into this section's
# figures.
BENCH_FIGURES=$figures JANTOR=$jantor BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/webcalls.sh \
  >"$work/webcalls.out"
