#!/usr/bin/env bash
# How long a scrape of jantor's metrics endpoint (-m) takes while 1000
# clients hold connections to it and say nothing and 100 more send one byte
# of a request a second (bench/idle_clients.c, which opens again whatever
# the endpoint closes), against the same scrapes with no other client; and
# the daemon's descriptors and resident memory meanwhile. Prints the
# figures, and records them (bench/cycle_lib.sh's record) for bench/scale.sh,
# which runs it and names the folder in BENCH_FIGURES; run alone, it also
# prints the row that bench/report.py makes of them for scale.md.
#
#   bench/endpoint_idle.sh     # runs build/jantor; JANTOR=path for another
#   REOPEN=0 bench/endpoint_idle.sh   # what the endpoint closes stays closed
#
# jantor runs as bench/run.sh runs it for the endpoint at rest: an empty
# SQLite table, -i 3600, -m on a free port of 127.0.0.1. The scrapes are
# bench/scrape.c's, one every 400 ms, each given up after 2 s.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# shellcheck source=bench/cycle_lib.sh
source "$root/bench/cycle_lib.sh"
jantor=${JANTOR:-$root/build/jantor}
idle=1000 slow=100 scrapes=20 interval_ms=400 reopen=${REOPEN:-1}
[ -x "$jantor" ] || { echo "bench: no $jantor; build it first, or name one in JANTOR" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  local status=$? pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  forget_failed "$status"
  [ -n "${KEEP_WORK:-}" ] && echo "work: $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
record_into endpoint_idle "$work"
cc -O2 -Wall -Wextra -o "$work/scrape" bench/scrape.c
cc -O2 -Wall -Wextra -o "$work/idle_clients" bench/idle_clients.c
scripts/odbc-dsn.sh "$work/odbc" bench_sqlite sqlite "$work/schedule.db"
sqlite3 "$work/schedule.db" <schema/sqlite.sql
port=$(. tests/support/lib.sh && free_port 19474)

ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini "$jantor" -d bench_sqlite -i 3600 \
  -m "127.0.0.1:$port" >"$work/jantor.out" 2>&1 &
pid=$!
pids+=("$pid")
for _ in $(seq 250); do
  "$work/scrape" 127.0.0.1 "$port" 100 1 1 "$work/warm.log"
  grep -q ' ok .* 200$' "$work/warm.log" && break
  sleep 0.02
done
grep -q ' ok .* 200$' "$work/warm.log" || { echo "bench: jantor's endpoint did not answer" >&2; exit 1; }

descriptors() { ls /proc/"$pid"/fd | wc -l; }
ticks() { awk '{ print $14 + $15 }' /proc/"$pid"/stat; }  # user and system, every thread
kib() { awk -v k="$1:" '$1 == k { print $2 }' /proc/"$pid"/status; }  # VmRSS, VmHWM
# Scrape milliseconds, one a line, sorted; failures as "failed".
times_ms() {
  awk '$3 == "ok" && $NF == 200 { printf "%.1f\n", ($2 - $1) * 1000; next } { print "failed" }' "$1" |
    sort -n
}
summary() { # log: "max median failed"
  times_ms "$1" | awk '$1 == "failed" { f++; next } { v[++n] = $1 }
    END { printf "%s %s %d\n", n ? v[n] : "-", n ? v[int((n + 1) / 2)] : "-", f + 0 }'
}

"$work/scrape" 127.0.0.1 "$port" "$interval_ms" "$scrapes" 60 "$work/quiet.log"
fd_before=$(descriptors) rss_before=$(kib VmRSS)

# The clients hold on from 2 s before the first scrape to 2 s after the last.
hold=$((scrapes * interval_ms / 1000 + 4))
ticks_start=$(ticks) ns_start=$(date +%s%N)
"$work/idle_clients" 127.0.0.1 "$port" "$idle" "$slow" "$hold" "$reopen" >"$work/clients.out" &
clients=$!
pids+=("$clients")
fd_most=0
for _ in $(seq 8); do fd_most=$(( $(descriptors) > fd_most ? $(descriptors) : fd_most )); sleep 0.25; done
"$work/scrape" 127.0.0.1 "$port" "$interval_ms" "$scrapes" 60 "$work/held.log" &
scraper=$!
pids+=("$scraper")
while kill -0 "$scraper" 2>/dev/null; do
  fd_most=$(( $(descriptors) > fd_most ? $(descriptors) : fd_most ))
  sleep 0.25
done
wait "$scraper" || true
wait "$clients" || true
cpu=$(awk -v t="$(( $(ticks) - ticks_start ))" -v hz="$(getconf CLK_TCK)" -v ns="$(( $(date +%s%N) - ns_start ))" \
  'BEGIN { printf "%.1f", 100 * t / hz / (ns / 1e9) }')
rss_peak=$(kib VmHWM)

read -r quiet_max quiet_median quiet_failed < <(summary "$work/quiet.log")
read -r held_max held_median held_failed < <(summary "$work/held.log")
echo "clients: $(cat "$work/clients.out")"
echo "scrapes with no other client: $scrapes, longest $quiet_max ms, median $quiet_median ms, failed $quiet_failed"
echo "scrapes with $idle idle and $slow slow clients: $scrapes, longest $held_max ms, median $held_median ms, failed $held_failed"
echo "jantor's descriptors: $fd_before before, at most $fd_most meanwhile; resident memory $rss_before KiB before, peak $rss_peak KiB; processor time meanwhile $cpu% of a core"

# Recorded only now, once every figure is there.
record endpoint.idle "$idle"
record endpoint.slow "$slow"
record endpoint.reopen "$reopen"
record endpoint.scrapes "$scrapes"
record endpoint.quiet_max "$quiet_max" ms
record endpoint.held_max "$held_max" ms
record endpoint.held_median "$held_median" ms
record endpoint.held_failed "$held_failed"
record endpoint.fd_before "$fd_before"
record endpoint.fd_most "$fd_most"
record endpoint.rss_peak "$rss_peak" KiB
record endpoint.cpu "$cpu" "% of a core"
if [ -z "${BENCH_FIGURES:-}" ]; then
  python3 bench/report.py --out "$work" "$figures/$section.tsv"
  echo
  tail -n1 "$work/scale.md"
fi
