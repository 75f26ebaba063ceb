# shellcheck shell=bash disable=SC2034,SC2154  # root and section come from run.sh; the rest are for the sections
# The helpers that every section of bench/run.sh uses: the build, the
# servers (nginx on port 80, a private PostgreSQL, the delay server), the
# data sources and table fills, the runners of jantor and curl, and the
# rates read from a server's log. Sourced by bench/run.sh, which sets root,
# and then by each section in a subshell of its own. A section records its
# figures with record (bench/cycle_lib.sh) into $figures/<section>.tsv.

# shellcheck source=bench/cycle_lib.sh
source "$root/bench/cycle_lib.sh"

build=$root/${BENCH_BUILD:-build-bench}
rounds=${BENCH_ROUNDS:-5}
jantor=$build/jantor
work=$build/bench-work
figures=$work/figures
results=$root/bench/results
log=$work/nginx/access.log
odbc=$work/odbc
db=$work/schedule.db
delay_log=$work/delay.log
delay_program=$build/delay_server
curl_opts=(-s --http1.0 -H 'Connection: close')
pin=()  # a command that holds a client to a processor, when one is wanted

# ---- Build and servers ------------------------------------------------------------

bench_build() {
  cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
  cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
  local tool
  for tool in plain_loop slow_server delay_server scrape; do
    cc -O2 -Wall -Wextra -o "$build/$tool" "bench/$tool.c"
  done
  cc -O2 -Wall -Wextra -o "$build/odbc_resultset" bench/odbc_resultset.c -lodbc
}

# jantor connects to the "http" port first, so nginx must own port 80 for
# the hits to reach it; the delay server takes port 80 of 127.0.0.2 later.
bench_servers_start() {
  local address
  for address in 127.0.0.1 127.0.0.2; do
    if (exec 3<>/dev/tcp/$address/80) 2>/dev/null; then
      echo "bench: something already listens on $address:80; stop it and run again" >&2
      exit 1
    fi
  done
  # 64 more addresses are 64 more hosts to jantor, for the host cap's
  # section: 127.0.1.1 to 127.0.1.64.
  NGINX_PORT=80 NGINX_MORE_ADDRESSES="$(seq -f '127.0.1.%g' 64 | tr '\n' ' ')" \
    tests/support/nginx.sh start "$work/nginx" >/dev/null
  head -c $((4 * 1024 * 1024)) /dev/zero | tr '\0' 'x' >"$work/nginx/www/big.txt"
  # pg_stat_statements counts the statements of the shared-table runs; it
  # is loaded for the whole server but counts only in the database jshare
  # that those runs use, so the other runs pay no more than its hooks.
  PG_SERVER_OPTIONS="-c shared_preload_libraries=pg_stat_statements -c pg_stat_statements.track=none" \
    tests/support/pg.sh start "$work/pg" >/dev/null
  psql_jantor -f schema/postgres.sql >/dev/null
  psql_jantor -c 'CREATE EXTENSION pg_stat_statements' -c 'CREATE DATABASE jshare' \
    -c 'ALTER DATABASE jshare SET pg_stat_statements.track = top' >/dev/null
  psql_share -f schema/postgres.sql >/dev/null
  # The settings of the shipped SQLite example (dist/odbc-sqlite.ini): WAL,
  # and commits that do not wait for the disk.
  scripts/odbc-dsn.sh "$odbc" bench_sqlite sqlite "$db" JournalMode=WAL SyncPragma=NORMAL
  scripts/odbc-dsn.sh "$odbc" bench_pg postgres 127.0.0.1 "$(cat "$work/pg/port")" jantor
  scripts/odbc-dsn.sh "$odbc" bench_pgs postgres 127.0.0.1 "$(cat "$work/pg/port")" jshare
  sqlite3 "$db" <schema/sqlite.sql
  sqlite3 "$db" 'PRAGMA journal_mode=WAL;' >/dev/null
}

bench_servers_stop() {
  tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true
  tests/support/pg.sh stop "$work/pg" >/dev/null 2>&1 || true
}

pg_password() { cat "$work/pg/password"; }
psql_jantor() { PGPASSWORD=$(pg_password) psql -q -X -h 127.0.0.1 -p "$(cat "$work/pg/port")" -U jantor -d jantor "$@"; }
psql_share() { PGPASSWORD=$(pg_password) psql -q -X -h 127.0.0.1 -p "$(cat "$work/pg/port")" -U jantor -d jshare "$@"; }

# What a section started and must stop, even when it fails: run.sh calls
# this when the section's subshell exits.
delay_pid="" silent_client=""
watch_pids=()  # scrapers, node exporter and daemons
section_cleanup() {
  local pid
  for pid in "${watch_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$silent_client" ]; then kill "$silent_client" 2>/dev/null || true; fi
  if [ -n "$delay_pid" ]; then kill "$delay_pid" 2>/dev/null || true; fi
  tests/support/nginx_tls.sh stop "$work/nginx_tls" >/dev/null 2>&1 || true
}

# ---- Tables ---------------------------------------------------------------------

# stamp and fill_schedule are bench/cycle_lib.sh's.

# Fills the schedule table with N entries for tag that are due (at DUE, a
# minute ago unless given) and FUTURE more that are not, spread between them
# (every (N+FUTURE)/N-th is due), on HOST (127.0.0.1 unless given). No entry
# has credentials.
fill_sqlite() {
  local n=$1 tag=$2 future=${3:-0} object=${4:-/index.html} due=${5:-$(stamp -1)}
  local host=${6:-127.0.0.1}
  local step=$(((n + future) / n))
  fill_schedule "$db" $((n + future)) "$tag" "$host" "$object" \
    "CASE WHEN i % $step = 0 AND i / $step <= $n THEN '$due' ELSE '$(stamp 1440)' END"
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

# ---- Rates from a server's log -----------------------------------------------------

# span and rate (a run's requests in a server's log) are bench/cycle_lib.sh's.

# Records the rate of each round of a way: rate.<way>.<round>.
record_rates() { # way rounds [log]
  local r
  for r in $(seq "$2"); do record "rate.$1.$r" "$(rate "$1-$r" "${3:-$log}")" hits/s; done
}

clk_tck=$(getconf CLK_TCK)
ticks() { awk '{ print $14 + $15 }' /proc/"$1"/stat; }  # user + system, every thread
# Run time of a process so far, every thread that it has now (ns).
task_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d\n", s }'; }

# ---- Runners ------------------------------------------------------------------------

# Waits until each jantor named has ended its first cycle: it then waits for
# its alarm in sigsuspend (system call 130 on x86-64), or it has exited. The
# wait runs beside the cycles it waits for, so it forks nothing but a sleep
# a tenth of a second: polling three daemons every 20 ms with cut and sleep
# took a tenth of this two-processor machine from the daemons it measured.
wait_cycles() { # pid...
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
  wait_cycles "$pid"
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
  for i in $(seq 500); do pid=$(pgrep -P "$tracer" -x jantor || true); [ -n "$pid" ] && break; sleep 0.01; done
  watch_pids+=("$pid")  # a section that fails must not leave it polling the tables
  wait_cycles "$pid"
  echo 5 >/proc/"$pid"/clear_refs  # the peak starts again from the present size
  for i in $(seq 1200); do [ "$(span "$tag" | cut -d' ' -f1)" -ge "$n" ] && break; sleep 0.1; done
  wait_cycles "$pid"
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
  for i in $(seq 500); do pid=$(pgrep -P "$tracer" -x jantor || true); [ -n "$pid" ] && break; sleep 0.01; done
  watch_pids+=("$pid")  # a section that fails must not leave it polling the tables
  wait_cycles "$pid"
  hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status)
  kill "$pid" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  awk '/execve\(/ && !s { s = $2 } /alarm\(/ && !a { a = $2 } END { printf "%.1f", (a - s) * 1000 }' \
    "$work/startup-$tag.txt"
  echo " $hwm"
}

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

# Races jantor (one cycle on SQLite, -c 1 and -c 8), the plain loop and one
# curl over N requests, BENCH_ROUNDS times, and records each way's rate of
# each round as rate.<way><key>.<round> (ways js for -c 1, jc for -c 8, pl,
# c1), and the peak resident size of jantor -c 1 as hwm.js<key>.<round>.
# With race_basic naming a database file (data source bench_basic), jantor
# -c 1 and -c 8 also run on its table in the same rounds, as ways jb and jd.
race() {
  local n=$1 key=$2 r way hwm ways=(js jc pl c1)
  [ -n "${race_basic:-}" ] && ways+=(jb jd)
  for r in $(seq "$rounds"); do
    fill_sqlite "$n" "js$key-$r"
    read -r _ hwm < <(run_jantor bench_sqlite "js$key-$r" -c 1)
    record "hwm.js$key.$r" "$hwm" KiB
    fill_sqlite "$n" "jc$key-$r"
    run_jantor bench_sqlite "jc$key-$r" -c 8 >/dev/null
    if [ -n "${race_basic:-}" ]; then
      fill_schedule "$race_basic" "$n" "jb$key-$r" 127.0.0.1 /index.html "'$(stamp -1)'"
      run_jantor bench_basic "jb$key-$r" -c 1 >/dev/null
      fill_schedule "$race_basic" "$n" "jd$key-$r" 127.0.0.1 /index.html "'$(stamp -1)'"
      run_jantor bench_basic "jd$key-$r" -c 8 >/dev/null
    fi
    "${pin[@]}" "$build/plain_loop" 127.0.0.1 80 "/index.html?pl$key-$r-" "$n"
    run_curl_one "$n" "c1$key-$r"
  done
  for way in "${ways[@]}"; do record_rates "$way$key" "$rounds"; done
}

# start_delay and stop_delay (the delay server on port 80 of 127.0.0.2)
# are bench/cycle_lib.sh's.
delay_count() { span "$1" "$delay_log" | cut -d' ' -f1; }
