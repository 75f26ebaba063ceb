# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# jantor at a million rows: bench/scale.sh, recording into this section's
# figures.
BENCH_FIGURES=$figures BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/scale.sh >"$work/scale.out"
