#!/usr/bin/env bash
# What the results table (-l) costs a poll cycle: one cycle of N due
# entries against a loopback nginx, with and without -l hit_results, at
# -c 1 and -c 8, on SQLite and on PostgreSQL. Each round runs every case's
# two ways seconds apart, taking turns at going first. Records the rate of
# every run (bench/cycle_lib.sh's record) as the section "results_cost" of
# bench/run.sh, which runs it; run alone, into its work folder, from which
# bench/report.py then writes the table, for each case the rate with -l
# against the rate without (the best of each way's rounds, their medians,
# and the median of the rounds' own ratios), to results_cost.md there, and
# prints it.
#
#   bench/results_cost.sh       # builds jantor in build-bench/ and runs it
#
# Environment: JANTOR (a jantor to measure instead of building one),
# BENCH_BUILD (build folder, default build-bench; the work folder is its
# results-cost/), BENCH_ROUNDS (default 8), BENCH_N (due entries, default
# 10000: a cycle of 2000 at -c 8 lasts a fifth of a second, and one stall
# of the disk moved its rate by a tenth), BENCH_CASES (the cases to run,
# default "sqlite 1,sqlite 8,postgres 1,postgres 8").
#
# The rates come from nginx's access log ($msec): the hits of a run over
# the time from its first request to its last. A hit connects to the
# "http" port first and to the entry's i_port only when that fails, so
# nginx listens on port 80 and the entries name port 80 as theirs. Run as
# root, the script moves into a network namespace of its own first, where
# port 80 of 127.0.0.1 is free whatever the machine runs, and nothing
# outside sees its servers. Otherwise port 80 must be free to bind.
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
root=$PWD
# shellcheck source=bench/cycle_lib.sh
source "$root/bench/cycle_lib.sh"

own_network RESULTS_COST_NETNS "$script" "$@"

need_tools nginx sqlite3 psql
need_free_port80 127.0.0.1

build=$root/${BENCH_BUILD:-build-bench}
rounds=${BENCH_ROUNDS:-8}
n=${BENCH_N:-10000}
if [ -n "${JANTOR:-}" ]; then
  jantor=$(realpath "$JANTOR")
else
  cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
  cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
  jantor=$build/jantor
fi
mkdir -p "$build"
work=$build/results-cost
rm -rf "$work"
mkdir -p "$work"
record_into results_cost "$work/figures"
log=$work/nginx/access.log
odbc=$work/odbc
db=$work/schedule.db

cleanup() {
  local status=$?
  tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true
  tests/support/pg.sh stop "$work/pg" >/dev/null 2>&1 || true
  forget_failed "$status"
}
trap cleanup EXIT
NGINX_PORT=80 tests/support/nginx.sh start "$work/nginx" >/dev/null
tests/support/pg.sh start "$work/pg" >/dev/null
pg_port=$(cat "$work/pg/port")
pg_password=$(cat "$work/pg/password")
psql_jantor() { PGPASSWORD=$pg_password psql -q -X -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pg_port" -U jantor -d jantor "$@"; }
psql_jantor -f schema/postgres.sql -f schema/postgres-results.sql >/dev/null

# SQLite as the shipped example (dist/odbc-sqlite.ini) sets it up: WAL, and
# commits that do not wait for the disk.
scripts/odbc-dsn.sh "$odbc" cost_sqlite sqlite "$db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" cost_postgres postgres 127.0.0.1 "$pg_port" jantor
cat schema/sqlite.sql schema/sqlite-results.sql | sqlite3 "$db"
sqlite3 "$db" 'PRAGMA journal_mode=WAL;' >/dev/null

# N entries for tag, all due a minute ago, on nginx; the results table
# empty, so that every run writes into a table of the same size.
fill() { # kind tag
  local due
  due=$(stamp -1)
  if [ "$1" = sqlite ]; then
    sqlite3 "$db" 'DELETE FROM hit_results;'
    fill_schedule "$db" "$n" "$2" 127.0.0.1 /index.html "'$due'"
  else
    psql_jantor >/dev/null <<SQL
TRUNCATE schedule_2;
TRUNCATE hit_results;
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT i, NULL, NULL, 80, '/index.html?$2-' || i, '127.0.0.1', 30, 86400, '$due', 0, 1
FROM generate_series(1, $n) AS i;
ANALYZE schedule_2;
ANALYZE hit_results;
SQL
  fi
}

# The rows the run left in the results table.
result_rows() { # kind
  if [ "$1" = sqlite ]; then
    sqlite3 "$db" 'SELECT count(*) FROM hit_results;'
  else
    psql_jantor -A -t -c 'SELECT count(*) FROM hit_results;'
  fi
}

# One cycle of jantor over the entries of tag; extra arguments go to it.
run_cycle() { # kind tag args...
  local kind=$1 tag=$2 pid login=()
  shift 2
  [ "$kind" = postgres ] && login=(-u jantor -p "$pg_password")
  fill "$kind" "$tag"
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d "cost_$kind" "${login[@]}" -i 3600 "$@" \
    >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  pid=$!
  wait_cycle "$pid" || { kill "$pid" 2>/dev/null; exit 1; }
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local got
  got=$(span "$tag" | cut -d' ' -f1)
  [ "$got" = "$n" ] || { echo "bench: $tag made $got of $n hits" >&2; exit 1; }
  if [ "${1:-}" = -l ]; then
    got=$(result_rows "$kind")
    [ "$got" = "$n" ] || { echo "bench: $tag wrote $got of $n result rows" >&2; exit 1; }
  fi
}

IFS=, read -r -a cases <<<"${BENCH_CASES:-sqlite 1,sqlite 8,postgres 1,postgres 8}"
record_start
record results_cost.n "$n"
record results_cost.rounds "$rounds"
record results_cost.cases "$(IFS=,; echo "${cases[*]}")"
# The rate of each run: rate.results_cost.<kind>.c<c>.<with|plain>.<round>.
for r in $(seq "$rounds"); do
  echo "round $r of $rounds ..." >&2
  for c in "${cases[@]}"; do
    read -r kind conc <<<"$c"
    if [ $((r % 2)) = 1 ]; then ways="plain with"; else ways="with plain"; fi
    for way in $ways; do
      tag=$kind-c$conc-$way-$r
      if [ "$way" = with ]; then
        run_cycle "$kind" "$tag" -l hit_results -c "$conc"
      else
        run_cycle "$kind" "$tag" -c "$conc"
      fi
      record "rate.results_cost.$kind.c$conc.$way.$r" "$(rate "$tag")" hits/s
    done
  done
done
record_end
report_alone "$work"
