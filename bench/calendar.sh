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
# first; the ratio is of the best rates, with the median of the rounds' own
# ratios. After every run each entry must have been requested once and
# moved on: an interval entry by its interval, a calendar entry to its
# expression's first time after the cycle's present. Prints its progress
# on standard error and a markdown table on standard output, which it also
# writes to bench/results/calendar.md.
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
results=$root/bench/results
rm -rf "$work"
mkdir -p "$work" "$results"
c++ -O2 -std=c++20 -Wall -Wextra -I. bench/cron_next.cc "$build/libjantorsupport.a" -ldate-tz \
  -o "$work/cron_next"
log=$work/nginx/access.log
odbc=$work/odbc

cleanup() { tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true; }
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

# Local time as jantor reads it, a minute ago.
due_time() { date -d '-1 minutes' '+%Y-%m-%d %H:%M:%S'; }

# COUNT entries for tag in the database file, all due at DUE, GETs of
# /index.html?TAG-i on 127.0.0.1 port 80 with a one-day interval; on the
# calendars, or with i_cron and i_zone left NULL.
fill() { # file tag count due cron|interval
  local file=$1 tag=$2 count=$3 due=$4 columns="" values=""
  if [ "$5" = cron ]; then
    columns=", i_cron, i_zone"
    values=", $cron_case, $zone_case"
  fi
  sqlite3 "$file" <<SQL
DELETE FROM schedule_2;
WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < $count)
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop$columns)
SELECT i, NULL, NULL, 80, '/index.html?$tag-' || i, '127.0.0.1', 30, 86400, '$due', 0, 1$values
FROM k;
SQL
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
  due=$(due_time)
  fill "$db_cron" "$1" "$n" "$due" cron
  before=$(date +%s)
  run_jantor cron_sqlite "$1"
  check_calendar "$db_cron" "$before" "$(date +%s)" "$n"
}
way_iv() {
  local due
  due=$(due_time)
  fill "$db_interval" "$1" "$n" "$due" interval
  run_jantor interval_sqlite "$1"
  check_interval "$db_interval" "$due" "$n"
}

declare -A rates  # rates[<key>-<round>]
# Runs the pair's two ways every round, taking turns at going first.
race() { # key-a key-b
  local a=$1 b=$2 r way
  for r in $(seq "$rounds"); do
    echo "  $a/$b round $r of $rounds ..." >&2
    for way in $([ $((r % 2)) = 1 ] && echo "$a $b" || echo "$b $a"); do
      "way_$way" "$way-$r"
      check_requests "$way-$r" "$n"
      rates[$way-$r]=$(rate "$way-$r")
    done
  done
}

load_start=$(cut -d' ' -f1 /proc/loadavg)
echo "GETs to nginx, $n entries on a calendar and on an interval ..." >&2
race cr iv
rm -f "$db_cron"* "$db_interval"*

# The cost of one next run: cron_next once a round, the lowest time of
# each case.
echo "The cost of one next run ..." >&2
for r in $(seq "$rounds"); do "$work/cron_next" >"$work/cron_next-$r.out"; done
declare -A ns  # ns[<case>]: nanoseconds a call
while read -r name value; do ns[$name]=$value; done < <(
  awk '!($1 in low) || $2 < low[$1] { low[$1] = $2 }
    END { for (name in low) print name, low[name] }' "$work"/cron_next-*.out)
calls=$(awk '{ s += $3 } END { print s }' "$work/cron_next-1.out")
each=""
while read -r name _; do
  if [[ $name == cron:* ]]; then each+="${name#cron:} ${ns[$name]}; "; fi
done <"$work/cron_next-1.out"
each=${each%; }
load_end=$(cut -d' ' -f1 /proc/loadavg)

read -r c_rate i_rate c_best c_median c_each <<<"$(compare cr iv)"
echo "nginx GET -c 8, calendar / interval: $c_best (best), $c_median (median); rounds: $c_each" >&2
echo "next run, ns a call: $(while read -r name _; do printf '%s %s; ' "$name" "${ns[$name]}"; done <"$work/cron_next-1.out")" >&2

{
  echo "## Calendar schedules"
  echo
  echo "Run of $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) processors, local time $(date +%Z); SQLite in WAL mode;"
  echo "$rounds rounds, the two tables' cycles seconds apart, taking turns at going first; load average"
  echo "$load_start at the start, $load_end at the end. Every entry is due a minute ago and is a GET of"
  echo "nginx's /index.html. The calendar table's rows take, in turn: $(for c in "${calendars[@]}"; do
    zone=${c#*|}; printf "'%s' %s, " "${c%%|*}" "${zone:-NULL}"; done | sed 's/, $//')."
  echo "Rates are requests a second from nginx's log; the ratio is of the best rates, and the median of the"
  echo "rounds' own ratios. After every cycle each entry was requested once and moved on: an interval entry"
  echo "by its interval, a calendar entry to its expression's first time after the cycle's present."
  echo "Next-run costs are from bench/cron_next.cc, the lowest of $rounds runs of $calls calls in all, over"
  echo "starting times spread across 2026; \"text\" is the local \"YYYY-MM-DD HH:MM:SS\" a hit writes in i_next."
  echo
  echo "| figure | target | measured | met |"
  echo "|---|---|---|---|"
  echo "| jantor -c 8 GET, every entry on a calendar against every entry on an interval, nginx, N = $n | at least 0.95 | $c_best ($c_rate against $i_rate a second); median of rounds $c_median | $(verdict "$c_best >= 0.95") |"
  echo "| next run of an interval entry: stored time + interval, text | none, for reading | ${ns[interval]} ns a call | - |"
  echo "| the same, the stored time read back with mktime first, as a hit reads it | none, for reading | ${ns[interval+mktime]} ns a call | - |"
  echo "| next run of a calendar entry: CronNextRun over the six in turn | none, for reading | ${ns[cron-mix]} ns a call | - |"
  echo "| the same, text | none, for reading | ${ns[cron-mix+text]} ns a call | - |"
  echo "| the same, CronParse first, text: what a hit does | none, for reading | ${ns[cron-mix+parse+text]} ns a call | - |"
  echo "| CronNextRun for each of the six alone | none, for reading | $each ns a call | - |"
} >"$results/calendar.md"
cat "$results/calendar.md"
