# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# The cost of result rows (-l): bench/results_cost.sh, which starts its own
# servers on free ports, recording into this section's figures.
BENCH_FIGURES=$figures JANTOR=$jantor bench/results_cost.sh >"$work/results_cost.out"
