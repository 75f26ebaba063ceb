#!/usr/bin/env bash
# Benchmarks jantor side by side with the usual alternatives, all in one run
# on this machine, and writes bench/results/results.md (also printed) and
# bench/results/chart.png. Needs root or a free port 80 it may bind.
#
#   bench/run.sh            # builds jantor in build-bench/ and runs it all
#
# Environment: BENCH_BUILD (build folder, default build-bench), BENCH_ROUNDS
# (repetitions of each speed measurement, the best counts; default 5),
# BENCH_ONLY=watch (only the metrics endpoint and the shared table, with
# their rows printed and bench/results left as it is: for working on them).
#
# Every speed figure comes from a server's log of the requests it got: the
# time from the first to the last request that one run made, from nginx's
# access log ($msec) on loopback, and from bench/delay_server.c's log for the
# server that answers each request 50 ms late. A run of jantor is one poll
# cycle over N due entries, with standard output going to a file.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

JANTOR_DEPS_EXTRA="gnuplot-nox strace prometheus-node-exporter ${JANTOR_DEPS_EXTRA:-}" scripts/deps.sh
build=$root/${BENCH_BUILD:-build-bench}
rounds=${BENCH_ROUNDS:-5}
only=${BENCH_ONLY:-}
# Other work on the machine slows every figure: the run says how much there was.
run_start=$(date +%s) load_start=$(cut -d' ' -f1 /proc/loadavg)
cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
cc -O2 -Wall -Wextra -o "$build/plain_loop" bench/plain_loop.c
cc -O2 -Wall -Wextra -o "$build/slow_server" bench/slow_server.c
cc -O2 -Wall -Wextra -o "$build/delay_server" bench/delay_server.c
cc -O2 -Wall -Wextra -o "$build/odbc_resultset" bench/odbc_resultset.c -lodbc
cc -O2 -Wall -Wextra -o "$build/scrape" bench/scrape.c
jantor=$build/jantor

work=$build/bench-work
results=$root/bench/results
rm -rf "$work"
mkdir -p "$work" "$results"
log=$work/nginx/access.log
odbc=$work/odbc
db=$work/schedule.db

# ---- Servers ------------------------------------------------------------------

# jantor connects to the "http" port first, so nginx must own port 80 for
# the hits to reach it; the delay server takes port 80 of 127.0.0.2 later.
for address in 127.0.0.1 127.0.0.2; do
  if (exec 3<>/dev/tcp/$address/80) 2>/dev/null; then
    echo "bench: something already listens on $address:80; stop it and run again" >&2
    exit 1
  fi
done
delay_pid="" silent_client=""
watch_pids=()  # scrapers, node exporter and daemons of the sections on -m and -s
cleanup() {
  local pid
  for pid in "${watch_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$silent_client" ]; then kill "$silent_client" 2>/dev/null || true; fi
  if [ -n "$delay_pid" ]; then kill "$delay_pid" 2>/dev/null || true; fi
  tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true
  tests/support/pg.sh stop "$work/pg" >/dev/null 2>&1 || true
  tests/support/nginx_tls.sh stop "$work/nginx_tls" >/dev/null 2>&1 || true
}
trap cleanup EXIT
NGINX_PORT=80 tests/support/nginx.sh start "$work/nginx" >/dev/null
head -c $((4 * 1024 * 1024)) /dev/zero | tr '\0' 'x' >"$work/nginx/www/big.txt"
# pg_stat_statements counts the statements of the shared-table runs; it
# is loaded for the whole server but counts only in the database jshare
# that those runs use, so the other runs pay no more than its hooks.
PG_SERVER_OPTIONS="-c shared_preload_libraries=pg_stat_statements -c pg_stat_statements.track=none" \
  tests/support/pg.sh start "$work/pg" >/dev/null
pg_port=$(cat "$work/pg/port")
pg_password=$(cat "$work/pg/password")
psql_jantor() { PGPASSWORD=$pg_password psql -q -X -h 127.0.0.1 -p "$pg_port" -U jantor -d jantor "$@"; }
psql_jantor -f schema/postgres.sql >/dev/null
psql_share() { PGPASSWORD=$pg_password psql -q -X -h 127.0.0.1 -p "$pg_port" -U jantor -d jshare "$@"; }
psql_jantor -c 'CREATE EXTENSION pg_stat_statements' -c 'CREATE DATABASE jshare' \
  -c 'ALTER DATABASE jshare SET pg_stat_statements.track = top' >/dev/null
psql_share -f schema/postgres.sql >/dev/null

# The settings of the shipped SQLite example (dist/odbc-sqlite.ini): WAL,
# and commits that do not wait for the disk.
scripts/odbc-dsn.sh "$odbc" bench_sqlite sqlite "$db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" bench_pg postgres 127.0.0.1 "$pg_port" jantor
scripts/odbc-dsn.sh "$odbc" bench_pgs postgres 127.0.0.1 "$pg_port" jshare
sqlite3 "$db" <schema/sqlite.sql
sqlite3 "$db" 'PRAGMA journal_mode=WAL;' >/dev/null

# ---- Helpers -------------------------------------------------------------------

# Local time as jantor reads it, "minutes" (or "$1 seconds") from now.
stamp() { date -d "$1 ${2:-minutes}" '+%Y-%m-%d %H:%M:%S'; }

# Fills the schedule table with N entries for tag that are due (at DUE, a
# minute ago unless given) and FUTURE more that are not, spread between them
# (every (N+FUTURE)/N-th is due), on HOST (127.0.0.1 unless given). No entry
# has credentials.
fill_sqlite() {
  local n=$1 tag=$2 future=${3:-0} object=${4:-/index.html} due=${5:-$(stamp -1)}
  local host=${6:-127.0.0.1}
  local total=$((n + future)) step=$(((n + future) / n))
  sqlite3 "$db" <<SQL
DELETE FROM schedule_2;
WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < $total)
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT i, NULL, NULL, 80, '$object?$tag-' || i, '$host', 30, 86400,
       CASE WHEN i % $step = 0 AND i / $step <= $n THEN '$due' ELSE '$(stamp 1440)' END, 0, 1
FROM k;
SQL
}

# Fills the PostgreSQL table (through psql_jantor, or the psql command named)
# with N entries for tag, all due, on HOST (127.0.0.1 unless given).
fill_pg() {
  local n=$1 tag=$2 host=${3:-127.0.0.1} psql=${4:-psql_jantor}
  "$psql" <<SQL
TRUNCATE schedule_2;
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT i, NULL, NULL, 80, '/index.html?$tag-' || i, '$host', 30, 86400, '$(stamp -1)', 0, 1
FROM generate_series(1, $n) AS i;
ANALYZE schedule_2;
SQL
}

# "count first last" of the lines of one run in a server's log (nginx's
# access log unless named); each line starts with the request's time in
# seconds.
span() { grep -F "?$1-" "${2:-$log}" | awk '{ if (n++ == 0) a = $1; b = $1 } END { printf "%d %s %s\n", n, a, b }'; }

# Hits a second from the first to the last request of a run.
rate() { span "$@" | awk '{ printf "%.0f\n", ($3 > $2) ? ($1 - 1) / ($3 - $2) : 0 }'; }

# Waits until each jantor named has ended its first cycle: it then waits for
# its alarm in sigsuspend (system call 130 on x86-64), or it has exited. The
# wait runs beside the cycles it waits for, so it forks nothing but a sleep
# a tenth of a second: polling three daemons every 20 ms with cut and sleep
# took a tenth of this two-processor machine from the daemons it measured.
wait_cycle() { # pid...
  local pid i call waiting
  for i in $(seq 1200); do
    waiting=0
    for pid in "$@"; do
      kill -0 "$pid" 2>/dev/null || continue
      call=
      read -r call _ </proc/"$pid"/syscall 2>/dev/null || true
      [ "$call" = 130 ] || waiting=1
    done
    [ "$waiting" = 0 ] && return 0
    sleep 0.1
  done
  echo "bench: jantor did not finish its cycle" >&2
  return 1
}

# Runs one poll cycle of jantor on data source dsn; prints the start time and
# the peak resident size (KiB), and writes the processor time it has taken
# (user and system, every thread, start-up included; clock ticks) to
# $work/jantor-<tag>.cpu. Extra arguments go to jantor. The command named
# by after_cycle, if any, runs with jantor's pid once the cycle has ended.
run_jantor() {
  local dsn=$1 tag=$2
  shift 2
  local start pid hwm
  start=$(date +%s.%N)
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "${pin[@]}" "$jantor" -d "$dsn" -i 3600 "$@" \
    >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  pid=$!
  echo "$pid" >"$work/client.pid"
  wait_cycle "$pid"
  if [ -n "${after_cycle:-}" ]; then "$after_cycle" "$pid"; fi
  hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status 2>/dev/null || echo 0)
  awk '{ print $14 + $15 }' /proc/"$pid"/stat >"$work/jantor-$tag.cpu" 2>/dev/null || echo 0 >"$work/jantor-$tag.cpu"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "$start $hwm"
}

# Runs jantor for two poll cycles and measures the second alone. The entries
# must fall due between the two (fill with due time "2 seconds"): the first
# cycle finds nothing, and start-up and first cycle are then over before the
# second begins. Prints the second cycle's length in ms, from its start (the
# end of the alarm set by the first cycle, interval 4 s) to its own alarm
# call, and the peak resident size (KiB) during the second cycle. Only the
# alarm calls are traced, so the cycle runs at full speed. Extra arguments
# go to jantor.
run_jantor_second() {
  local dsn=$1 tag=$2 n=$3 tracer pid i
  shift 3
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini strace -f --seccomp-bpf -ttt -e trace=alarm \
    -o "$work/alarm-$tag.txt" "$jantor" -d "$dsn" -i 4 "$@" >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  tracer=$!
  for i in $(seq 500); do pid=$(pgrep -P "$tracer" || true); [ -n "$pid" ] && break; sleep 0.01; done
  wait_cycle "$pid"
  echo 5 >/proc/"$pid"/clear_refs  # the peak starts again from the present size
  for i in $(seq 1200); do [ "$(span "$tag" | cut -d' ' -f1)" -ge "$n" ] && break; sleep 0.1; done
  wait_cycle "$pid"
  local hwm
  hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status)
  kill "$pid" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  awk '/alarm\(/ { t[n++] = $2 } END { printf "%.1f", (t[1] - t[0] - 4) * 1000 }' "$work/alarm-$tag.txt"
  echo " $hwm"
}

# Starts jantor on data source dsn and waits for the end of its first
# cycle. Prints the time from the program's start (its execve) to the end of
# that cycle (its first alarm call) in ms, and the peak resident size (KiB)
# up to then, start-up included.
run_jantor_startup() {
  local dsn=$1 tag=$2 tracer pid i hwm
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini strace -f --seccomp-bpf -ttt -e trace=execve,alarm \
    -o "$work/startup-$tag.txt" "$jantor" -d "$dsn" -i 3600 >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  tracer=$!
  for i in $(seq 500); do pid=$(pgrep -P "$tracer" || true); [ -n "$pid" ] && break; sleep 0.01; done
  wait_cycle "$pid"
  hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status)
  kill "$pid" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  awk '/execve\(/ && !s { s = $2 } /alarm\(/ && !a { a = $2 } END { printf "%.1f", (a - s) * 1000 }' \
    "$work/startup-$tag.txt"
  echo " $hwm"
}

curl_opts=(-s --http1.0 -H 'Connection: close')
urls() { local i; for i in $(seq "$1"); do echo "http://${3:-127.0.0.1}/index.html?$2-$i"; done; }

run_curl_one() {
  urls "$1" "$2" | sed 's/.*/url = "&"/' >"$work/curl-$2.cfg"
  "${pin[@]}" curl "${curl_opts[@]}" -K "$work/curl-$2.cfg" >"$work/curl-$2.out"
}

run_curl_loop() {
  local url
  urls "$1" "$2" >"$work/loop-$2.urls"
  while read -r url; do curl "${curl_opts[@]}" "$url"; done <"$work/loop-$2.urls" >"$work/loop-$2.out"
}

# The server that answers each request late (bench/delay_server.c) on port
# 80 of 127.0.0.2, logging each request's arrival to delay_log.
delay_log=$work/delay.log
start_delay() { # delay_ms: answers that late, or never when below 0
  rm -f "$work/delay.port"
  "$build/delay_server" 127.0.0.2 80 "$1" 1800 0 "$delay_log" >"$work/delay.port" 2>"$work/delay.err" &
  delay_pid=$!
  for _ in $(seq 100); do [ -s "$work/delay.port" ] && return 0; sleep 0.02; done
  echo "bench: the delay server did not start: $(cat "$work/delay.err")" >&2
  exit 1
}
stop_delay() { kill "$delay_pid" 2>/dev/null || true; wait "$delay_pid" 2>/dev/null || true; delay_pid=""; }
delay_count() { span "$1" "$delay_log" | cut -d' ' -f1; }

clk_tck=$(getconf CLK_TCK)
ticks() { awk '{ print $14 + $15 }' /proc/"$1"/stat; }  # user + system, every thread
# Run time of a process so far, every thread that it has now (ns).
task_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d\n", s }'; }

best() { sort -n | tail -n1; }
least() { sort -n | head -n1; }
median() { sort -n | awk '{ v[NR] = $1 }
  END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk "BEGIN { print ($1) ? \"yes\" : \"**no**\" }"; }

# The median over the rounds (BENCH_ROUNDS, or the count given) of one way's
# rate against another's in the same round. A round runs its ways seconds
# apart, so the machine's drift from minute to minute cancels out, which the
# best of each way's own rounds (drawn from different minutes) does not do.
paired() {
  local a=$1 b=$2 key=$3 r
  for r in $(seq "${4:-$rounds}"); do
    ratio "${round_hits[$a$key-$r]}" "${round_hits[$b$key-$r]}"
    echo
  done | median
}
pin=()  # a command that holds a client to a processor, when one is wanted
declare -A hits round_hits  # round_hits: a race's rate of each way in each round

# Races jantor (one cycle on SQLite, -c 1 and -c 8), the plain loop and one
# curl over N requests, BENCH_ROUNDS times, and keeps each way's best rate as
# hits[<way><key>] (ways js for -c 1, jc for -c 8, pl, c1). The peak
# resident size of jantor -c 1 in each round goes to the array race_hwm.
race() {
  local n=$1 key=$2 r way hwm
  race_hwm=()
  for r in $(seq "$rounds"); do
    fill_sqlite "$n" "js$key-$r"
    read -r _ hwm < <(run_jantor bench_sqlite "js$key-$r" -c 1)
    race_hwm+=("$hwm")
    fill_sqlite "$n" "jc$key-$r"
    run_jantor bench_sqlite "jc$key-$r" -c 8 >/dev/null
    "${pin[@]}" "$build/plain_loop" 127.0.0.1 80 "/index.html?pl$key-$r-" "$n"
    run_curl_one "$n" "c1$key-$r"
  done
  for way in js jc pl c1; do
    for r in $(seq "$rounds"); do round_hits[$way$key-$r]=$(rate "$way$key-$r"); done
    hits[$way$key]=$(for r in $(seq "$rounds"); do echo "${round_hits[$way$key-$r]}"; done | best)
  done
}

# ---- Metrics: the endpoint of -m scraped during a cycle ----------------------------

# One cycle of jantor -c 8 over N = 2000 entries on SQLite against nginx,
# with -m and bench/scrape.c asking for /metrics every 100 ms from before
# the start to the end, and without -m, taking turns in each round (which
# goes first alternates). A run lasts about a fifth of a second, so there
# are twice BENCH_ROUNDS rounds for the round-by-round median to settle on.
# Once the cycle has ended, one more scrape must count every hit.
echo "Metrics endpoint ..." >&2
metrics_n=2000 metrics_rounds=$((2 * rounds))
metrics_port=$(. tests/support/lib.sh && free_port 19464)
metrics_final() { # after_cycle of a run with -m
  curl -s "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics-$metrics_tag.txt" || true
}
metrics_run() { # tag with (1: -m and the scraper)
  local tag=$1 scraper
  fill_sqlite "$metrics_n" "$tag"
  if [ "$2" = 1 ]; then
    "$build/scrape" 127.0.0.1 "$metrics_port" 100 600 60 "$work/scrape-$tag.log" &
    scraper=$!
    watch_pids+=("$scraper")
    metrics_tag=$tag after_cycle=metrics_final \
      run_jantor bench_sqlite "$tag" -c 8 -m "127.0.0.1:$metrics_port" >/dev/null
    kill "$scraper" 2>/dev/null || true
    wait "$scraper" 2>/dev/null || true
    local counted
    counted=$(awk '/^jantor_hits_total\{/ { s += $2 } END { print s + 0 }' "$work/metrics-$tag.txt")
    [ "$counted" = "$metrics_n" ] || { echo "bench: /metrics counted $counted of $metrics_n hits after the cycle ($tag)" >&2; exit 1; }
  else
    run_jantor bench_sqlite "$tag" -c 8 >/dev/null
  fi
  [ "$(span "$tag" | cut -d' ' -f1)" = "$metrics_n" ] || { echo "bench: jantor ($tag) missed hits" >&2; exit 1; }
}
# Scrapes answered while the hits of a run went on (from its first to its
# last request in nginx's log).
scrapes_during() { # tag
  local first last
  read -r _ first last < <(span "$1")
  awk -v a="$first" -v b="$last" '$3 == "ok" && $1 <= b && $2 >= a { n++ } END { print n + 0 }' \
    "$work/scrape-$1.log"
}
for r in $(seq "$metrics_rounds"); do
  if [ $((r % 2)) = 1 ]; then
    metrics_run "mn-$r" 0
    metrics_run "mm-$r" 1
  else
    metrics_run "mm-$r" 1
    metrics_run "mn-$r" 0
  fi
done
for way in mm mn; do
  for r in $(seq "$metrics_rounds"); do round_hits[$way-$r]=$(rate "$way-$r"); done
  hits[$way]=$(for r in $(seq "$metrics_rounds"); do echo "${round_hits[$way-$r]}"; done | best)
done
metrics_scrapes=$(for r in $(seq "$metrics_rounds"); do scrapes_during "mm-$r"; done | sort -n |
  awk '{ v[NR] = $1 } END { print v[1] " to " v[NR] }')
metrics_bytes=$(awk '$3 == "ok" { print $4 }' "$work"/scrape-mm-*.log | sort -n | tail -n1)
r_metrics=$(ratio "${hits[mm]}" "${hits[mn]}")
p_metrics=$(paired mm mn "" "$metrics_rounds")

# ---- Metrics: the endpoint at rest ------------------------------------------------

# jantor -m with nothing due, after its first cycle, scraped once a second
# for 10 s; its run time (every thread, /proc/PID/task/*/schedstat) at the
# start and end of those 10 s, as with the silent server. The usual
# alternative, Debian's prometheus-node-exporter (its own collectors, as it
# comes), is measured the same way, after one scrape to warm it up.
echo "Idle endpoint ..." >&2
idle_seconds=10
idle_cpu() { # pid port tag; prints the percent of one processor, the threads and the scrape size
  local pid=$1 port=$2 tag=$3 c0 c1 t0 t1 tasks0 tasks1 scraper t0_ticks
  sleep 0.5
  tasks0=$(ls /proc/"$pid"/task)
  t0_ticks=$(ticks "$pid")
  c0=$(task_ns "$pid") t0=$(date +%s%N)
  "$build/scrape" 127.0.0.1 "$port" 1000 "$idle_seconds" "$((idle_seconds + 5))" "$work/scrape-$tag.log" &
  scraper=$!
  watch_pids+=("$scraper")
  sleep "$idle_seconds"
  c1=$(task_ns "$pid") t1=$(date +%s%N)
  tasks1=$(ls /proc/"$pid"/task)
  wait "$scraper"
  # A thread that ended within the window takes its run time along; the
  # process's own count (clock ticks) keeps it, so it counts then.
  if [ -n "$(comm -23 <(echo "$tasks0" | sort) <(echo "$tasks1" | sort))" ]; then
    echo "bench: a thread of $tag ended while it was measured; counting clock ticks" >&2
    c0=$((t0_ticks * 1000000000 / clk_tck)) c1=$(($(ticks "$pid") * 1000000000 / clk_tck))
  fi
  [ "$(grep -c ' ok .* 200$' "$work/scrape-$tag.log")" = "$idle_seconds" ] ||
    { echo "bench: $tag did not answer every scrape: $(cat "$work/scrape-$tag.log")" >&2; exit 1; }
  awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" -v n="$(echo "$tasks1" | wc -l)" \
    -v b="$(awk '{ print $4 }' "$work/scrape-$tag.log" | sort -n | tail -n1)" \
    'BEGIN { printf "%.3f %d %d\n", 100 * c / t, n, b }'
}
sqlite3 "$db" 'DELETE FROM schedule_2;'
ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d bench_sqlite -i 3600 -m "127.0.0.1:$metrics_port" \
  >"$work/jantor-idle.out" 2>"$work/jantor-idle.err" &
idle_pid=$!
watch_pids+=("$idle_pid")
wait_cycle "$idle_pid"
read -r idle_jantor idle_jantor_threads idle_jantor_bytes < <(idle_cpu "$idle_pid" "$metrics_port" idlej)
kill "$idle_pid"; wait "$idle_pid" 2>/dev/null || true
exporter_port=$(. tests/support/lib.sh && free_port $((metrics_port + 1)))
prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" >"$work/node-exporter.log" 2>&1 &
idle_pid=$!
watch_pids+=("$idle_pid")
for _ in $(seq 250); do curl -sf -o /dev/null "http://127.0.0.1:$exporter_port/metrics" && break; sleep 0.02; done
read -r idle_exporter idle_exporter_threads idle_exporter_bytes < <(idle_cpu "$idle_pid" "$exporter_port" idlene)
kill "$idle_pid"; wait "$idle_pid" 2>/dev/null || true
exporter_version=$(prometheus-node-exporter --version 2>&1 | awk 'NR == 1 { print $3 }')

# ---- A shared table: three daemons with -s against one -------------------------------

# N = 6000 due entries on PostgreSQL (the database jshare, data source
# bench_pgs), host 127.0.0.2: the delay server answers each hit 50 ms late,
# so hits in flight are what counts, as in the delay section. Three daemons
# with -s 60 -c 64 at once against one -c 64 without -s, one with -s, and
# one -c 192 without -s (the three's hits in flight in one process), the
# ways taking turns in each round. Rates from the first to the last request
# of a run in the server's log, whichever daemon made it. Every run must
# have requested every entry, and the log tells how many times each.
#
# The run's cost on the database: its statements (pg_stat_statements, which
# counts in jshare only), its commits (pg_stat_database.xact_commit of
# jshare, read with every session on jshare gone, since a session hands in
# its counts at the latest when it ends), and the run time of the backends
# that served the daemons' connections (/proc/PID/schedstat, their whole
# life: connect, login, table checks and the cycle), read once the cycle has
# ended and before the daemons stop. Nothing else uses jshare meanwhile.
echo "Shared table ..." >&2
share_n=6000
share_ways=(
  "shu64 1 64"
  "shs64 1 64 -s 60"
  "sht64 3 64 -s 60"
  "shu192 1 192"
)
fill_share() { fill_pg "$share_n" "$1" 127.0.0.2 psql_share; }  # tag
share_sessions() { psql_jantor -tA -c "SELECT count(*) FROM pg_stat_activity WHERE datname = 'jshare'"; }
share_quiet() {
  local i
  for i in $(seq 500); do [ "$(share_sessions)" = 0 ] && return 0; sleep 0.02; done
  echo "bench: sessions on jshare did not end" >&2
  exit 1
}
share_commits() { psql_jantor -tA -c "SELECT xact_commit FROM pg_stat_database WHERE datname = 'jshare'"; }
share_statements="FROM pg_stat_statements WHERE dbid = (SELECT oid FROM pg_database WHERE datname = 'jshare')"
# psqlODBC wraps every statement of a transaction in a savepoint of its
# own (SAVEPOINT before, RELEASE after, as its default rollback of a failed
# statement alone needs): counted apart from jantor's own statements.
share_own="AND query NOT LIKE 'SAVEPOINT %' AND query NOT LIKE 'RELEASE %'"
# One run: fills the table, starts the daemons at once and waits for the end
# of their first cycles. Writes "statements commits backend-ns
# own-statements jantor-ticks" to share-<tag>.cost (jantor-ticks: the
# daemons' processor time, every thread, start-up included), the counts of
# each statement to statements-<tag>.txt and "entries requests
# entries-requested-more-than-once" to share-<tag>.once.
share_run() { # tag daemons c [jantor arguments]
  local tag=$1 daemons=$2 c=$3 d pid commits0 backend_ns=0 backend jantor_ticks=0
  shift 3
  local pids=()
  fill_share "$tag"
  share_quiet
  psql_jantor -c 'SELECT pg_stat_statements_reset()' >/dev/null
  commits0=$(share_commits)
  for d in $(seq "$daemons"); do
    ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d bench_pgs -u jantor -p "$pg_password" \
      -i 3600 -c "$c" "$@" >"$work/jantor-$tag-$d.out" 2>"$work/jantor-$tag-$d.err" &
    pids+=($!)
    watch_pids+=($!)
  done
  wait_cycle "${pids[@]}"
  for pid in "${pids[@]}"; do jantor_ticks=$((jantor_ticks + $(ticks "$pid"))); done
  for backend in $(psql_jantor -tA -c "SELECT pid FROM pg_stat_activity WHERE datname = 'jshare'"); do
    backend_ns=$((backend_ns + $(cut -d' ' -f1 /proc/"$backend"/schedstat)))
  done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  share_quiet
  sleep 0.2
  echo "$(psql_jantor -tA -c "SELECT sum(calls) $share_statements") $(($(share_commits) - commits0))" \
    "$backend_ns $(psql_jantor -tA -c "SELECT sum(calls) $share_statements $share_own") $jantor_ticks" \
    >"$work/share-$tag.cost"
  psql_jantor -tA -F' ' -c "SELECT calls, rows, query $share_statements ORDER BY calls DESC" \
    >"$work/statements-$tag.txt"
  grep -F "?$tag-" "$delay_log" | sed "s/.*?$tag-//" | sort | uniq -c |
    awk '{ n++; s += $1; if ($1 > 1) more++ } END { print n + 0, s + 0, more + 0 }' >"$work/share-$tag.once"
}
start_delay 50
for r in $(seq "$rounds"); do
  for way in "${share_ways[@]}"; do
    read -r key daemons c args <<<"$way"
    share_run "$key-$r" "$daemons" "$c" $args
  done
done
stop_delay
declare -A share_stmt share_own share_commit share_db_us share_jantor_us share_once
for way in "${share_ways[@]}"; do
  read -r key _ <<<"$way"
  for r in $(seq "$rounds"); do round_hits[$key-$r]=$(rate "$key-$r" "$delay_log"); done
  hits[$key]=$(for r in $(seq "$rounds"); do echo "${round_hits[$key-$r]}"; done | best)
  share_stmt[$key]=$(for r in $(seq "$rounds"); do
    awk -v n="$share_n" '{ printf "%.2f\n", $1 / n }' "$work/share-$key-$r.cost"; done | median)
  share_own[$key]=$(for r in $(seq "$rounds"); do
    awk -v n="$share_n" '{ printf "%.2f\n", $4 / n }' "$work/share-$key-$r.cost"; done | median)
  share_jantor_us[$key]=$(for r in $(seq "$rounds"); do
    awk -v n="$share_n" -v u="$clk_tck" '{ printf "%.0f\n", $5 / u / n * 1e6 }' "$work/share-$key-$r.cost"; done | least)
  share_commit[$key]=$(for r in $(seq "$rounds"); do
    awk -v n="$share_n" '{ printf "%.2f\n", $2 / n }' "$work/share-$key-$r.cost"; done | median)
  share_db_us[$key]=$(for r in $(seq "$rounds"); do
    awk -v n="$share_n" '{ printf "%.1f\n", $3 / n / 1000 }' "$work/share-$key-$r.cost"; done | least)
  # "exactly once" only when every round requested each entry once.
  share_once[$key]=$(cat "$work"/share-"$key"-*.once | awk -v n="$share_n" -v r="$rounds" '
    $1 == n && $2 == n && $3 == 0 { ok++ } { if ($3 > m) m = $3; if ($1 < low) low = $1 }
    NR == 1 { low = $1 }
    END { if (ok == r) print "yes, in all " r " rounds"; else printf "**no**: %d of %d rounds exact; fewest entries %d, up to %d requested more than once\n", ok, r, low, m }')
done
r_share_one=$(ratio "${hits[sht64]}" "${hits[shu64]}")
r_share_big=$(ratio "${hits[sht64]}" "${hits[shu192]}")
p_share_one=$(paired sht64 shu64 "")
p_share_big=$(paired sht64 shu192 "")

# The rows of the two sections above: a table of their own and rows of the
# figure table.
watch_tables() {
  echo "The metrics endpoint (-m): one cycle of jantor -c 8 over N = $metrics_n entries on SQLite against nginx, with -m and"
  echo "bench/scrape.c asking for /metrics every 100 ms, and without -m, taking turns in each of $metrics_rounds rounds;"
  echo "$metrics_scrapes scrapes a run were answered while its hits went on (replies up to $metrics_bytes bytes)."
  echo "At rest: nothing due, scraped once a second; processor time of the whole process over $idle_seconds s."
  echo
  echo "| way | hits a second | processor time at rest, scraped once a second | threads | bytes a scrape |"
  echo "|---|---:|---:|---:|---:|"
  echo "| jantor -c 8 -m | ${hits[mm]} | $idle_jantor% of a core | $idle_jantor_threads | $idle_jantor_bytes |"
  echo "| jantor -c 8 | ${hits[mn]} | | | |"
  echo "| prometheus-node-exporter $exporter_version (Debian, its own collectors) | | $idle_exporter% of a core | $idle_exporter_threads | $idle_exporter_bytes |"
  echo "| -m / without | $r_metrics (round by round $p_metrics) | | | |"
  echo
  echo "A shared table: N = $share_n due entries on PostgreSQL, host 127.0.0.2 (the delay server, 50 ms an answer); hits a"
  echo "second from the first to the last request of one run, best of $rounds; statements (pg_stat_statements: all, and"
  echo "jantor's own, without the SAVEPOINT and RELEASE that psqlODBC puts around each statement of a transaction) and"
  echo "commits (pg_stat_database.xact_commit) a hit, median of $rounds runs; processor time a hit, least of $rounds runs, of"
  echo "the database's backends that served the daemons' connections and of the daemons (every thread), start-up included."
  echo
  echo "| way | hits a second | limit | every entry requested exactly once | statements a hit (jantor's own) | commits a hit | database processor time a hit | jantor processor time a hit |"
  echo "|---|---:|---:|---|---:|---:|---:|---:|"
  local row key label limit
  for row in "shu64|one jantor -c 64|1280" "shs64|one jantor -c 64 -s 60|1280" \
    "sht64|three jantor -c 64 -s 60|3840" "shu192|one jantor -c 192|3840"; do
    IFS='|' read -r key label limit <<<"$row"
    echo "| $label | ${hits[$key]} | $limit | ${share_once[$key]} | ${share_stmt[$key]} (${share_own[$key]}) | ${share_commit[$key]} | ${share_db_us[$key]} µs | ${share_jantor_us[$key]} µs |"
  done
  echo
}
watch_figures() {
  echo "| jantor -c 8 -m, scraped every 100 ms, SQLite, N = $metrics_n, against without -m | at least 0.97 | $r_metrics (${hits[mm]} against ${hits[mn]} hits a second; round by round $p_metrics) | $(verdict "$r_metrics >= 0.97") |"
  echo "| processor time of jantor -m at rest, scraped once a second for $idle_seconds s | at most 0.5% of a core | jantor $idle_jantor%, prometheus-node-exporter $idle_exporter% | $(verdict "$idle_jantor <= 0.5") |"
  echo "| three jantor -s 60 -c 64, 50 ms server, N = $share_n, against one -c 64 | at least 2.5 | $r_share_one (${hits[sht64]} against ${hits[shu64]} hits a second; round by round $p_share_one) | $(verdict "$r_share_one >= 2.5") |"
  echo "| three jantor -s 60 -c 64, 50 ms server, N = $share_n, against one -c 192 | at least 0.8 | $r_share_big (against ${hits[shu192]} hits a second; round by round $p_share_big) | $(verdict "$r_share_big >= 0.8") |"
  echo "| every entry requested exactly once, each shared-table run | every run | three -s: ${share_once[sht64]}; one -s: ${share_once[shs64]} | $(verdict "\"${share_once[sht64]}${share_once[shs64]}${share_once[shu64]}${share_once[shu192]}\" !~ /no/") |"
  echo "| statements a hit, -c 64 with -s 60 against without | reported | ${share_stmt[shs64]} against ${share_stmt[shu64]}; jantor's own, without psqlODBC's savepoints, ${share_own[shs64]} against ${share_own[shu64]} (three daemons: ${share_stmt[sht64]}, own ${share_own[sht64]}) | |"
  echo "| commits a hit, -c 64 with -s 60 against without | reported | ${share_commit[shs64]} against ${share_commit[shu64]} (three daemons: ${share_commit[sht64]}) | |"
  echo "| database processor time a hit, -c 64 with -s 60 against without | reported | ${share_db_us[shs64]} µs against ${share_db_us[shu64]} µs (three daemons: ${share_db_us[sht64]} µs); jantor's own ${share_jantor_us[shs64]} µs against ${share_jantor_us[shu64]} µs (three: ${share_jantor_us[sht64]} µs) | |"
}
if [ "$only" = watch ]; then
  watch_tables
  echo "| figure | target | measured | met |"
  echo "|---|---|---|---|"
  watch_figures
  exit 0
fi

# ---- Speed: N due entries, every way ----------------------------------------------

# One curl process must not keep a connection for the next URL: every
# transfer below reports one new connection.
urls 20 check | sed 's/.*/url = "&"/' >"$work/check.cfg"
connects=$(curl "${curl_opts[@]}" -o /dev/null -w '%{num_connects}\n' -K "$work/check.cfg" |
  awk '{ s += $1 } END { print s }')
[ "$connects" = 20 ] || { echo "bench: curl reused connections ($connects for 20)" >&2; exit 1; }

hwm20000=0
for n in 200 2000 20000; do
  echo "N = $n ..." >&2
  race "$n" "$n"
  [ "$n" = 20000 ] && hwm20000=$(printf '%s\n' "${race_hwm[@]}" | best)
  [ "$n" = 200 ] && hwm200=${race_hwm[-1]}
  for way in js jc; do
    [ "$(span "$way$n-1" | cut -d' ' -f1)" = "$n" ] || { echo "bench: jantor ($way) missed hits at N=$n" >&2; exit 1; }
  done
  # One curl process per URL is slow: at most 2000 of them, and its rate
  # stands for the larger N.
  if [ "$n" -le 2000 ]; then
    run_curl_loop "$n" "cl$n"
    hits[cl$n]=$(rate "cl$n")
  else
    hits[cl$n]=${hits[cl2000]}
  fi
  # The driver's result set for the N = 20000 cycle, measured apart.
  if [ "$n" = 20000 ]; then
    fill_sqlite "$n" rs
    read -r resultset_kib _ < <(ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$build/odbc_resultset" \
      bench_sqlite "" "" "select id, i_user, i_pass, i_port, i_object, i_host, i_timeout, \
i_interval, i_next from schedule_2 where i_next < '$(stamp 0)' AND 0.5 >= i_start and 0.5 <= i_stop")
  fi
done

# ---- Placement: the same N = 2000 with every process held to one processor ------

# Left to the scheduler, the client and nginx sometimes share a processor and
# sometimes not, and that decides more than anything the client does: a
# client that blocks hands the processor straight to nginx when they share
# one, and waits for another processor to wake when they do not. Held to
# each placement in turn, every way shows both of its speeds.
placements=()
if [ "$(nproc)" -ge 2 ]; then
  echo "Placement ..." >&2
  nginx_master=$(cat "$work/nginx/nginx.pid")
  nginx_pids="$nginx_master $(pgrep -P "$nginx_master" | tr '\n' ' ')"
  for pid in $nginx_pids; do taskset -pc 0 "$pid" >/dev/null; done
  for cpu in 0 1; do
    pin=(taskset -c "$cpu")
    race 2000 "cpu$cpu"
    placements+=("$cpu")
  done
  pin=()
  for pid in $nginx_pids; do taskset -pc "0-$(($(nproc) - 1))" "$pid" >/dev/null; done
fi

echo "PostgreSQL ..." >&2
for n in 200 2000 20000; do
  for r in $(seq "$rounds"); do
    fill_pg "$n" "jp$n-$r"
    run_jantor bench_pg "jp$n-$r" -u jantor -p "$pg_password" >/dev/null
  done
  hits[jp$n]=$(for r in $(seq "$rounds"); do rate "jp$n-$r"; done | best)
done

# ---- Table size: 100 000 rows with 1000 due against 1000 rows all due -------------

echo "Table size ..." >&2
big_ms=() small_ms=()
for r in $(seq "$rounds"); do
  fill_sqlite 1000 "t1k-$r" 0 /index.html "$(stamp 3 seconds)"
  read -r ms _ < <(run_jantor_second bench_sqlite "t1k-$r" 1000)
  small_ms+=("$ms")
  fill_sqlite 1000 "t100k-$r" 99000 /index.html "$(stamp 3 seconds)"
  read -r ms _ < <(run_jantor_second bench_sqlite "t100k-$r" 1000)
  big_ms+=("$ms")
done
small=$(printf '%s\n' "${small_ms[@]}" | sort -n | head -n1)
big=$(printf '%s\n' "${big_ms[@]}" | sort -n | head -n1)

# ---- Start-up: a table of 1 000 000 rows, none due ---------------------------------

# The table checks at start-up must not read the table: time and peak memory
# up to the end of the first cycle, against a table far larger than any
# cycle's share of it.
echo "Start-up ..." >&2
fill_sqlite 1 s1m 999999 /index.html "$(stamp 1440)"
startup_ms=() startup_hwm=()
for r in $(seq "$rounds"); do
  read -r ms hwm < <(run_jantor_startup bench_sqlite "s1m-$r")
  startup_ms+=("$ms")
  startup_hwm+=("$hwm")
done
startup=$(printf '%s\n' "${startup_ms[@]}" | sort -n | head -n1)
hwm_startup=$(printf '%s\n' "${startup_hwm[@]}" | best)

# ---- Memory: one hit with a 4 MiB reply --------------------------------------------

echo "Memory ..." >&2
fill_sqlite 20000 cycle20000 0 /index.html "$(stamp 3 seconds)"
read -r _ hwm_cycle20000 < <(run_jantor_second bench_sqlite cycle20000 20000)
fill_sqlite 20000 cycle20000c256 0 /index.html "$(stamp 3 seconds)"
read -r _ hwm_cycle20000c256 < <(run_jantor_second bench_sqlite cycle20000c256 20000 -c 256)
fill_sqlite 1 big 0 /big.txt
read -r _ hwm_big < <(run_jantor bench_sqlite big)
reply_bytes=$(stat -c %s "$work/nginx/www/big.txt")

# ---- Processor time while a hit waits 3 s for a slow server -------------------------

echo "Slow server ..." >&2
slow() { # the client command goes in "$@"; prints "cpu_ns wall_ns"
  rm -f "$work/client.pid" "$work/slow.out"
  "$build/slow_server" 127.0.0.2 0 3000 "$work/client.pid" >"$work/slow.out" &
  local server=$!
  for _ in $(seq 100); do [ -s "$work/slow.out" ] && break; sleep 0.02; done
  slow_port=$(head -n1 "$work/slow.out")
  "$@"
  wait "$server"
  tail -n1 "$work/slow.out"
}
slow_jantor() {
  sqlite3 "$db" "DELETE FROM schedule_2; INSERT INTO schedule_2 (id, i_port, i_object, i_host,
    i_timeout, i_interval, i_next, i_start, i_stop)
    VALUES (1, $slow_port, '/slow', '127.0.0.2', 30, 86400, '$(stamp -1)', 0, 1);"
  run_jantor bench_sqlite slow >/dev/null
}
slow_curl() {
  curl "${curl_opts[@]}" "http://127.0.0.2:$slow_port/slow" >"$work/curl-slow.out" &
  echo $! >"$work/client.pid"
  wait $!
}
# The server must know its port before the table can name it.
slow_cpu() { awk '{ printf "%.3f\n", 100 * $1 / $2 }'; }
jantor_slow=$(slow slow_jantor | slow_cpu)
curl_slow=$(slow slow_curl | slow_cpu)

# ---- Speed against a server that answers each request 50 ms late -------------------

# When every answer takes 50 ms, hits one after the other make 20 a second
# whatever the client, and only hits in flight together go faster. The
# server (bench/delay_server.c) takes port 80 of 127.0.0.2, the port jantor
# tries first, and logs each request's arrival; the rates are timed from the
# first to the last request of a run, as with nginx. The sequential ways run
# over fewer URLs: 2000 would take 100 s each.
delay_seq=200 delay_n=2000

# The delay ways: jantor -c C over N entries on 127.0.0.2 ...
delay_jantor() { # n tag c
  fill_sqlite "$1" "$2" 0 /index.html "$(stamp -1)" 127.0.0.2
  run_jantor bench_sqlite "$2" -c "$3" >/dev/null
}
# ... one curl process over the URLs, one after the other or at most P at once ...
delay_curl() { # n tag [p]
  urls "$1" "$2" 127.0.0.2 | sed 's/.*/url = "&"/' >"$work/curl-$2.cfg"
  local parallel=()
  [ -n "${3:-}" ] && parallel=(--parallel --parallel-max "$3")
  curl "${curl_opts[@]}" "${parallel[@]}" -K "$work/curl-$2.cfg" >"$work/curl-$2.out" 2>"$work/curl-$2.err"
}
# ... and xargs starting one curl per URL, P at once.
delay_xargs() { # n tag p
  urls "$1" "$2" 127.0.0.2 >"$work/xargs-$2.urls"
  xargs -P "$3" -n 1 curl "${curl_opts[@]}" -o /dev/null <"$work/xargs-$2.urls"
}
# "key N command [argument]": the command runs with N, the run's tag and
# the argument. Each way's best rate is kept as hits[<key>], and every run
# must have made all N requests.
delay_ways=(
  "dj1 $delay_seq delay_jantor 1"
  "dcs $delay_seq delay_curl"
  "dj8 $delay_n delay_jantor 8"
  "dj64 $delay_n delay_jantor 64"
  "dj256 $delay_n delay_jantor 256"
  "dcp64 $delay_n delay_curl 64"
  "dcp256 $delay_n delay_curl 256"
  "dx64 $delay_n delay_xargs 64"
)
echo "Delay server ..." >&2
start_delay 50
declare -A delay_nof
for r in $(seq "$rounds"); do
  for way in "${delay_ways[@]}"; do
    read -r key n cmd arg <<<"$way"
    "$cmd" "$n" "$key-$r" $arg
    got=$(delay_count "$key-$r")
    [ "$got" = "$n" ] || { echo "bench: $key made $got of $n requests to the delay server" >&2; exit 1; }
    delay_nof[$key]=$n
  done
done
for way in "${delay_ways[@]}"; do
  read -r key _ <<<"$way"
  hits[$key]=$(for r in $(seq "$rounds"); do rate "$key-$r" "$delay_log"; done | best)
done
stop_delay

# ---- Processor time while 256 hits wait on a server that never answers -------------

# The same server, now silent: it accepts, reads each request and never
# answers. Once all 256 requests have arrived, the client's run time (every
# thread, from /proc/PID/task/*/schedstat) is read at the start and end of a
# 10 s window, and must not have moved much: a waiting hit should sleep.
silent_seconds=10
silent_cpu() { # pid tag n; prints the percent of one processor
  local pid=$1 tag=$2 n=$3 c0 c1 t0 t1
  for _ in $(seq 1500); do [ "$(delay_count "$tag")" -ge "$n" ] && break; sleep 0.02; done
  [ "$(delay_count "$tag")" = "$n" ] || { echo "bench: only $(delay_count "$tag") of $n requests reached the silent server" >&2; exit 1; }
  sleep 0.5
  c0=$(task_ns "$pid") t0=$(date +%s%N)
  sleep "$silent_seconds"
  c1=$(task_ns "$pid") t1=$(date +%s%N)
  kill -0 "$pid" 2>/dev/null || { echo "bench: the client ended while it should wait" >&2; exit 1; }
  awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN { printf "%.3f\n", 100 * c / t }'
}
echo "Silent server ..." >&2
start_delay -1
fill_sqlite 256 silentj 0 /index.html "$(stamp -1)" 127.0.0.2
ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d bench_sqlite -i 3600 -c 256 \
  >"$work/jantor-silent.out" 2>"$work/jantor-silent.err" &
silent_client=$!
jantor_silent=$(silent_cpu "$silent_client" silentj 256)
kill "$silent_client"; wait "$silent_client" 2>/dev/null || true
urls 256 silentc 127.0.0.2 | sed 's/.*/url = "&"/' >"$work/curl-silent.cfg"
curl "${curl_opts[@]}" --parallel --parallel-max 256 -K "$work/curl-silent.cfg" \
  >"$work/curl-silent.out" 2>"$work/curl-silent.err" &
silent_client=$!
curl_silent=$(silent_cpu "$silent_client" silentc 256)
kill "$silent_client"; wait "$silent_client" 2>/dev/null || true
silent_client=""
stop_delay

# ---- TLS: https:// entries against nginx on loopback ------------------------------

# tests/support/nginx_tls.sh serves TLS on a free loopback port with a
# certificate for 127.0.0.1 from a CA of its own, which jantor trusts through
# SSL_CERT_FILE and curl through --cacert. Every hit and every URL is a new
# connection with a handshake of its own. Both clients keep the session
# ticket a server gave them and resume that session in the next handshake
# with it, which then carries no certificate to check or sign; curl also
# runs with --no-sessionid, which makes every one of its handshakes a full
# one. The rates are timed from the first to the last request in
# that nginx's access log, as above. Processor time (user and system, every
# thread) is the client's whole process with its start-up, from /proc for
# jantor and from the shell's time for curl, and nginx's worker's over the
# run, from /proc; the least of the rounds counts.
echo "TLS ..." >&2
tls_dir=$work/nginx_tls
tests/support/nginx_tls.sh start "$tls_dir" >/dev/null
tls_log=$tls_dir/access.log tls_ca=$tls_dir/ca.pem tls_n=2000
tls_host=https://127.0.0.1:$(cat "$tls_dir/port_valid")
tls_worker=$(pgrep -P "$(cat "$tls_dir/nginx.pid")")
tls_curl_opts=("${curl_opts[@]}" --cacert "$tls_ca")
tls_config() { # n tag; one curl config line a URL
  local i
  for i in $(seq "$1"); do echo "url = \"$tls_host/index.html?$2-$i\""; done
}

# Each curl transfer opens a connection of its own here too; and how many
# handshakes resumed a session, as curl tells in its verbose output.
tls_config 20 tlscheck | sed 's|$|\noutput = "/dev/null"|' >"$work/tls-check.cfg"
connects=$(curl "${tls_curl_opts[@]}" -w '%{num_connects}\n' -K "$work/tls-check.cfg" |
  awk '{ s += $1 } END { print s }')
[ "$connects" = 20 ] || { echo "bench: curl reused TLS connections ($connects for 20)" >&2; exit 1; }
tls_resumed=$(curl -v "${tls_curl_opts[@]}" -K "$work/tls-check.cfg" 2>&1 | grep -c 're-using session' || true)
tls_resumed_off=$(curl -v --no-sessionid "${tls_curl_opts[@]}" -K "$work/tls-check.cfg" 2>&1 |
  grep -c 're-using session' || true)

# One cycle of jantor over n https:// entries, which must all be hit; writes
# "client-seconds nginx-seconds" to tls-<tag>.cpu.
tls_jantor() { # n tag [jantor arguments]
  local n=$1 tag=$2 got before
  shift 2
  fill_sqlite "$n" "$tag" 0 /index.html "$(stamp -1)" "$tls_host"
  before=$(ticks "$tls_worker")
  SSL_CERT_FILE=$tls_ca run_jantor bench_sqlite "$tag" "$@" >/dev/null
  echo "$(cat "$work/jantor-$tag.cpu") $(($(ticks "$tls_worker") - before))" |
    awk -v u="$clk_tck" '{ print $1 / u, $2 / u }' >"$work/tls-$tag.cpu"
  got=$(span "$tag" "$tls_log" | cut -d' ' -f1)
  [ "$got" = "$n" ] || { echo "bench: jantor $* made $got of $n TLS hits" >&2; exit 1; }
}
# One curl process over n URLs, with the same tls-<tag>.cpu.
tls_curl() { # n tag [curl arguments]
  local n=$1 tag=$2 before TIMEFORMAT='%3U %3S'
  shift 2
  tls_config "$n" "$tag" >"$work/curl-$tag.cfg"
  before=$(ticks "$tls_worker")
  { time curl "${tls_curl_opts[@]}" "$@" -K "$work/curl-$tag.cfg" >"$work/curl-$tag.out" \
      2>"$work/curl-$tag.err"; } 2>"$work/curl-$tag.time"
  echo "$(cat "$work/curl-$tag.time") $(($(ticks "$tls_worker") - before))" |
    awk -v u="$clk_tck" '{ print $1 + $2, $3 / u }' >"$work/tls-$tag.cpu"
  [ "$(span "$tag" "$tls_log" | cut -d' ' -f1)" = "$n" ] || { echo "bench: curl $* missed TLS URLs" >&2; exit 1; }
}
# The least processor time a hit (µs) of a way's rounds: column 1 the
# client's, 2 nginx's.
tls_cpu() { # way column
  local r
  for r in $(seq "$rounds"); do
    awk -v c="$2" -v n="$tls_n" '{ printf "%.0f\n", $c / n * 1e6 }' "$work/tls-$1-$r.cpu"
  done | sort -n | head -n1
}
declare -A tls_us tls_srv_us
for r in $(seq "$rounds"); do
  tls_jantor "$tls_n" "tjs-$r" -c 1
  tls_jantor "$tls_n" "tjc-$r" -c 8
  tls_curl "$tls_n" "tcs-$r"
  tls_curl "$tls_n" "tcn-$r" --no-sessionid
done
for way in tjs tjc tcs tcn; do
  hits[$way]=$(for r in $(seq "$rounds"); do rate "$way-$r" "$tls_log"; done | best)
  tls_us[$way]=$(tls_cpu "$way" 1)
  tls_srv_us[$way]=$(tls_cpu "$way" 2)
done
# jantor -c 1 over plain HTTP, from the N = 2000 race above, for comparison.
tls_us[js]=$(for r in $(seq "$rounds"); do
  awk -v u="$clk_tck" '{ printf "%.0f\n", $1 / u / 2000 * 1e6 }' "$work/jantor-js2000-$r.cpu"
done | sort -n | head -n1)

# Peak resident size of an N = 20000 cycle over TLS, counted from the end of
# start-up; OpenSSL is loaded with the cycle's first session, so it counts.
# run_jantor_second counts the cycle's requests in $log, here the TLS log.
fill_sqlite 20000 tlscycle 0 /index.html "$(stamp 3 seconds)" "$tls_host"
read -r _ hwm_tls < <(log=$tls_log SSL_CERT_FILE=$tls_ca run_jantor_second bench_sqlite tlscycle 20000)
fill_sqlite 20000 tlscyclec256 0 /index.html "$(stamp 3 seconds)" "$tls_host"
read -r _ hwm_tls_c256 < <(log=$tls_log SSL_CERT_FILE=$tls_ca \
  run_jantor_second bench_sqlite tlscyclec256 20000 -c 256)
tests/support/nginx_tls.sh stop "$tls_dir" >/dev/null

# ---- Results -----------------------------------------------------------------------

r_plain=$(ratio "${hits[js2000]}" "${hits[pl2000]}")
r_curl=$(ratio "${hits[js2000]}" "${hits[c12000]}")
r_loop=$(ratio "${hits[js2000]}" "${hits[cl2000]}")
r_c8=$(ratio "${hits[jc2000]}" "${hits[pl2000]}")

p_curl=$(paired js c1 2000)
p_c8=$(paired jc pl 2000)
r_size=$(ratio "$big" "$small")
r_tls=$(ratio "${hits[tjs]}" "${hits[tcs]}")
r_tls_full=$(ratio "${hits[tjs]}" "${hits[tcn]}")
big_limit_kib=$((3 * reply_bytes / 1024 + 8 * 1024))

# The delay server's ways: "key label in-flight"; the limit of a way is the
# hits it keeps in flight over the 50 ms each one takes.
delay_rows=(
  "dj1|jantor -c 1|1"
  "dcs|one curl process, one URL after the other|1"
  "dj8|jantor -c 8|8"
  "dj64|jantor -c 64|64"
  "dj256|jantor -c 256|256"
  "dcp64|one curl process, --parallel --parallel-max 64|64"
  "dcp256|one curl process, --parallel --parallel-max 256|256"
  "dx64|xargs -P 64 -n 1 curl (one curl per URL)|64"
)
delay_target() { # key; prints "target|met" for the ways that have one
  case $1 in
    dj64) echo "at least 1024 hits a second and at least curl --parallel-max 64 (${hits[dcp64]})|$(verdict "${hits[dj64]} >= 1024 && ${hits[dj64]} >= ${hits[dcp64]}")" ;;
    dj256) echo "at least 3000 hits a second and at least curl --parallel-max 256 (${hits[dcp256]})|$(verdict "${hits[dj256]} >= 3000 && ${hits[dj256]} >= ${hits[dcp256]}")" ;;
    *) echo "|" ;;
  esac
}

{
  echo "# jantor benchmark"
  echo
  echo "$(date '+%Y-%m-%d %H:%M') on $(nproc) processors ($(uname -r)); nginx on 127.0.0.1:80, SQLite in WAL mode,"
  echo "PostgreSQL $(psql_jantor -tA -c 'SHOW server_version' | cut -d' ' -f1) on loopback; best of $rounds runs each."
  echo "Hits a second from the first to the last request of one run (nginx's \$msec); jantor runs one poll cycle with standard output to a file."
  echo "jantor -c 1 is jantor as without -c: one hit after the other."
  took=$(($(date +%s) - run_start))
  echo "The run took $((took / 60)) min $((took % 60)) s; load average (1 minute) $load_start when it began, $(cut -d' ' -f1 /proc/loadavg) at its end."
  echo
  echo "| way | N = 200 | N = 2000 | N = 20000 |"
  echo "|---|---:|---:|---:|"
  echo "| jantor -c 1, SQLite | ${hits[js200]} | ${hits[js2000]} | ${hits[js20000]} |"
  echo "| jantor -c 8, SQLite | ${hits[jc200]} | ${hits[jc2000]} | ${hits[jc20000]} |"
  echo "| jantor, PostgreSQL | ${hits[jp200]} | ${hits[jp2000]} | ${hits[jp20000]} |"
  echo "| plain C loop (connect, send, read to close, close) | ${hits[pl200]} | ${hits[pl2000]} | ${hits[pl20000]} |"
  echo "| one curl process, HTTP/1.0, a connection per URL | ${hits[c1200]} | ${hits[c12000]} | ${hits[c120000]} |"
  echo "| shell loop, one curl per URL | ${hits[cl200]} | ${hits[cl2000]} | ${hits[cl20000]} (the 2000-URL run) |"
  echo "| jantor -c 1 SQLite / plain loop | $(ratio "${hits[js200]}" "${hits[pl200]}") | $r_plain | $(ratio "${hits[js20000]}" "${hits[pl20000]}") |"
  echo "| jantor -c 1 SQLite / one curl | $(ratio "${hits[js200]}" "${hits[c1200]}") | $r_curl | $(ratio "${hits[js20000]}" "${hits[c120000]}") |"
  echo "| jantor -c 1 SQLite / curl per URL | $(ratio "${hits[js200]}" "${hits[cl200]}") | $r_loop | $(ratio "${hits[js20000]}" "${hits[cl20000]}") |"
  echo "| jantor -c 8 SQLite / plain loop | $(ratio "${hits[jc200]}" "${hits[pl200]}") | $r_c8 | $(ratio "${hits[jc20000]}" "${hits[pl20000]}") |"
  echo "| jantor -c 1 SQLite / one curl, round by round (median) | $(paired js c1 200) | $p_curl | $(paired js c1 20000) |"
  echo "| jantor -c 8 SQLite / plain loop, round by round (median) | $(paired jc pl 200) | $p_c8 | $(paired jc pl 20000) |"
  if [ "${#placements[@]}" -gt 0 ]; then
    echo
    echo "N = 2000 again, nginx held to processor 0 and the client to the processor named:"
    echo
    echo "| client on | jantor -c 1 | jantor -c 8 | plain C loop | one curl | -c 1 / plain loop | -c 1 / one curl | -c 8 / plain loop |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    for cpu in "${placements[@]}"; do
      where="processor $cpu, apart from nginx"
      [ "$cpu" = 0 ] && where="processor 0, with nginx"
      echo "| $where | ${hits[jscpu$cpu]} | ${hits[jccpu$cpu]} | ${hits[plcpu$cpu]} | ${hits[c1cpu$cpu]} | $(ratio "${hits[jscpu$cpu]}" "${hits[plcpu$cpu]}") | $(ratio "${hits[jscpu$cpu]}" "${hits[c1cpu$cpu]}") | $(ratio "${hits[jccpu$cpu]}" "${hits[plcpu$cpu]}") |"
    done
  fi
  echo
  echo "A server that answers every request 50 ms after it arrived (bench/delay_server.c on 127.0.0.2:80),"
  echo "hits a second from the first to the last request of one run (the server's log). The ways that make"
  echo "one hit after the other run over N = $delay_seq URLs (2000 would take 100 s each), the others over N = $delay_n;"
  echo "the limit is the hits in flight over 50 ms."
  echo
  echo "| way | N | hits a second | limit | target | met |"
  echo "|---|---:|---:|---:|---|---|"
  for row in "${delay_rows[@]}"; do
    IFS='|' read -r key label flight <<<"$row"
    IFS='|' read -r target met < <(delay_target "$key")
    echo "| $label | ${delay_nof[$key]} | ${hits[$key]} | $((flight * 20)) | $target | $met |"
  done
  echo
  echo "TLS: nginx on 127.0.0.1 with a certificate from a private CA (tests/support/nginx_tls.sh), N = $tls_n https:// entries"
  echo "or URLs, a new connection and a handshake for each; hits a second from the first to the last request of one run"
  echo "(that nginx's \$msec), best of $rounds runs; processor time a hit (user and system, every thread: the client's whole"
  echo "process with its start-up, and nginx's worker), least of $rounds runs. Of 19 handshakes after the first, curl"
  echo "resumed the session in $tls_resumed as it is, and in $tls_resumed_off with --no-sessionid; jantor resumes every session it can."
  echo
  echo "| way | hits a second | client processor time a hit | nginx processor time a hit |"
  echo "|---|---:|---:|---:|"
  echo "| jantor -c 1 | ${hits[tjs]} | ${tls_us[tjs]} µs | ${tls_srv_us[tjs]} µs |"
  echo "| jantor -c 8 | ${hits[tjc]} | ${tls_us[tjc]} µs | ${tls_srv_us[tjc]} µs |"
  echo "| one curl process, HTTP/1.0, a connection per URL, resuming sessions (as it is) | ${hits[tcs]} | ${tls_us[tcs]} µs | ${tls_srv_us[tcs]} µs |"
  echo "| one curl process, HTTP/1.0, a connection per URL, --no-sessionid | ${hits[tcn]} | ${tls_us[tcn]} µs | ${tls_srv_us[tcn]} µs |"
  echo "| jantor -c 1 over plain HTTP (the N = 2000 run above) | ${hits[js2000]} | ${tls_us[js]} µs | |"
  echo "| jantor -c 1 / one curl | $r_tls | | |"
  echo "| jantor -c 1 / one curl --no-sessionid | $r_tls_full | | |"
  echo "| jantor -c 8 / one curl | $(ratio "${hits[tjc]}" "${hits[tcs]}") | | |"
  echo
  watch_tables
  echo "| figure | target | measured | met |"
  echo "|---|---|---|---|"
  echo "| jantor -c 1, SQLite, N = 2000, against the plain loop | at least 0.5 | $r_plain | $(verdict "$r_plain >= 0.5") |"
  echo "| jantor -c 1, SQLite, N = 2000, against one curl | at least 1 | $r_curl (round by round $p_curl) | $(verdict "$r_curl >= 1") |"
  echo "| jantor -c 1, SQLite, N = 2000, against curl per URL | at least 25 | $r_loop | $(verdict "$r_loop >= 25") |"
  echo "| jantor -c 8, SQLite, N = 2000, against the plain loop | at least 1.5 | $r_c8 (${hits[jc2000]} against ${hits[pl2000]} hits a second; round by round $p_c8) | $(verdict "$r_c8 >= 1.5") |"
  echo "| jantor -c 64, 50 ms server, N = $delay_n | $(delay_target dj64 | cut -d'|' -f1) | ${hits[dj64]} | $(delay_target dj64 | cut -d'|' -f2) |"
  echo "| jantor -c 256, 50 ms server, N = $delay_n | $(delay_target dj256 | cut -d'|' -f1) | ${hits[dj256]} | $(delay_target dj256 | cut -d'|' -f2) |"
  echo "| processor time while one hit waits 3 s | at most 1% of a core | jantor $jantor_slow%, curl $curl_slow% | $(verdict "$jantor_slow <= 1") |"
  echo "| processor time while 256 hits wait $silent_seconds s on a silent server, jantor -c 256 | at most 2% of a core | jantor $jantor_silent%, curl --parallel-max 256 $curl_silent% | $(verdict "$jantor_silent <= 2") |"
  echo "| peak resident memory, N = 20000 cycle | at most 16 MiB | $(mib "$hwm_cycle20000") MiB, of which the driver's result set $(mib "$resultset_kib") MiB; whole process with start-up $(mib "$hwm20000") MiB (N = 200: $(mib "$hwm200") MiB) | $(verdict "$hwm_cycle20000 <= 16384") |"
  echo "| peak resident memory, N = 20000 cycle, jantor -c 256 | at most 24 MiB | $(mib "$hwm_cycle20000c256") MiB | $(verdict "$hwm_cycle20000c256 <= 24576") |"
  echo "| peak resident memory, one 4 MiB reply | at most 3 x reply + 8 MiB = $(mib "$big_limit_kib") MiB | $(mib "$hwm_big") MiB | $(verdict "$hwm_big <= $big_limit_kib") |"
  echo "| jantor -c 1, TLS, N = $tls_n, against one curl (resuming sessions) | at least 1 | $r_tls (${hits[tjs]} against ${hits[tcs]} hits a second; against curl --no-sessionid $r_tls_full) | $(verdict "$r_tls >= 1") |"
  echo "| peak resident memory, N = 20000 cycle over TLS | at most 24 MiB | $(mib "$hwm_tls") MiB | $(verdict "$hwm_tls <= 24576") |"
  echo "| peak resident memory, N = 20000 cycle over TLS, jantor -c 256 | reported | $(mib "$hwm_tls_c256") MiB | |"
  echo "| cycle, 100 000 rows with 1000 due, against 1000 rows all due | at most 1.5 | $r_size ($big ms against $small ms) | $(verdict "$r_size <= 1.5") |"
  echo "| start-up against 1 000 000 rows, none due | peak resident memory at most 16 MiB | $(mib "$hwm_startup") MiB; first cycle over $startup ms after the start | $(verdict "$hwm_startup <= 16384") |"
  watch_figures
} >"$results/results.md"

{
  echo "# way N=200 N=2000 N=20000"
  echo "\"jantor -c 1 SQLite\" ${hits[js200]} ${hits[js2000]} ${hits[js20000]}"
  echo "\"jantor -c 8 SQLite\" ${hits[jc200]} ${hits[jc2000]} ${hits[jc20000]}"
  echo "\"jantor PostgreSQL\" ${hits[jp200]} ${hits[jp2000]} ${hits[jp20000]}"
  echo "\"plain C loop\" ${hits[pl200]} ${hits[pl2000]} ${hits[pl20000]}"
  echo "\"one curl\" ${hits[c1200]} ${hits[c12000]} ${hits[c120000]}"
  echo "\"curl per URL\" ${hits[cl200]} ${hits[cl2000]} ${hits[cl20000]}"
} >"$results/hits.dat"

{
  echo "# way hits-a-second limit"
  echo "\"jantor -c 1\" ${hits[dj1]} 20"
  echo "\"curl, sequential\" ${hits[dcs]} 20"
  echo "\"jantor -c 8\" ${hits[dj8]} 160"
  echo "\"jantor -c 64\" ${hits[dj64]} 1280"
  echo "\"curl --parallel-max 64\" ${hits[dcp64]} 1280"
  echo "\"xargs -P 64 curl\" ${hits[dx64]} 1280"
  echo "\"jantor -c 256\" ${hits[dj256]} 5120"
  echo "\"curl --parallel-max 256\" ${hits[dcp256]} 5120"
} >"$results/delay.dat"

gnuplot <<GP
set terminal pngcairo size 900,1100 noenhanced
set output "$results/chart.png"
set multiplot layout 2,1
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set grid ytics
set key below
set xtics rotate by -20
set lmargin 10
set rmargin 12
set title "nginx on loopback: hits a second, one connection per request (higher is better)"
set yrange [10:*]
plot "$results/hits.dat" using 2:xtic(1) title "N = 200", '' using 3 title "N = 2000", '' using 4 title "N = 20000"
set title "Server answering each request 50 ms late: hits a second, N = $delay_n ($delay_seq for the first two)"
set yrange [10:10000]
plot "$results/delay.dat" using 2:xtic(1) title "measured", \
     '' using 3 title "limit: hits in flight / 50 ms" fillstyle pattern 4
unset multiplot
GP

# The sections that also run alone, each writing a table of its own: the
# cost of result rows (-l), jantor at a million rows and entries' own web
# calls. They start their own servers, on free ports and on addresses where
# nothing listens.
if [ -z "$only" ]; then
  JANTOR=$jantor bench/results_cost.sh >"$work/results_cost.out" &&
    { echo "## The cost of result rows (-l)"; echo; grep '^|' "$work/results_cost.out"; } \
      >"$results/results_cost.md"
  BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/scale.sh >"$work/scale.out"
  JANTOR=$jantor BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/webcalls.sh >"$work/webcalls.out" || rm -f "$results/webcalls.md"
  JANTOR=$jantor BENCH_BUILD=${BENCH_BUILD:-build-bench} bench/calendar.sh >"$work/calendar.out" || rm -f "$results/calendar.md"
  for part in results_cost scale webcalls calendar; do
    [ -f "$results/$part.md" ] && { echo; cat "$results/$part.md"; } >>"$results/results.md"
  done
fi

cat "$results/results.md"
