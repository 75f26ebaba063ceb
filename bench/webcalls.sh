#!/usr/bin/env bash
# Entries that make their own web call (i_method, i_headers, i_body) side by
# side with curl making the same calls, in one run:
#   - a server that answers each request 50 ms late (bench/delay_server.c on
#     127.0.0.2:80): one cycle of N POSTs, each with a 1 KiB JSON body and
#     two headers, at -c 64, against one curl --parallel --parallel-max 64;
#   - nginx on loopback: the same POSTs at -c 1 against one curl going
#     through them one after the other; and N plain GETs from a table whose
#     three call columns are all NULL against a table without them;
#   - the peak resident memory of one cycle of 20000 POSTs with a 64 KiB
#     body each at -c 64, against the same server answering at once.
# Each round runs every pair's two ways seconds apart, taking turns at going
# first. Records the rate of every run and the memory run's figures
# (bench/cycle_lib.sh's record) as the section "webcalls" of bench/run.sh,
# which runs it; run alone, into its work folder, from which
# bench/report.py then writes the table (the ratios of the best rates and
# the medians of the rounds' own ratios) to webcalls.md there, and prints
# it. Its progress goes to standard error.
#
#   bench/webcalls.sh           # builds jantor in build-bench-calls/ and runs it
#
# Environment: JANTOR (a jantor to measure instead of building one),
# BENCH_BUILD (build folder, default build-bench-calls; the work folder is
# its webcalls/), BENCH_ROUNDS (default 5), BENCH_N (entries, default 2000),
# WEBCALLS_BIG_N (entries of the memory run, default 20000).
#
# The rates come from the servers' logs: the requests of a run over the time
# from its first request to its last. A hit connects to the "http" port
# first, so the servers listen on port 80 and the entries name port 80 as
# theirs. Run as root, the script moves into a network namespace of its own
# first, where port 80 of 127.0.0.1 and 127.0.0.2 is free whatever the
# machine runs, and nothing outside sees its servers. Otherwise both must be
# free to bind.
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
root=$PWD
# shellcheck source=bench/cycle_lib.sh
source "$root/bench/cycle_lib.sh"

own_network WEBCALLS_NETNS "$script" "$@"

need_tools nginx sqlite3 curl cc
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is needed" >&2; exit 1; }
need_free_port80 127.0.0.1 127.0.0.2

build=$root/${BENCH_BUILD:-build-bench-calls}
rounds=${BENCH_ROUNDS:-5}
n=${BENCH_N:-2000}
big_n=${WEBCALLS_BIG_N:-20000}
if [ -n "${JANTOR:-}" ]; then
  jantor=$(realpath "$JANTOR")
else
  cmake -S . -B "$build" -DJANTOR_TESTS=OFF >/dev/null
  cmake --build "$build" --target jantor -j"$(nproc)" >/dev/null
  jantor=$build/jantor
fi
mkdir -p "$build"
work=$build/webcalls
rm -rf "$work"
mkdir -p "$work"
record_into webcalls "$work/figures"
cc -O2 -Wall -Wextra -o "$work/delay_server" bench/delay_server.c
log=$work/nginx/access.log
delay_log=$work/delay.log
delay_program=$work/delay_server
odbc=$work/odbc

delay_pid=""
cleanup() {
  local status=$?
  if [ -n "$delay_pid" ]; then kill "$delay_pid" 2>/dev/null || true; fi
  tests/support/nginx.sh stop "$work/nginx" >/dev/null 2>&1 || true
  forget_failed "$status"
}
trap cleanup EXIT

# nginx answers a POST to a static file with 405; /hook answers every
# method with 200 and a short body, after reading (and dropping) the
# request's body, as a web hook would.
NGINX_PORT=80 tests/support/nginx.sh start "$work/nginx" >/dev/null
sed -i 's|^    location /private/ {|    location = /hook { return 200 "ok\\n"; }\n&|' "$work/nginx/nginx.conf"
# The reload is asked again until it takes: just after the start the
# master may not have written its pid file yet.
for _ in $(seq 50); do
  /usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -s reload 2>/dev/null || true
  sleep 0.1
  [ "$(curl -s -o /dev/null -w '%{http_code}' -d x http://127.0.0.1/hook)" = 200 ] && break
done
[ "$(curl -s -o /dev/null -w '%{http_code}' -d x http://127.0.0.1/hook)" = 200 ] ||
  { echo "bench: nginx does not answer a POST to /hook with 200" >&2; exit 1; }

# Three SQLite databases as the shipped example (dist/odbc-sqlite.ini) sets
# them up, WAL and commits that do not wait for the disk: the shipped
# schema; the same table without the three call columns, as a table made
# before they existed; and the shipped schema for the memory run, whose
# bodies make it large.
db=$work/calls.db db_plain=$work/plain.db db_big=$work/big.db
scripts/odbc-dsn.sh "$odbc" calls_sqlite sqlite "$db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" plain_sqlite sqlite "$db_plain" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" big_sqlite sqlite "$db_big" JournalMode=WAL SyncPragma=NORMAL
# SQLite (3.40) drops the last column of a table by cutting the text of its
# CREATE TABLE back to the column before, and the comment between them then
# swallows the closing parenthesis; the plain table is made from the schema
# without its comment lines.
sqlite3 "$db" <schema/sqlite.sql
sqlite3 "$db_big" <schema/sqlite.sql
sed '/^ *--/d' schema/sqlite.sql | sqlite3 "$db_plain"
for file in "$db" "$db_plain" "$db_big"; do
  sqlite3 "$file" 'PRAGMA journal_mode=WAL;' >/dev/null
done
sqlite3 "$db_plain" <<'SQL'
ALTER TABLE schedule_2 DROP COLUMN i_method;
ALTER TABLE schedule_2 DROP COLUMN i_headers;
ALTER TABLE schedule_2 DROP COLUMN i_body;
ALTER TABLE schedule_2 DROP COLUMN i_auth;
SQL

# The call: a JSON body of exactly BYTES bytes, and two headers. The same
# text goes into the table and, from files, into curl's configuration.
token=bench-7f3a9c2e5b1d4086a2c4e6f8b0d2f4a6
json() { # bytes
  local head='{"source":"jantor-bench","event":"tick","payload":"' tail='"}'
  printf '%s' "$head"
  head -c $(($1 - ${#head} - ${#tail})) /dev/zero | tr '\0' x
  printf '%s' "$tail"
}
json 1024 >"$work/body.json"
json 65536 >"$work/body64.json"
if [ "$(wc -c <"$work/body.json")" != 1024 ] || [ "$(wc -c <"$work/body64.json")" != 65536 ]; then
  echo "bench: the bodies came out the wrong size" >&2
  exit 1
fi

# COUNT entries for tag in the database file, all due a minute ago, on HOST
# port 80 at /hook?TAG-i (/index.html?TAG-i for a GET): either POSTs with
# the body file and the two headers, or GETs that leave the call columns
# out (NULL, or absent from the plain table).
fill() { # file tag count host post|get [body file]
  local file=$1 tag=$2 count=$3 host=$4 due
  due=$(stamp -1)
  if [ "$5" = post ]; then
    fill_schedule "$file" "$count" "$tag" "$host" /hook "'$due'" i_method="'POST'" \
      i_headers="'Content-Type: application/json' || char(10) || 'Authorization: Bearer $token'" \
      i_body="'$(cat "$6")'"
  else
    fill_schedule "$file" "$count" "$tag" "$host" /index.html "'$due'"
  fi
}

# Every request of the run reached the server; in nginx's log, also each
# with the method meant and answered 200.
check_run() { # tag server-log method count
  local got
  got=$(span "$1" "$2" | cut -d' ' -f1)
  [ "$got" = "$4" ] || { echo "bench: $1 made $got of $4 requests" >&2; exit 1; }
  [ "$2" = "$log" ] || return 0
  got=$(grep -F "?$1-" "$log" | awk -v m="\"$3" '$3 == m && $NF == 200' | wc -l)
  [ "$got" = "$4" ] || { echo "bench: $1 made $got of $4 $3 requests answered 200" >&2; exit 1; }
}

# One cycle of jantor on data source dsn; extra arguments go to it.
run_jantor() { # dsn tag args...
  local dsn=$1 tag=$2 pid
  shift 2
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d "$dsn" -i 3600 "$@" \
    >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  pid=$!
  wait_cycle "$pid" || { kill "$pid" 2>/dev/null; exit 1; }
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# One curl process posting the body with the two headers to n URLs, each
# transfer on a connection of its own as run.sh's curl runs are; extra
# arguments go to it. The body and headers are given once for every URL.
curl_opts=(-s --http1.0 -H 'Connection: close')
run_curl() { # host tag args...
  local host=$1 tag=$2 i
  shift 2
  {
    echo "data-binary = \"@$work/body.json\""
    echo 'header = "Content-Type: application/json"'
    echo "header = \"Authorization: Bearer $token\""
    for i in $(seq "$n"); do echo "url = \"http://$host/hook?$tag-$i\""; done
  } >"$work/curl-$tag.cfg"
  curl "${curl_opts[@]}" "$@" -K "$work/curl-$tag.cfg" >"$work/curl-$tag.out" 2>"$work/curl-$tag.err"
}

# The ways of each pair, "key what": the key names the run (tag <key>-<round>).
way_dj() { fill "$db" "$1" "$n" 127.0.0.2 post "$work/body.json"; run_jantor calls_sqlite "$1" -c 64; }
way_dc() { run_curl 127.0.0.2 "$1" --parallel --parallel-max 64; }
way_nj() { fill "$db" "$1" "$n" 127.0.0.1 post "$work/body.json"; run_jantor calls_sqlite "$1" -c 1; }
way_nc() { run_curl 127.0.0.1 "$1"; }
way_gn() { fill "$db" "$1" "$n" 127.0.0.1 get; run_jantor calls_sqlite "$1" -c 1; }
way_go() { fill "$db_plain" "$1" "$n" 127.0.0.1 get; run_jantor plain_sqlite "$1" -c 1; }

# Runs the pair's two ways every round, taking turns at going first, and
# records each run's rate as rate.webcalls.<key>.<round>.
race() { # key-a key-b server-log method
  local a=$1 b=$2 server_log=$3 method=$4 r way
  for r in $(seq "$rounds"); do
    echo "  $a/$b round $r of $rounds ..." >&2
    for way in $([ $((r % 2)) = 1 ] && echo "$a $b" || echo "$b $a"); do
      "way_$way" "$way-$r"
      check_run "$way-$r" "$server_log" "$method" "$n"
      record "rate.webcalls.$way.$r" "$(rate "$way-$r" "$server_log")" hits/s
    done
  done
}

record_start
record webcalls.rounds "$rounds"
record webcalls.n "$n"
record webcalls.body "$(wc -c <"$work/body.json")" bytes
echo "POSTs to a server answering 50 ms late ..." >&2
start_delay 50
race dj dc "$delay_log" POST
stop_delay
echo "POSTs and GETs to nginx ..." >&2
race nj nc "$log" POST
race gn go "$log" GET

# Memory: one cycle of big_n POSTs with a 64 KiB body each, at -c 64,
# against the delay server answering as soon as a request (its body
# included) is whole, so that every body travels to the server. Two cycles
# 4 s apart as bench/scale.sh runs them, the second with nothing due; the
# peak is the whole process's (ru_maxrss, through /usr/bin/time), start-up
# included, and the time is the elapsed time less the 4 s between them.
echo "Memory: $big_n POSTs of 64 KiB ..." >&2
fill "$db_big" big "$big_n" 127.0.0.2 post "$work/body64.json"
start_delay 0
ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini /usr/bin/time -f "%M %e" -o "$work/time-big" \
  timeout 900 "$jantor" -d big_sqlite -i 4 -r 1 -q -c 64 >"$work/jantor-big.out" 2>&1 || true
stop_delay
check_run big "$delay_log" POST "$big_n"
moved=$(sqlite3 "$db_big" "SELECT count(*) FROM schedule_2 WHERE i_next > datetime('now', 'localtime');")
read -r big_kib big_seconds < <(awk '{ printf "%d %.1f\n", $1, $2 - 4 }' "$work/time-big")
record webcalls.big.n "$big_n"
record webcalls.big "$big_kib" KiB
record webcalls.big.seconds "$big_seconds" s
record webcalls.big.span "$(span big "$delay_log" | awk '{ printf "%.1f\n", $3 - $2 }')" s
record webcalls.big.moved "$moved"
rm -f "$db_big" "$db_big-wal" "$db_big-shm"
record_end
report_alone "$work"
