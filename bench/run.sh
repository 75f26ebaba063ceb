#!/usr/bin/env bash
# Benchmarks jantor side by side with the usual alternatives on this
# machine: runs the sections named (all of them, in this order, when none
# is), each from bench/sections/<name>.sh, and turns the figures they
# recorded into a report with bench/report.py. Needs root or a free port 80
# it may bind. A section that fails leaves no figures; the others still run,
# the report names it, and the run's status is 1.
#
#   bench/run.sh              # builds jantor in build-bench/, runs it all,
#                             # writes bench/results/results.md, the files
#                             # of the sections that have their own, chart.png
#   bench/run.sh delay tls    # only those sections; the report goes to the
#                             # work folder and is printed, bench/results stays
#
# Environment: BENCH_BUILD (build folder, default build-bench), BENCH_ROUNDS
# (repetitions of each speed measurement, the best counts; default 5),
# BENCH_ONLY=watch (the same as naming metrics idle share), BENCH_BASE (the
# commit that grouped_writes builds as its baseline, default 9946fd6) and
# BENCH_GW_N (its due entries, default 20000).
#
# Every speed figure comes from a server's log of the requests it got: the
# time from the first to the last request that one run made, from nginx's
# access log ($msec) on loopback, and from bench/delay_server.c's log for the
# server that answers each request 50 ms late. A run of jantor is one poll
# cycle over N due entries, with standard output going to a file.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
all=(metrics idle share speed placement postgres table_size startup memory slow delay
  silent tls results_cost scale webcalls calendar retries status_page grouped_writes
  expect_cap credentials oauth2 pauses history)

names=("$@")
[ "${BENCH_ONLY:-}" = watch ] && names=(metrics idle share)
full=0
[ "${#names[@]}" = 0 ] && { names=("${all[@]}"); full=1; }
for name in "${names[@]}"; do
  [ -f "bench/sections/$name.sh" ] || { echo "bench: no section $name; sections: ${all[*]}" >&2; exit 2; }
done

# shellcheck source=bench/lib.sh
. bench/lib.sh
JANTOR_DEPS_EXTRA="gnuplot-nox strace prometheus-node-exporter ${JANTOR_DEPS_EXTRA:-}" scripts/deps.sh
# Other work on the machine slows every figure: the run says how much there was.
run_start=$(date +%s) load_start=$(cut -d' ' -f1 /proc/loadavg)
bench_build
# The figures of sections not run now stay, for a report over them later.
find "$work" -mindepth 1 -maxdepth 1 ! -name figures -exec rm -rf {} + 2>/dev/null || true
mkdir -p "$work" "$figures" "$results"
trap bench_servers_stop EXIT
bench_servers_start

# A section runs in a subshell: it shares the helpers, never the variables
# of another section, and what it started stops when it ends, even on error.
# A section that fails leaves no figures (half a section's, or an earlier
# run's, would read as this run's); the run goes on with the next, and the
# report names what was not measured. errexit holds in a subshell only when
# the subshell is not itself tested, so its status is read with errexit off.
records=() failed=()
for section in "${names[@]}"; do
  echo "${section} ..." >&2
  : >"$figures/$section.tsv"
  set +e
  (
    set -e
    trap section_cleanup EXIT
    # shellcheck source=/dev/null
    . "bench/sections/$section.sh"
  )
  status=$?
  set -e
  if [ "$status" = 0 ]; then
    records+=("$figures/$section.tsv")
  else
    echo "bench: section $section failed (status $status); its figures are dropped" >&2
    rm -f "$figures/$section.tsv"
    failed+=("$section")
  fi
done

section=run
: >"$figures/run.tsv"
record date "$(date '+%Y-%m-%d %H:%M')"
record processors "$(nproc)"
record kernel "$(uname -r)"
record postgres "$(psql_jantor -tA -c 'SHOW server_version' | cut -d' ' -f1)"
record rounds "$rounds"
record took "$(($(date +%s) - run_start))" s
record load_start "$load_start"
record load_end "$(cut -d' ' -f1 /proc/loadavg)"
record failed "${failed[*]}"

if [ "$full" = 1 ]; then
  python3 bench/report.py --out "$results" --full "$figures/run.tsv" "${records[@]}"
  cat "$results/results.md"
else
  python3 bench/report.py --out "$work" "$figures/run.tsv" "${records[@]}"
  cat "$work/results.md"
fi
[ "${#failed[@]}" = 0 ]
