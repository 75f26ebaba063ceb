# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# The cost of result rows (-l): bench/results_cost.sh, which starts its own
# servers on free ports. Its table goes to bench/results/results_cost.md,
# which the report appends; a failed run leaves the last one there.
if JANTOR=$jantor bench/results_cost.sh >"$work/results_cost.out"; then
  { echo "## The cost of result rows (-l)"; echo; grep '^|' "$work/results_cost.out"; } \
    >"$results/results_cost.md"
fi
