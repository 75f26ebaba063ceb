#!/usr/bin/env bash
# Builds jantor and runs it for a few poll cycles on a demo SQLite data
# source, everything in work/demo: its own ODBC configuration (the system's
# is never touched), a small schedule table with a results table beside it,
# a private nginx on a loopback port that most entries point at, and a
# webhook receiver (scripts/demo-peer.py) for a JSON POST with a bearer
# token, both stopped again at the end. Shows what a user comes for: the
# requests in nginx's and the receiver's logs, the schedule moved on (by
# interval, by calendar, a failed POST retried), each entry's latest result,
# the metrics and the status page's JSON. Installs the missing Debian
# packages that running needs first (python3 among them, for the receiver).
#
#   scripts/demo.sh        # quiet: one line for each failed hit
#   scripts/demo.sh -v     # with every cycle's and hit's trace
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DJANTOR_TESTS=OFF >/dev/null
cmake --build build --target jantor -j"$(nproc)"

work=$PWD/work/demo
rm -rf "$work"; mkdir -p "$work/peer"
peer=""
stop_servers() {
  [ -z "$peer" ] || kill "$peer" 2>/dev/null || true
  tests/support/nginx.sh stop "$work/nginx"
}
trap stop_servers EXIT
tests/support/nginx.sh start "$work/nginx"
port=$(cat "$work/nginx/port")
echo "the daily report" >"$work/nginx/www/report.txt"
metrics_port=$(. tests/support/lib.sh && free_port 19464)

# The webhook's secrets. The token is fresh each run, so that no output
# holds it by chance and the search for it at the end means what it says.
token=demo-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
body='{"source": "jantor-demo", "event": "tick"}'
DEMO_TOKEN=$token python3 scripts/demo-peer.py "$work/peer" &
peer=$!
for _ in $(seq 50); do [ -s "$work/peer/port" ] && break; sleep 0.1; done
peer_port=$(cat "$work/peer/port")
echo "webhook receiver on 127.0.0.1:$peer_port"

scripts/odbc-dsn.sh "$work" jantor_demo sqlite "$work/schedule.db"
sqlite3 "$work/schedule.db" <schema/sqlite.sql
sqlite3 "$work/schedule.db" <schema/sqlite-results.sql
past=$(date -d '-1 hour' '+%Y-%m-%d %H:%M:%S')
recent=$(date -d '-10 minutes' '+%Y-%m-%d %H:%M:%S')
future=$(date -d '+1 day' '+%Y-%m-%d %H:%M:%S')
# Entry 5 is a JSON webhook that the receiver fails once (503), so its run
# is tried again 2.5 to 5 s later: -i 4 -r 6 makes cycles at 0, 4 and 8 s,
# and one of the last two makes the retry. Entry 6 runs every five minutes
# on Berlin's calendar.
sqlite3 "$work/schedule.db" <<SQL
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop)
VALUES (1, NULL,    NULL,     $port, '/hello.txt',          '127.0.0.1', 30, 5,    '$past',   0, 1),
       (2, 'alice', 'secret', $port, '/private/index.html', '127.0.0.1', 30, 3600, '$recent', 0, 1),
       (3, NULL,    NULL,     $port, '/missing.txt',        '127.0.0.1', 30, 3600, '$recent', 0, 1),
       (4, NULL,    NULL,     $port, '/tomorrow.txt',       '127.0.0.1', 30, 3600, '$future', 0, 1);
INSERT INTO schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop,
                        i_method, i_headers, i_body, i_retries, i_retry_delay)
VALUES (5, $peer_port, '/hooks/tick', '127.0.0.1', 30, 3600, '$recent', 0, 1, 'POST',
        'Content-Type: application/json' || char(10) || 'Authorization: Bearer $token',
        '$body', 2, 5);
INSERT INTO schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop,
                        i_cron, i_zone)
VALUES (6, $port, '/report.txt', '127.0.0.1', 30, 300, '$recent', 0, 1, '*/5 * * * *', 'Europe/Berlin');
SQL
# Each entry's i_next before the run, to show beside the new one.
sqlite3 "$work/schedule.db" \
  "ATTACH '$work/before.db' AS before; CREATE TABLE before.schedule_2 AS SELECT id, i_next FROM schedule_2"

options=(-d jantor_demo -i 4 -r 6 -l hit_results -m "127.0.0.1:$metrics_port")
[ "${1:-}" = -v ] && options+=(-v) || options+=(-q)
echo "--- the status page is at http://127.0.0.1:$metrics_port/ while jantor runs"
echo "--- jantor ${options[*]}"
# Its output is kept too, to be searched for the entry's secrets at the end.
{
  status=0
  ODBCSYSINI=$work ODBCINI=$work/odbc.ini build/jantor "${options[@]}" || status=$?
  echo "$status" >"$work/jantor.status"
} 2>&1 | tee "$work/jantor.out" &
jantor=$!
# One scrape after the first cycle, as Prometheus would make it, and one
# read of the status page's JSON.
for _ in $(seq 50); do
  curl -s "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics.txt" 2>/dev/null &&
    grep -q '^jantor_cycles_total [1-9]' "$work/metrics.txt" && break
  sleep 0.2
done
curl -s "http://127.0.0.1:$metrics_port/entries.json" >"$work/entries.json" || true
wait "$jantor"
status=$(cat "$work/jantor.status")
echo "--- exit status $status; what nginx saw:"
cat "$work/nginx/access.log"
echo "--- what the webhook receiver saw (its log has the body's length and whether the"
echo "    bearer token matched, never the token or the body):"
cat "$work/peer/access.log"
echo "--- the schedule table before and after:"
sqlite3 -header -column "$work/schedule.db" "ATTACH '$work/before.db' AS before;
  SELECT s.id, coalesce(s.i_method, 'GET') AS method, s.i_object,
         coalesce(s.i_cron || ' ' || s.i_zone, 'every ' || s.i_interval || ' s') AS schedule,
         b.i_next AS i_next_before, s.i_next AS i_next_now
  FROM schedule_2 s JOIN before.schedule_2 b USING (id) ORDER BY s.id"
next=$(sqlite3 "$work/schedule.db" 'SELECT i_next FROM schedule_2 WHERE id = 6')
echo "    (local time, $(date +%Z) here; entry 6's next run is" \
  "$(TZ=Europe/Berlin date -d "@$(date -d "$next" +%s)" '+%H:%M %Z') in Berlin)"
echo "--- each entry's latest result (the view hit_results_last):"
sqlite3 -header -column "$work/schedule.db" \
  'SELECT entry_id, started, attempt, outcome, status, duration_ms, reason FROM hit_results_last ORDER BY entry_id'
echo "--- every attempt of the webhook's run (hit_results):"
sqlite3 -header -column "$work/schedule.db" \
  'SELECT entry_id, due, started, attempt, outcome, status FROM hit_results WHERE entry_id = 5 ORDER BY id'
echo "--- a scrape of -m after the first cycle (part of it):"
grep -E '^jantor_(hits_total\{outcome="(ok|client-error|server-error)"\}|retries_total|cycles_total|due_entries|last_cycle_duration_seconds) ' "$work/metrics.txt" || true
echo "--- the status page's /entries.json after the first cycle, failing entries first"
echo "    (some of its fields; the whole reply is in $work/entries.json):"
[ -s "$work/entries.json" ] && python3 - "$work/entries.json" <<'PY' || echo "    (no reply)"
import json, sys
rows = [("id", "method", "target", "schedule", "next", "retry", "latest")]
for e in json.load(open(sys.argv[1]))["entries"]:
    retry = "{retry} of {of}".format(**e["retry"]) if e["retry"] else "-"
    latest = " ".join(str(e[k]) for k in ("outcome", "status") if e[k] is not None) or "-"
    rows.append((str(e["id"]), e["method"], e["target"], e["schedule"], e["next"], retry, latest))
widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
for row in rows:
    print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
PY
echo "--- the webhook's token and body, searched for in jantor's output, both logs,"
echo "    the results table and the status page's JSON:"
sqlite3 "$work/schedule.db" 'SELECT * FROM hit_results' >"$work/results.txt"
found=$(grep -lF -e "$token" -e "$body" "$work/jantor.out" "$work/nginx/access.log" \
  "$work/peer/access.log" "$work/results.txt" "$work/entries.json" || true)
if [ -n "$found" ]; then echo "    FOUND in ${found//$'\n'/ }"; else echo "    found nowhere"; fi
exit "$status"
