#!/usr/bin/env bash
# jantor at the sizes a shared table is for, on SQLite, PostgreSQL and
# MariaDB: the peak resident memory of a start-up against 1 000 000 rows of
# which none is due, and of one cycle of 1 000 000 due entries at -c 64
# against a port that refuses at once (with and without -s where the
# database can share a table), with the time a hit; then the metrics
# endpoint's scrape time under 1000 idle clients (bench/endpoint_idle.sh).
# Records its figures as the section "scale" of bench/run.sh, which runs it;
# run alone, into its work folder, from which bench/report.py then writes
# its table to scale.md there, and prints it.
#
#   bench/scale.sh              # builds jantor in build-bench/ (BENCH_BUILD)
#   SCALE_N=100000 bench/scale.sh   # a quicker look at fewer rows
#
# The servers run under the build folder on free loopback ports, started
# and stopped by the tests' own scripts. Every entry points at 127.0.0.9,
# where nothing listens, on port 1: each hit is refused at once on both the
# "http" port and the entry's own, so the figures are jantor's and the
# database's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# shellcheck source=bench/cycle_lib.sh
source "$root/bench/cycle_lib.sh"
n=${SCALE_N:-1000000}
build=$root/${BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
jantor=$build/jantor
work=$build/scale-work
rm -rf "$work"
mkdir -p "$work"
odbc=$work/odbc

cleanup() {
  local status=$?
  tests/support/pg.sh stop "$work/pg" >/dev/null 2>&1 || true
  tests/support/mariadb.sh stop "$work/mariadb" >/dev/null 2>&1 || true
  forget_failed "$status"
}
trap cleanup EXIT
record_into scale "$work/figures"
record_start
record scale.n "$n"
tests/support/pg.sh start "$work/pg" >/dev/null
tests/support/mariadb.sh start "$work/mariadb" >/dev/null
pg_port=$(cat "$work/pg/port") pg_password=$(cat "$work/pg/password")
my_port=$(cat "$work/mariadb/port") my_password=$(cat "$work/mariadb/password")
scripts/odbc-dsn.sh "$odbc" scale_sqlite sqlite "$work/schedule.db"
scripts/odbc-dsn.sh "$odbc" scale_postgres postgres 127.0.0.1 "$pg_port" jantor
scripts/odbc-dsn.sh "$odbc" scale_mariadb mariadb 127.0.0.1 "$my_port" jantor

sql_sqlite() { sqlite3 "$work/schedule.db"; }
sql_postgres() { PGPASSWORD=$pg_password psql -q -X -tA -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pg_port" -U jantor -d jantor; }
sql_mariadb() { mariadb -h 127.0.0.1 -P "$my_port" -u jantor -p"$my_password" jantor; }
credentials() { # kind: jantor's -u and -p for it
  case $1 in postgres) echo "-u jantor -p $pg_password" ;; mariadb) echo "-u jantor -p $my_password" ;; esac
}

# fill kind due: n rows, due an hour ago (due=1) or in a day (due=0).
fill() {
  local kind=$1 due=$2 numbers next
  case $kind in
    sqlite) numbers="with recursive k(i) as (select 1 union all select i + 1 from k where i < $n) select i from k"
      next=$([ "$due" = 1 ] && echo "datetime('now', 'localtime', '-1 hour')" || echo "datetime('now', 'localtime', '+1 day')") ;;
    postgres) numbers="select i from generate_series(1, $n) as k(i)"
      next=$([ "$due" = 1 ] && echo "localtimestamp - interval '1 hour'" || echo "localtimestamp + interval '1 day'") ;;
    mariadb) numbers="select seq as i from seq_1_to_$n"
      next=$([ "$due" = 1 ] && echo "now() - interval 1 hour" || echo "now() + interval 1 day") ;;
  esac
  local object="'/x?' || i"
  [ "$kind" = mariadb ] && object="concat('/x?', i)"
  "sql_$kind" <<SQL
delete from schedule_2;
insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop)
select i, 1, $object, '127.0.0.9', 30, 86400, $next, 0, 1 from ($numbers) as numbers;
SQL
  [ "$kind" = postgres ] && echo "analyze schedule_2;" | sql_postgres
  [ "$kind" = mariadb ] && echo "analyze table schedule_2;" | sql_mariadb >/dev/null
  return 0
}

# run kind [jantor options]: two cycles 4 s apart, the second with nothing
# due; prints "peak_kib seconds" (seconds without the sleep between them).
run() {
  local kind=$1
  shift
  # shellcheck disable=SC2046
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini /usr/bin/time -f "%M %e" -o "$work/time" \
    "$jantor" -d "scale_$kind" $(credentials "$kind") -i 4 -r 1 -q "$@" >"$work/jantor-$kind.out" 2>&1
  awk '{ printf "%d %.1f\n", $1, $2 - 4 }' "$work/time"
}

moved() { # kind: entries whose next run is in the future
  echo "select count(*) from schedule_2 where i_next > $(case $1 in sqlite) echo "datetime('now', 'localtime')" ;; postgres) echo localtimestamp ;; mariadb) echo "now()" ;; esac);" |
    "sql_$1" | tr -dc '0-9\n' | grep -v '^$' | tail -n1
}

for kind in sqlite postgres mariadb; do
  [ "$kind" = sqlite ] && rm -f "$work/schedule.db"
  "sql_$kind" <"schema/$kind.sql"
  fill "$kind" 0
  read -r kib _ < <(run "$kind")
  echo "start-up, $kind, $n rows none due: $kib KiB" >&2
  record "scale.startup.$kind" "$kib" KiB
  modes=("")
  [ "$kind" != sqlite ] && modes+=("-s 600")
  for mode in "${modes[@]}"; do
    fill "$kind" 1
    # shellcheck disable=SC2086
    read -r kib seconds < <(run "$kind" -c 64 $mode)
    done_n=$(moved "$kind")
    echo "cycle, $kind ${mode:-alone}: $kib KiB, $seconds s, $done_n of $n moved" >&2
    key=$kind${mode:+.shared}
    record "scale.cycle.$key.kib" "$kib" KiB
    record "scale.cycle.$key.seconds" "$seconds" s
    record "scale.cycle.$key.moved" "$done_n"
  done
done

# The endpoint's figures join these only when its script measured them all.
if BENCH_FIGURES=$work JANTOR=$jantor bench/endpoint_idle.sh >"$work/endpoint_idle.out"; then
  cat "$work/endpoint_idle.tsv" >>"$figures/$section.tsv"
else
  echo "bench: bench/endpoint_idle.sh failed; the endpoint is not measured" >&2
  record scale.endpoint failed
fi
record_end
report_alone "$work"
