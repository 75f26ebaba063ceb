#!/usr/bin/env bash
# Entries on a calendar (i_cron, i_zone) side by side with entries on an
# interval, in one run:
#   - nginx on loopback: one cycle of N plain GETs at -c 8 from a table
#     whose every row has an i_cron (six expressions, in four zones and the
#     local time), against the same table with every row on its interval;
#   - the cost of one next run (bench/cron_next.cc): CronNextRun for the
#     same six, alone and with the local text a hit writes, beside the
#     interval's stored time plus interval written the same way.
# Each round runs the cycle's two ways seconds apart, taking turns at going
# first. After every run each entry must have been requested once and
# moved on: an interval entry by its interval, a calendar entry to its
# expression's first time after the cycle's present. Records the rate of
# every run and the time a call of every next-run case took in every round
# (bench/cycle_lib.sh's record) as the section "calendar" of bench/run.sh,
# which runs it; run alone, into its work folder, from which
# bench/report.py then writes the table (the ratio of the best rates, the
# median of the rounds' own ratios, the least time of each case) to
# calendar.md there, and prints it. Its progress goes to standard error.
#
#   bench/calendar.sh           # builds jantor in build-bench-cal/ and runs it
#
# Environment: JANTOR (a jantor to measure instead of building one),
# BENCH_BUILD (build folder, default build-bench-cal; the support library
# is built there for cron_next, and the work folder is its calendar/),
# BENCH_ROUNDS (default 5), BENCH_N (entries, default 20000).
#
# The rates come from nginx's log: the requests of a run over the time from
# its first request to its last. A hit connects to the "http" port first,
# so nginx listens on port 80 and the entries name port 80 as theirs. Run
# as root, the script moves into a network namespace of its own first,
# where port 80 of 127.0.0.1 is free whatever the machine runs, and nothing
# outside sees its server. Otherwise it must be free to bind.
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
root=$PWD
# shellcheck source=bench/cycle_lib.sh
source "$root/bench/cycle_lib.sh"

own_network CALENDAR_NETNS "$script" "$@"

need_tools nginx sqlite3 curl c++ cmake
need_free_port80 127.0.0.1

build=$root/${BENCH_BUILD:-build-bench-cal}
rounds=${BENCH_ROUNDS:-5}
n=${BENCH_N:-20000}
# cron_next links the support library, built in any case.
cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
cmake --build "$build" --target jantorsupport -j"$(nproc)" >/dev/null
if [ -n "${JANTOR:-}" ]; then
  jantor=$(realpath "$JANTOR")
else
  cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
  jantor=$build/jantor
fi
work=$build/calendar
rm -rf "$work"
mkdir -p "$work"
record_into calendar "$work/figures"
c++ -O2 -std=c++20 -Wall -Wextra -I. bench/cron_next.cc "$build/libjantorsupport.a" -ldate-tz \
  -o "$work/cron_next"
log=$work/nginx/access.log
odbc=$work/odbc

cleanup() {
  local status=$?
  tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true
  forget_failed "$status"
}
trap cleanup EXIT

NGINX_PORT=80 tests/support/nginx.sh start "$work/nginx" >/dev/null
[ "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1/index.html)" = 200 ] ||
  { echo "bench: nginx does not answer a GET of /index.html with 200" >&2; exit 1; }

# Two SQLite databases from the shipped schema, as the shipped example
# (dist/odbc-sqlite.ini) sets them up, WAL and commits that do not wait for
# the disk: one for the calendar entries, one for the interval entries.
db_cron=$work/cron.db db_interval=$work/interval.db
scripts/odbc-dsn.sh "$odbc" cron_sqlite sqlite "$db_cron" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" interval_sqlite sqlite "$db_interval" JournalMode=WAL SyncPragma=NORMAL
for file in "$db_cron" "$db_interval"; do
  sqlite3 "$file" <schema/sqlite.sql
  sqlite3 "$file" 'PRAGMA journal_mode=WAL;' >/dev/null
done

# The calendars, "expression|zone" (an empty zone is NULL but for the
# monthly one, which is ''): the same six, in the same order, as
# bench/cron_next.cc times. Row i takes calendar i mod 6.
calendars=(
  '*/5 * * * *|'
  '0 9 * * mon-fri|Europe/Berlin'
  '30 2 * * *|America/New_York'
  "0 0 1 * *|''"
  '15,45 8-18 * * *|Asia/Tokyo'
  '*/10 * * * *|Australia/Sydney'
)
cron_case="CASE i % ${#calendars[@]}"
zone_case="CASE i % ${#calendars[@]}"
for c in "${!calendars[@]}"; do
  expression=${calendars[$c]%%|*} zone=${calendars[$c]#*|}
  cron_case+=" WHEN $c THEN '$expression'"
  case $zone in
    '') zone_case+=" WHEN $c THEN NULL" ;;
    "''") zone_case+=" WHEN $c THEN ''" ;;
    *) zone_case+=" WHEN $c THEN '$zone'" ;;
  esac
done
cron_case+=" END" zone_case+=" END"

# COUNT entries for tag in the database file, all due at DUE, GETs of
# /index.html?TAG-i on 127.0.0.1 port 80 with a one-day interval; on the
# calendars, or with i_cron and i_zone left NULL.
fill() { # file tag count due cron|interval
  local calendar=()
  if [ "$5" = cron ]; then calendar=(i_cron="$cron_case" i_zone="$zone_case"); fi
  fill_schedule "$1" "$3" "$2" 127.0.0.1 /index.html "'$4'" "${calendar[@]}"
}

# Every request of the run reached nginx, each a GET answered 200, and
# each entry exactly once.
check_requests() { # tag count
  local got
  got=$(span "$1" | cut -d' ' -f1)
  [ "$got" = "$2" ] || { echo "bench: $1 made $got of $2 requests" >&2; exit 1; }
  got=$(grep -F "?$1-" "$log" | awk '$3 == "\"GET" && $NF == 200 { print $4 }' | sort -u | wc -l)
  [ "$got" = "$2" ] || { echo "bench: $1 made $got of $2 distinct GETs answered 200" >&2; exit 1; }
}

# Every interval entry moved on by exactly its interval from DUE.
check_interval() { # file due count
  local want got
  want=$(date -d "@$(($(date -d "$2" +%s) + 86400))" '+%Y-%m-%d %H:%M:%S')
  got=$(sqlite3 "$1" "SELECT count(*) FROM schedule_2 WHERE i_cron IS NULL AND i_next = '$want';")
  [ "$got" = "$3" ] || { echo "bench: $got of $3 interval entries moved on to $want" >&2; exit 1; }
}

# Every calendar entry moved on to its expression's first time after the
# cycle's present, which lies between the seconds BEFORE and AFTER taken
# around the run: between the first time after BEFORE - 1 and the first
# after AFTER, both later than BEFORE.
check_calendar() { # file before after count
  local file=$1 before=$2 after=$3 count=$4 c expression zone zone_sql low high got total=0
  for c in "${!calendars[@]}"; do
    expression=${calendars[$c]%%|*} zone=${calendars[$c]#*|}
    [ "$zone" = "''" ] && zone=""
    low=$("$work/cron_next" next "$expression" "$zone" $((before - 1)))
    high=$("$work/cron_next" next "$expression" "$zone" "$after")
    zone_sql="i_zone = '$zone'"
    [ -z "${calendars[$c]#*|}" ] && zone_sql="i_zone IS NULL"
    got=$(sqlite3 "$file" "SELECT count(*) FROM schedule_2 WHERE i_cron = '$expression' AND $zone_sql
                             AND i_next BETWEEN '$low' AND '$high';")
    total=$((total + got))
  done
  [ "$total" = "$count" ] ||
    { echo "bench: $total of $count calendar entries moved on to their next run" >&2; exit 1; }
}

# One cycle of jantor on data source dsn at -c 8.
run_jantor() { # dsn tag
  local pid
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d "$1" -i 3600 -c 8 \
    >"$work/jantor-$2.out" 2>"$work/jantor-$2.err" &
  pid=$!
  wait_cycle "$pid" || { kill "$pid" 2>/dev/null; exit 1; }
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# The two ways: the key names the run (tag <key>-<round>).
way_cr() {
  local due before
  due=$(stamp -1)
  fill "$db_cron" "$1" "$n" "$due" cron
  before=$(date +%s)
  run_jantor cron_sqlite "$1"
  check_calendar "$db_cron" "$before" "$(date +%s)" "$n"
}
way_iv() {
  local due
  due=$(stamp -1)
  fill "$db_interval" "$1" "$n" "$due" interval
  run_jantor interval_sqlite "$1"
  check_interval "$db_interval" "$due" "$n"
}

# Runs the pair's two ways every round, taking turns at going first, and
# records each run's rate as rate.calendar.<key>.<round>.
race() { # key-a key-b
  local a=$1 b=$2 r way
  for r in $(seq "$rounds"); do
    echo "  $a/$b round $r of $rounds ..." >&2
    for way in $([ $((r % 2)) = 1 ] && echo "$a $b" || echo "$b $a"); do
      "way_$way" "$way-$r"
      check_requests "$way-$r" "$n"
      record "rate.calendar.$way.$r" "$(rate "$way-$r")" hits/s
    done
  done
}

record_start
record calendar.rounds "$rounds"
record calendar.n "$n"
record calendar.zone "$(date +%Z)"
record calendar.rows "$(for c in "${calendars[@]}"; do
  zone=${c#*|}; printf "'%s' %s, " "${c%%|*}" "${zone:-NULL}"; done | sed 's/, $//')"
echo "GETs to nginx, $n entries on a calendar and on an interval ..." >&2
race cr iv
rm -f "$db_cron"* "$db_interval"*

# The cost of one next run: cron_next once a round, each case's time a call
# recorded as calendar.ns.<case>.<round>, in the order cron_next times them.
echo "The cost of one next run ..." >&2
for r in $(seq "$rounds"); do
  "$work/cron_next" >"$work/cron_next-$r.out"
  while read -r name value _; do record "calendar.ns.$name.$r" "$value" ns; done <"$work/cron_next-$r.out"
done
record calendar.cases "$(cut -d' ' -f1 "$work/cron_next-1.out" | tr '\n' ' ' | sed 's/ $//')"
record calendar.calls "$(awk '{ s += $3 } END { print s }' "$work/cron_next-1.out")"
record_end
report_alone "$work"
