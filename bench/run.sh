#!/usr/bin/env bash
# Benchmarks jantor side by side with the usual alternatives, all in one run
# on this machine, and writes bench/results/results.md (also printed) and
# bench/results/chart.png. Needs root or a free port 80 it may bind.
#
#   bench/run.sh            # builds jantor in build-bench/ and runs it all
#
# Environment: BENCH_BUILD (build folder, default build-bench), BENCH_ROUNDS
# (repetitions of each speed measurement, the best counts; default 3).
#
# Every speed figure comes from nginx's access log ($msec): the time from the
# first to the last request that one run made. A run of jantor is one poll
# cycle over N due entries, with standard output going to a file.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

JANTOR_DEPS_EXTRA="gnuplot-nox strace ${JANTOR_DEPS_EXTRA:-}" scripts/deps.sh
build=$root/${BENCH_BUILD:-build-bench}
rounds=${BENCH_ROUNDS:-3}
cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
cc -O2 -Wall -Wextra -o "$build/plain_loop" bench/plain_loop.c
cc -O2 -Wall -Wextra -o "$build/slow_server" bench/slow_server.c
cc -O2 -Wall -Wextra -o "$build/odbc_resultset" bench/odbc_resultset.c -lodbc
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
# the hits to reach it.
if (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; then
  echo "bench: something already listens on 127.0.0.1:80; stop it and run again" >&2
  exit 1
fi
cleanup() {
  tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true
  tests/support/pg.sh stop "$work/pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT
NGINX_PORT=80 tests/support/nginx.sh start "$work/nginx" >/dev/null
head -c $((4 * 1024 * 1024)) /dev/zero | tr '\0' 'x' >"$work/nginx/www/big.txt"
tests/support/pg.sh start "$work/pg" >/dev/null
pg_port=$(cat "$work/pg/port")
pg_password=$(cat "$work/pg/password")
psql_jantor() { PGPASSWORD=$pg_password psql -q -X -h 127.0.0.1 -p "$pg_port" -U jantor -d jantor "$@"; }
psql_jantor -f schema/postgres.sql >/dev/null

# The settings of the shipped SQLite example (dist/odbc-sqlite.ini): WAL,
# and commits that do not wait for the disk.
scripts/odbc-dsn.sh "$odbc" bench_sqlite sqlite "$db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" bench_pg postgres 127.0.0.1 "$pg_port" jantor
sqlite3 "$db" <schema/sqlite.sql
sqlite3 "$db" 'PRAGMA journal_mode=WAL;' >/dev/null

# ---- Helpers -------------------------------------------------------------------

# Local time as jantor reads it, "minutes" (or "$1 seconds") from now.
stamp() { date -d "$1 ${2:-minutes}" '+%Y-%m-%d %H:%M:%S'; }

# Fills the schedule table with N entries for tag that are due (at DUE, a
# minute ago unless given) and FUTURE more that are not, spread between them
# (every (N+FUTURE)/N-th is due). No entry has credentials.
fill_sqlite() {
  local n=$1 tag=$2 future=${3:-0} object=${4:-/index.html} due=${5:-$(stamp -1)}
  local total=$((n + future)) step=$(((n + future) / n))
  sqlite3 "$db" <<SQL
DELETE FROM schedule_2;
WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < $total)
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT i, NULL, NULL, 80, '$object?$tag-' || i, '127.0.0.1', 30, 86400,
       CASE WHEN i % $step = 0 AND i / $step <= $n THEN '$due' ELSE '$(stamp 1440)' END, 0, 1
FROM k;
SQL
}

fill_pg() {
  local n=$1 tag=$2
  psql_jantor <<SQL
TRUNCATE schedule_2;
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT i, NULL, NULL, 80, '/index.html?$tag-' || i, '127.0.0.1', 30, 86400, '$(stamp -1)', 0, 1
FROM generate_series(1, $n) AS i;
ANALYZE schedule_2;
SQL
}

# "count first last" of the access log lines of one run.
span() { grep -F "?$1-" "$log" | awk '{ if (n++ == 0) a = $1; b = $1 } END { printf "%d %s %s\n", n, a, b }'; }

# Hits a second from the first to the last request of a run.
rate() { span "$1" | awk '{ printf "%.0f\n", ($3 > $2) ? ($1 - 1) / ($3 - $2) : 0 }'; }

# Waits until jantor has ended its first cycle: it then waits for its alarm
# in sigsuspend (system call 130 on x86-64), or it has exited.
wait_cycle() {
  local pid=$1 i
  for i in $(seq 6000); do
    kill -0 "$pid" 2>/dev/null || return 0
    [ "$(cut -d' ' -f1 /proc/"$pid"/syscall 2>/dev/null)" = 130 ] && return 0
    sleep 0.02
  done
  echo "bench: jantor did not finish its cycle" >&2
  return 1
}

# Runs one poll cycle of jantor on data source dsn; prints the start time and
# the peak resident size (KiB). Extra arguments go to jantor.
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
  hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status 2>/dev/null || echo 0)
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
# alarm calls are traced, so the cycle runs at full speed.
run_jantor_second() {
  local dsn=$1 tag=$2 n=$3 tracer pid i
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini strace -f --seccomp-bpf -ttt -e trace=alarm \
    -o "$work/alarm-$tag.txt" "$jantor" -d "$dsn" -i 4 >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  tracer=$!
  for i in $(seq 500); do pid=$(pgrep -P "$tracer" || true); [ -n "$pid" ] && break; sleep 0.01; done
  wait_cycle "$pid"
  echo 5 >/proc/"$pid"/clear_refs  # the peak starts again from the present size
  for i in $(seq 6000); do [ "$(span "$tag" | cut -d' ' -f1)" -ge "$n" ] && break; sleep 0.02; done
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
urls() { local i; for i in $(seq "$1"); do echo "http://127.0.0.1/index.html?$2-$i"; done; }

run_curl_one() {
  urls "$1" "$2" | sed 's/.*/url = "&"/' >"$work/curl-$2.cfg"
  "${pin[@]}" curl "${curl_opts[@]}" -K "$work/curl-$2.cfg" >"$work/curl-$2.out"
}

run_curl_loop() {
  local url
  urls "$1" "$2" >"$work/loop-$2.urls"
  while read -r url; do curl "${curl_opts[@]}" "$url"; done <"$work/loop-$2.urls" >"$work/loop-$2.out"
}

best() { sort -n | tail -n1; }
pin=()  # a command that holds a client to a processor, when one is wanted
declare -A hits

# Races jantor (one cycle on SQLite), the plain loop and one curl over N
# requests, BENCH_ROUNDS times, and keeps each way's best rate as
# hits[<way><key>] (ways js, pl, c1). jantor's peak resident size in each
# round goes to the array race_hwm.
race() {
  local n=$1 key=$2 r way hwm
  race_hwm=()
  for r in $(seq "$rounds"); do
    fill_sqlite "$n" "js$key-$r"
    read -r _ hwm < <(run_jantor bench_sqlite "js$key-$r")
    race_hwm+=("$hwm")
    "${pin[@]}" "$build/plain_loop" 127.0.0.1 80 "/index.html?pl$key-$r-" "$n"
    run_curl_one "$n" "c1$key-$r"
  done
  for way in js pl c1; do
    hits[$way$key]=$(for r in $(seq "$rounds"); do rate "$way$key-$r"; done | best)
  done
}

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
  [ "$(span "js$n-1" | cut -d' ' -f1)" = "$n" ] || { echo "bench: jantor missed hits at N=$n" >&2; exit 1; }
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

# ---- Results -----------------------------------------------------------------------

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk "BEGIN { print ($1) ? \"yes\" : \"**no**\" }"; }
r_plain=$(ratio "${hits[js2000]}" "${hits[pl2000]}")
r_curl=$(ratio "${hits[js2000]}" "${hits[c12000]}")
r_loop=$(ratio "${hits[js2000]}" "${hits[cl2000]}")
r_size=$(ratio "$big" "$small")
big_limit_kib=$((3 * reply_bytes / 1024 + 8 * 1024))

{
  echo "# jantor benchmark"
  echo
  echo "$(date '+%Y-%m-%d %H:%M') on $(nproc) processors ($(uname -r)); nginx on 127.0.0.1:80, SQLite in WAL mode,"
  echo "PostgreSQL $(psql_jantor -tA -c 'SHOW server_version' | cut -d' ' -f1) on loopback; best of $rounds runs each."
  echo "Hits a second from the first to the last request of one run (nginx's \$msec); jantor runs one poll cycle with standard output to a file."
  echo
  echo "| way | N = 200 | N = 2000 | N = 20000 |"
  echo "|---|---:|---:|---:|"
  echo "| jantor, SQLite | ${hits[js200]} | ${hits[js2000]} | ${hits[js20000]} |"
  echo "| jantor, PostgreSQL | ${hits[jp200]} | ${hits[jp2000]} | ${hits[jp20000]} |"
  echo "| plain C loop (connect, send, read to close, close) | ${hits[pl200]} | ${hits[pl2000]} | ${hits[pl20000]} |"
  echo "| one curl process, HTTP/1.0, a connection per URL | ${hits[c1200]} | ${hits[c12000]} | ${hits[c120000]} |"
  echo "| shell loop, one curl per URL | ${hits[cl200]} | ${hits[cl2000]} | ${hits[cl20000]} (the 2000-URL run) |"
  echo "| jantor SQLite / plain loop | $(ratio "${hits[js200]}" "${hits[pl200]}") | $r_plain | $(ratio "${hits[js20000]}" "${hits[pl20000]}") |"
  echo "| jantor SQLite / one curl | $(ratio "${hits[js200]}" "${hits[c1200]}") | $r_curl | $(ratio "${hits[js20000]}" "${hits[c120000]}") |"
  echo "| jantor SQLite / curl per URL | $(ratio "${hits[js200]}" "${hits[cl200]}") | $r_loop | $(ratio "${hits[js20000]}" "${hits[cl20000]}") |"
  if [ "${#placements[@]}" -gt 0 ]; then
    echo
    echo "N = 2000 again, nginx held to processor 0 and the client to the processor named:"
    echo
    echo "| client on | jantor, SQLite | plain C loop | one curl | jantor / plain loop | jantor / one curl |"
    echo "|---|---:|---:|---:|---:|---:|"
    for cpu in "${placements[@]}"; do
      where="processor $cpu, apart from nginx"
      [ "$cpu" = 0 ] && where="processor 0, with nginx"
      echo "| $where | ${hits[jscpu$cpu]} | ${hits[plcpu$cpu]} | ${hits[c1cpu$cpu]} | $(ratio "${hits[jscpu$cpu]}" "${hits[plcpu$cpu]}") | $(ratio "${hits[jscpu$cpu]}" "${hits[c1cpu$cpu]}") |"
    done
  fi
  echo
  echo "| figure | target | measured | met |"
  echo "|---|---|---|---|"
  echo "| SQLite, N = 2000, against the plain loop | at least 0.5 | $r_plain | $(verdict "$r_plain >= 0.5") |"
  echo "| SQLite, N = 2000, against one curl | at least 1 | $r_curl | $(verdict "$r_curl >= 1") |"
  echo "| SQLite, N = 2000, against curl per URL | at least 25 | $r_loop | $(verdict "$r_loop >= 25") |"
  echo "| processor time while one hit waits 3 s | at most 1% of a core | jantor $jantor_slow%, curl $curl_slow% | $(verdict "$jantor_slow <= 1") |"
  echo "| peak resident memory, N = 20000 cycle | at most 16 MiB | $(mib "$hwm_cycle20000") MiB, of which the driver's result set $(mib "$resultset_kib") MiB; whole process with start-up $(mib "$hwm20000") MiB (N = 200: $(mib "$hwm200") MiB) | $(verdict "$hwm_cycle20000 <= 16384") |"
  echo "| peak resident memory, one 4 MiB reply | at most 3 x reply + 8 MiB = $(mib "$big_limit_kib") MiB | $(mib "$hwm_big") MiB | $(verdict "$hwm_big <= $big_limit_kib") |"
  echo "| cycle, 100 000 rows with 1000 due, against 1000 rows all due | at most 1.5 | $r_size ($big ms against $small ms) | $(verdict "$r_size <= 1.5") |"
  echo "| start-up against 1 000 000 rows, none due | peak resident memory at most 16 MiB | $(mib "$hwm_startup") MiB; first cycle over $startup ms after the start | $(verdict "$hwm_startup <= 16384") |"
} >"$results/results.md"

{
  echo "# way N=200 N=2000 N=20000"
  echo "\"jantor SQLite\" ${hits[js200]} ${hits[js2000]} ${hits[js20000]}"
  echo "\"jantor PostgreSQL\" ${hits[jp200]} ${hits[jp2000]} ${hits[jp20000]}"
  echo "\"plain C loop\" ${hits[pl200]} ${hits[pl2000]} ${hits[pl20000]}"
  echo "\"one curl\" ${hits[c1200]} ${hits[c12000]} ${hits[c120000]}"
  echo "\"curl per URL\" ${hits[cl200]} ${hits[cl2000]} ${hits[cl20000]}"
} >"$results/hits.dat"

gnuplot <<GP
set terminal pngcairo size 900,500 noenhanced
set output "$results/chart.png"
set title "Hits a second, one connection per request (higher is better)"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set yrange [10:*]
set grid ytics
set key top right
plot "$results/hits.dat" using 2:xtic(1) title "N = 200", '' using 3 title "N = 2000", '' using 4 title "N = 20000"
GP

cat "$results/results.md"
