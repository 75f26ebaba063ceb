#!/usr/bin/env bash
# Builds jantor and runs it for a few poll cycles on a demo SQLite data
# source, everything in work/demo: its own ODBC configuration (the system's
# is never touched), a small schedule table with a results table beside it,
# and a private nginx on a loopback port that the entries point at, stopped
# again at the end. Shows what a user comes for: the requests in nginx's
# log, the schedule moved on, each entry's latest result, and the metrics.
# Installs the missing Debian packages that running needs first.
#
#   scripts/demo.sh        # quiet: one line for each failed hit
#   scripts/demo.sh -v     # with every cycle's and hit's trace
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DJANTOR_TESTS=OFF >/dev/null
cmake --build build --target jantor -j"$(nproc)"

work=$PWD/work/demo
rm -rf "$work"; mkdir -p "$work"
tests/support/nginx.sh start "$work/nginx"
trap 'tests/support/nginx.sh stop "$work/nginx"' EXIT
port=$(cat "$work/nginx/port")
metrics_port=$(. tests/support/lib.sh && free_port 19464)

scripts/odbc-dsn.sh "$work" jantor_demo sqlite "$work/schedule.db"
sqlite3 "$work/schedule.db" <schema/sqlite.sql
sqlite3 "$work/schedule.db" <schema/sqlite-results.sql
past=$(date -d '-1 hour' '+%Y-%m-%d %H:%M:%S')
recent=$(date -d '-10 minutes' '+%Y-%m-%d %H:%M:%S')
future=$(date -d '+1 day' '+%Y-%m-%d %H:%M:%S')
sqlite3 "$work/schedule.db" <<SQL
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop)
VALUES (1, NULL,    NULL,     $port, '/hello.txt',          '127.0.0.1', 30, 5,    '$past',   0, 1),
       (2, 'alice', 'secret', $port, '/private/index.html', '127.0.0.1', 30, 3600, '$recent', 0, 1),
       (3, NULL,    NULL,     $port, '/missing.txt',        '127.0.0.1', 30, 3600, '$recent', 0, 1),
       (4, NULL,    NULL,     $port, '/tomorrow.txt',       '127.0.0.1', 30, 3600, '$future', 0, 1);
SQL

options=(-d jantor_demo -i 4 -r 6 -l hit_results -m "127.0.0.1:$metrics_port")
[ "${1:-}" = -v ] && options+=(-v) || options+=(-q)
echo "--- jantor ${options[*]}"
ODBCSYSINI=$work ODBCINI=$work/odbc.ini build/jantor "${options[@]}" &
jantor=$!
# One scrape after the first cycle, as Prometheus would make it.
for _ in $(seq 50); do
  curl -s "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics.txt" 2>/dev/null &&
    grep -q '^jantor_cycles_total [1-9]' "$work/metrics.txt" && break
  sleep 0.2
done
status=0
wait "$jantor" || status=$?
echo "--- exit status $status; what nginx saw:"
cat "$work/nginx/access.log"
echo "--- the schedule table now:"
sqlite3 -header -column "$work/schedule.db" 'SELECT id, i_object, i_interval, i_next FROM schedule_2'
echo "--- each entry's latest result (the view hit_results_last):"
sqlite3 -header -column "$work/schedule.db" \
  'SELECT entry_id, started, outcome, status, duration_ms, reason FROM hit_results_last ORDER BY entry_id'
echo "--- a scrape of -m after the first cycle (part of it):"
grep -E '^jantor_(hits_total\{outcome="(ok|client-error)"\}|cycles_total|due_entries|last_cycle_duration_seconds) ' "$work/metrics.txt" || true
exit $status
