# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# The history of -l at scale: the hourly rollups, the pages that read them,
# and what the rollup table and the index of one entry's results cost the
# hits. Three parts:
#   - Pages, on PostgreSQL (a database of its own, jhistory, on the bench's
#     private server) and then on SQLite (WAL, a file of its own), each
#     with the shipped schema: a schedule of 1 000 000 entries, 1% of them
#     failing (ids that are multiples of 100, which the list shows first,
#     the rest 'ok', next runs over the next day); a results table of
#     10 000 000 rows over the last seven days, among the failing entries:
#     entry 100 hit every minute (10 080 rows), entry 200 once a week
#     (one row, three days ago), the rest spread evenly over the others;
#     and a year (8760 hours, up to the hour before this one) of hourly
#     rollups for those 10 000 entries, an hour each (entry 200: one a
#     week), filled in the order a daemon fills them, hour after hour. jantor
#     -m -l hit_results -i 3600 idles after its first cycle (nothing due,
#     nothing to fill); each page asked for 20 times with curl, a new
#     connection each, timed by curl (time_total), the pages taking turns:
#     the list's first page (the failing entries: each row's uptime over a
#     year of rollups), its failing entries only, its 5000th page (by key),
#     entry 100's page, the next page of its attempts (by the key of its
#     100th newest row, checked against the page's own link), its JSON,
#     and entry 200's page. Then the first page again under a daemon
#     without -l, for what the uptime adds. Every answer is checked: 200,
#     the rows and cells each page must have.
#   - One hour's rollups at 1 000 000 rows: a results table of that many
#     rows in the hour before this one (20 000 entries, 50 rows each; 2%
#     failed, 1% retries), on each database; jantor -v -l hit_results fills
#     the hour after its first cycle, and says how long the statement took;
#     meanwhile /metrics is scraped every tenth of a second. BENCH_ROUNDS
#     times, the hour's rollups deleted between runs. Checked: 20 000
#     rollups whose attempts add up to the rows.
#   - What the hits pay: one cycle of jantor -c 8 -l hit_results over
#     N = 20 000 due GETs of /index.html against nginx, each way in a
#     database of its own: on SQLite with the results table as before this
#     history (no index on entry and start, no rollup table), with the
#     index, and as shipped (the index and the rollup table); on
#     PostgreSQL without the rollup table and as shipped. Twice
#     BENCH_ROUNDS rounds, and the first two ways again at -c 1 (every hit
#     a commit of its own), the ways of a database in the reverse order of
#     the round before; the results table emptied and the schedule filled
#     again before every run; every run checked (every entry requested,
#     a result row each).
# Nothing is cached between runs. The statements' plans go to
# $work/history-plans-<database>.txt, and the tables' sizes are recorded.
# BENCH_HI_ENTRIES, _RESULTS, _HOURS, _PAGE and _FILL_ROWS make a smaller
# trial of it; the figures are of the sizes above. BENCH_HI_PARTS names
# the parts to run (pages, fill, cost; all unless given).
hi_n=${BENCH_HI_ENTRIES:-1000000} hi_results=${BENCH_HI_RESULTS:-10000000}
hi_hours=${BENCH_HI_HOURS:-8760} hi_page=${BENCH_HI_PAGE:-5000} hi_requests=20
hi_entries=$((hi_n / 100)) hi_minute=100 hi_weekly=200
# The other entries' rows: evenly spread over them and over seven days.
hi_others=$((hi_entries - 2)) hi_spread=$((604800 * (hi_entries - 2) / (hi_results - 10081)))
hi_port=$(. tests/support/lib.sh && free_port 19580)
hi_db=$work/history.db
hi_now=$(date '+%Y-%m-%d %H:%M:%S')
hi_hour=$(date '+%Y-%m-%d %H:00:00')

hi_fail() { echo "bench: history: $*" >&2; exit 1; }
# The parts to run: BENCH_HI_PARTS, "pages fill cost" unless given.
hi_part() { [[ " ${BENCH_HI_PARTS:-pages fill cost} " == *" $1 "* ]]; }

psql_hi() { PGPASSWORD=$(pg_password) psql -q -X -tA -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$(cat "$work/pg/port")" -U jantor -d jhistory "$@"; }
sql_pg() { psql_hi; }
sql_sqlite() { sqlite3 "$hi_db"; }

record_start
record history.n "$hi_n"
record history.entries "$hi_entries"
record history.results "$hi_results"
record history.hours "$hi_hours"
record history.requests "$hi_requests"
record history.page "$hi_page"

# ---- The tables --------------------------------------------------------------------

# The rollup columns after entry and hour, as a year's daemon leaves them:
# an hour of 60 runs of entry e (SQL) at hour number k (SQL), one or two
# of them failed now and then, their durations in four buckets.
hi_rollup_values() { # e k
  local f="(CASE WHEN ($1 * 7 + $2) % 97 = 0 THEN 2 WHEN ($1 + $2) % 31 = 0 THEN 1 ELSE 0 END)"
  echo "60, 60, $f, 60 - $f, 0, 0, $f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        60 * (120 + ($1 + $2) % 200), 400 + ($1 * $2) % 4000,
        0, 0, 0, 20, 30, 8, 0, 0, 2, 0, 0, 0, 0"
}

hi_fill_pg() {
  sql_pg >/dev/null <<SQL
SET maintenance_work_mem = '1GB';
INSERT INTO schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop,
  i_failures, i_outcome, i_recent, i_status, i_duration_ms, i_last)
SELECT i, 80, '/health?entry=' || i, 'host-' || (i % 1000) || '.example.com', 30,
  CASE WHEN i = $hi_weekly THEN 604800 ELSE 60 END,
  timestamp '$hi_now' + interval '10 minutes' + ((i::bigint * 7919) % 86400) * interval '1 second', 0, 1,
  CASE WHEN i % 100 = 0 THEN 1 + (i / 100) % 10 ELSE 0 END,
  CASE WHEN i % 100 = 0 THEN 'server-error' ELSE 'ok' END,
  CASE WHEN i % 100 = 0 THEN repeat('k', 50) || repeat('s', 1 + (i / 100) % 10) ELSE repeat('k', 1 + i % 60) END,
  CASE WHEN i % 100 = 0 THEN 503 ELSE 200 END, 20 + i % 900, timestamp '$hi_now' - interval '1 minute'
FROM generate_series(1, $hi_n) AS i;
-- Entry 100 every minute for a week, 200 once, the rest over the others.
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
SELECT $hi_minute, at, at, 80 + g % 300, CASE WHEN g % 97 = 0 THEN 'timeout' ELSE 'ok' END,
       CASE WHEN g % 97 = 0 THEN NULL ELSE 200 END, 612, NULL, 1
FROM (SELECT g, timestamp '$hi_now' - g * interval '1 minute' AS at FROM generate_series(1, 10080) AS g) AS k;
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
VALUES ($hi_weekly, timestamp '$hi_now' - interval '3 days', timestamp '$hi_now' - interval '3 days', 95, 'ok', 200, 612, NULL, 1);
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
SELECT 100 * (3 + g % $hi_others), at, at, 20 + g % 900,
       CASE WHEN g % 50 = 0 THEN 'server-error' ELSE 'ok' END, CASE WHEN g % 50 = 0 THEN 503 ELSE 200 END, 612, NULL, 1
FROM (SELECT g, timestamp '$hi_now' - ((g / $hi_others) * $hi_spread + g % $hi_spread) * interval '1 second' AS at
      FROM generate_series(1, $((hi_results - 10081))) AS g) AS k;
-- A year of rollups, an hour after the other as a daemon writes them; the
-- keys' indexes made after, as they would have grown.
ALTER TABLE hit_results_hourly DROP CONSTRAINT hit_results_hourly_pkey;
DROP INDEX hit_results_hourly_hour;
DO \$\$
BEGIN
  FOR k IN REVERSE $hi_hours..1 LOOP
    INSERT INTO hit_results_hourly
    SELECT 100 * e, timestamp '$hi_hour' - k * interval '1 hour', $(hi_rollup_values e k)
    FROM generate_series(1, $hi_entries) AS e
    WHERE 100 * e <> $hi_weekly OR k % 168 = 72;
  END LOOP;
END
\$\$;
ALTER TABLE hit_results_hourly ADD PRIMARY KEY (entry_id, hour_start) INCLUDE (runs, failed_runs);
CREATE INDEX hit_results_hourly_hour ON hit_results_hourly (hour_start);
SQL
}

# Without a journal: a write-ahead log would hold every page of the fill
# until it is copied into the file, twice the gigabytes.
hi_fill_sqlite() {
  sql_sqlite >/dev/null <<SQL
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
PRAGMA cache_size = -1000000;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $hi_n)
INSERT INTO schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop,
  i_failures, i_outcome, i_recent, i_status, i_duration_ms, i_last)
SELECT i, 80, '/health?entry=' || i, 'host-' || (i % 1000) || '.example.com', 30,
  CASE WHEN i = $hi_weekly THEN 604800 ELSE 60 END,
  datetime('$hi_now', '+10 minutes', '+' || ((i * 7919) % 86400) || ' seconds'), 0, 1,
  CASE WHEN i % 100 = 0 THEN 1 + (i / 100) % 10 ELSE 0 END,
  CASE WHEN i % 100 = 0 THEN 'server-error' ELSE 'ok' END,
  CASE WHEN i % 100 = 0 THEN substr(printf('%.60c', 'k'), 1, 50) || substr(printf('%.60c', 's'), 1, 1 + (i / 100) % 10)
       ELSE substr(printf('%.60c', 'k'), 1, 1 + i % 60) END,
  CASE WHEN i % 100 = 0 THEN 503 ELSE 200 END, 20 + i % 900, datetime('$hi_now', '-1 minute')
FROM n;
DROP INDEX hit_results_entry;
DROP INDEX hit_results_started;
WITH RECURSIVE n(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM n WHERE g < 10080)
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
SELECT $hi_minute, at, at, 80 + g % 300, CASE WHEN g % 97 = 0 THEN 'timeout' ELSE 'ok' END,
       CASE WHEN g % 97 = 0 THEN NULL ELSE 200 END, 612, NULL, 1
FROM (SELECT g, datetime('$hi_now', '-' || g || ' minutes') AS at FROM n);
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
VALUES ($hi_weekly, datetime('$hi_now', '-3 days'), datetime('$hi_now', '-3 days'), 95, 'ok', 200, 612, NULL, 1);
WITH RECURSIVE n(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM n WHERE g < $((hi_results - 10081)))
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
SELECT 100 * (3 + g % $hi_others), at, at, 20 + g % 900,
       CASE WHEN g % 50 = 0 THEN 'server-error' ELSE 'ok' END, CASE WHEN g % 50 = 0 THEN 503 ELSE 200 END, 612, NULL, 1
FROM (SELECT g, datetime('$hi_now', '-' || ((g / $hi_others) * $hi_spread + g % $hi_spread) || ' seconds') AS at FROM n);
CREATE INDEX hit_results_entry ON hit_results (entry_id, started);
CREATE INDEX hit_results_started ON hit_results (started);
-- The rollups are kept in the order of their key whatever the order they
-- came in (see the schema): made in that order, which is faster.
DROP INDEX hit_results_hourly_hour;
WITH RECURSIVE e(e) AS (SELECT 1 UNION ALL SELECT e + 1 FROM e WHERE e < $hi_entries),
     h(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM h WHERE k < $hi_hours)
INSERT INTO hit_results_hourly
SELECT 100 * e, datetime('$hi_hour', '-' || k || ' hours'), $(hi_rollup_values e k)
FROM e, h WHERE 100 * e <> $hi_weekly OR k % 168 = 72;
CREATE INDEX hit_results_hourly_hour ON hit_results_hourly (hour_start);
ANALYZE;
PRAGMA wal_checkpoint(TRUNCATE);
SQL
}

# ---- The pages ---------------------------------------------------------------------

# Asks for a page and keeps the reply in file; prints "status ms bytes".
hi_get() { # target file
  curl -s -o "$2" -w '%{http_code} %{time_total} %{size_download}\n' "http://127.0.0.1:$hi_port$1" |
    awk '{ printf "%s %.2f %s\n", $1, $2 * 1000, $3 }'
}
hi_count() { { grep -o "$1" "$2" || true; } | wc -l; }

# What each page must hold.
hi_check() { # page file status
  [ "$3" = 200 ] || hi_fail "$1 answered $3: $(head -c 300 "$2")"
  local want got
  case $1 in
    top | failing) want="100 300"; got="$(hi_count '<tr class="f"><td><a href="/entry/' "$2") $(hi_count '<td class="u">[0-9]' "$2")" ;;
    deep) want="100 300"; got="$(hi_count '<tr><td><a href="/entry/' "$2") $(hi_count '<td class="u">' "$2")" ;;
    plain) want="100 0"; got="$(hi_count '<tr class="f"><td>[0-9]' "$2") $(hi_count '<td class="u">' "$2")" ;;
    minute | older) want="100 90"; got="$(hi_count '<tr><td>20' "$2") $(hi_count '<g><title>' "$2")" ;;
    weekly) want="1 90"; got="$(hi_count '<tr><td>20' "$2") $(hi_count '<g><title>' "$2")" ;;
    json) want="100 90"; got="$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(len(d["attempts"]), len(d["days"]))' "$2")" ;;
  esac
  [ "$got" = "$want" ] || hi_fail "$1 held $got, not $want"
}

# The key of entry 100's 100th newest attempt, where its next page begins.
hi_key() { # kind
  case $1 in
    pg) echo "SELECT 'n.' || to_char(started, 'YYYYMMDDHH24MISS') || '.' || id FROM hit_results
              WHERE entry_id = $hi_minute ORDER BY started DESC, id DESC OFFSET 99 LIMIT 1;" | sql_pg ;;
    sqlite) echo "SELECT 'n.' || strftime('%Y%m%d%H%M%S', started) || '.' || id FROM hit_results
              WHERE entry_id = $hi_minute ORDER BY started DESC, id DESC LIMIT 1 OFFSET 99;" | sql_sqlite ;;
  esac
}
# The list's key where its page ends (see bench/sections/status_page.sh).
hi_list_key() { # kind page
  local offset=$(($2 * 100 - hi_entries - 1))
  case $1 in
    pg) echo "SELECT 'n.' || to_char(i_next, 'YYYYMMDDHH24MISS') || '.' || id FROM schedule_2
          WHERE (i_failures IS NULL OR i_failures <= 0) AND i_next IS NOT NULL
          ORDER BY i_next, id OFFSET $offset LIMIT 1;" | sql_pg ;;
    sqlite) echo "SELECT 'n.' || strftime('%Y%m%d%H%M%S', i_next) || '.' || id FROM schedule_2
          WHERE (i_failures IS NULL OR i_failures <= 0) AND i_next IS NOT NULL
          ORDER BY i_next, id LIMIT 1 OFFSET $offset;" | sql_sqlite ;;
  esac
}

hi_daemon() { # kind dsn tag [jantor options]
  local kind=$1 dsn=$2 tag=$3 pid
  shift 3
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d "$dsn" -i 3600 -m "127.0.0.1:$hi_port" "$@" \
    >"$work/jantor-history-$tag.out" 2>"$work/jantor-history-$tag.err" &
  pid=$!
  watch_pids+=("$pid")
  wait_cycles "$pid" || hi_fail "$kind: the first cycle did not end"
  kill -0 "$pid" 2>/dev/null || hi_fail "$kind: jantor ended: $(cat "$work/jantor-history-$tag.err")"
  hi_pid=$pid
}

hi_measure() { # kind dsn [jantor options]
  local kind=$1 dsn=$2 key list_key out=$work/history-reply.html status ms bytes r page target
  shift 2
  key=$(hi_key "$kind") list_key=$(hi_list_key "$kind" $((hi_page - 1)))
  record "history.$kind.key" "$key"
  hi_daemon "$kind" "$dsn" "$kind" -l hit_results "$@"
  read -r status ms bytes < <(hi_get / "$out")
  hi_check top "$out" "$status"
  record "history.$kind.first" "$ms" ms
  read -r status ms bytes < <(hi_get "/entry/$hi_minute" "$out")
  hi_check minute "$out" "$status"
  grep -q "<a rel=\"next\" href=\"/entry/$hi_minute?after=$key\">" "$out" ||
    hi_fail "$kind: entry $hi_minute's page does not link to ?after=$key"
  for r in $(seq "$hi_requests"); do
    for page in top failing deep minute older json weekly; do
      case $page in
        top) target=/ ;;
        failing) target="/?failing=1" ;;
        deep) target="/?after=$list_key" ;;
        minute) target="/entry/$hi_minute" ;;
        older) target="/entry/$hi_minute?after=$key" ;;
        json) target="/entry/$hi_minute.json" ;;
        weekly) target="/entry/$hi_weekly" ;;
      esac
      read -r status ms bytes < <(hi_get "$target" "$out")
      hi_check "$page" "$out" "$status"
      record "history.$kind.$page.$r" "$ms" ms
      [ "$r" = 1 ] && record "history.$kind.$page.bytes" "$bytes" bytes
    done
  done
  record "history.$kind.hwm" "$(awk '/^VmHWM:/ { print $2 }' /proc/"$hi_pid"/status)" KiB
  kill "$hi_pid" 2>/dev/null || true
  wait "$hi_pid" 2>/dev/null || true
  # The list without -l: what the uptime and the links add.
  hi_daemon "$kind" "$dsn" "$kind-plain" "$@"
  for r in $(seq "$hi_requests"); do
    read -r status ms bytes < <(hi_get / "$out")
    hi_check plain "$out" "$status"
    record "history.$kind.plain.$r" "$ms" ms
  done
  kill "$hi_pid" 2>/dev/null || true
  wait "$hi_pid" 2>/dev/null || true
}

# The statements of entry 100's page and of the list's uptime, with the
# run's values in place of the parameters, and their plans.
hi_plans() { # kind
  local first day_of hour_of ids month
  first=$(date -d "$hi_hour" '+%Y-%m-%d %H:%M:%S')
  month=$(date -d "$hi_hour 719 hours ago" '+%Y-%m-%d %H:%M:%S')
  ids=$(seq -s, $((hi_n - 9900)) 100 "$hi_n")
  case $1 in
    pg) hour_of="date_trunc('hour', r.started)" day_of="cast(hour_start as date)" ;;
    sqlite) hour_of="substr(r.started, 1, 13) || ':00:00'" day_of="substr(hour_start, 1, 10)" ;;
  esac
  {
    echo "select entry_id, sum(runs), sum(failed_runs) from hit_results_hourly where entry_id in ($ids) and hour_start >= '$month' and hour_start < '$first' group by entry_id;"
    echo "select r.started, r.attempt, r.outcome, r.status, r.duration_ms, r.reason, r.id from hit_results r where r.entry_id = $hi_minute order by r.started desc, r.id desc limit 101;"
    echo "select r.started, r.attempt from hit_results r where r.entry_id = $hi_weekly order by r.started desc, r.id desc limit 101;"
    echo "select $day_of, sum(attempts), sum(runs), max(duration_ms_max) from hit_results_hourly where entry_id = $hi_minute and hour_start >= '$(date -d "$hi_hour 2136 hours ago" '+%Y-%m-%d %H:%M:%S')' and hour_start < '$first' group by $day_of;"
    echo "select $hour_of, count(*) from hit_results r where r.entry_id = $hi_minute and r.started >= '$first' group by $hour_of;"
  } | while read -r statement; do
    echo "$statement"
    case $1 in
      pg) echo "EXPLAIN (ANALYZE, BUFFERS) $statement" | psql_hi ;;
      sqlite) printf '.timer on\nEXPLAIN QUERY PLAN %s\nSELECT count(*) FROM (%s);\n' "$statement" "${statement%;}" | sql_sqlite ;;
    esac
    echo
  done >"$work/history-plans-$1.txt" 2>&1
}

if hi_part pages; then
echo "  PostgreSQL: $hi_n entries, $hi_results results, $hi_hours hours of rollups for $hi_entries entries ..." >&2
PGOPTIONS='-c client_min_messages=warning' psql_jantor -c 'DROP DATABASE IF EXISTS jhistory' -c 'CREATE DATABASE jhistory' >/dev/null
psql_hi -f schema/postgres.sql -f schema/postgres-results.sql >/dev/null
scripts/odbc-dsn.sh "$odbc" bench_hist_pg postgres 127.0.0.1 "$(cat "$work/pg/port")" jhistory
hi_started=$(date +%s)
hi_fill_pg
psql_hi -c 'VACUUM ANALYZE' >/dev/null
sync
record history.pg.fill "$(($(date +%s) - hi_started))" s
record history.pg.hourly_bytes "$(echo "SELECT pg_total_relation_size('hit_results_hourly');" | sql_pg)" bytes
record history.pg.hourly_rows "$(echo "SELECT count(*) FROM hit_results_hourly;" | sql_pg)"
echo "  PostgreSQL: the pages ..." >&2
hi_measure pg bench_hist_pg -u jantor -p "$(pg_password)"
hi_plans pg
PGOPTIONS='-c client_min_messages=warning' psql_jantor -c 'DROP DATABASE jhistory' >/dev/null

echo "  SQLite: the same ..." >&2
rm -f "$hi_db" "$hi_db"-*
cat schema/sqlite.sql schema/sqlite-results.sql | sql_sqlite
scripts/odbc-dsn.sh "$odbc" bench_hist_sqlite sqlite "$hi_db" JournalMode=WAL SyncPragma=NORMAL
hi_started=$(date +%s)
hi_fill_sqlite
sql_sqlite <<<'PRAGMA journal_mode=WAL;' >/dev/null
sync
record history.sqlite.fill "$(($(date +%s) - hi_started))" s
record history.sqlite.bytes "$(stat -c %s "$hi_db")" bytes
record history.sqlite.hourly_rows "$(echo "SELECT count(*) FROM hit_results_hourly;" | sql_sqlite)"
echo "  SQLite: the pages ..." >&2
hi_measure sqlite bench_hist_sqlite
hi_plans sqlite
rm -f "$hi_db" "$hi_db"-*
fi

# ---- One hour's rollups ------------------------------------------------------------

if hi_part fill; then

hi_fill_rows=${BENCH_HI_FILL_ROWS:-1000000} hi_fill_entries=$((${BENCH_HI_FILL_ROWS:-1000000} / 50))
hi_prev=$(date -d "$(date '+%Y-%m-%d %H:00:00') 1 hour ago" '+%Y-%m-%d %H:%M:%S')
hi_before=$(date -d "$hi_prev 1 hour ago" '+%Y-%m-%d %H:%M:%S')
record history.fill.rows "$hi_fill_rows"
record history.fill.rounds "$rounds"
record history.fill.entries "$hi_fill_entries"
# The hour before this one: entry e's rows 72 s apart; every 50th failed,
# and every 100th a retry (attempt 2) of the failed one before it, good.
hi_hour_sql() { # started-expression
  cat <<SQL
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
SELECT 1 + g % $hi_fill_entries, at, at, 20 + g % 900,
       CASE WHEN g % 50 = 0 THEN 'server-error' ELSE 'ok' END, CASE WHEN g % 50 = 0 THEN 503 ELSE 200 END,
       612, NULL, CASE WHEN g % 100 = 1 THEN 2 ELSE 1 END
FROM (SELECT g, $1 AS at FROM n) AS k;
-- How far the filling has come: the hour before.
INSERT INTO hit_results_hourly
VALUES (1, '$hi_before', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
SQL
}
PGOPTIONS='-c client_min_messages=warning' psql_jantor -c 'DROP DATABASE IF EXISTS jhistory' -c 'CREATE DATABASE jhistory' >/dev/null
psql_hi -f schema/postgres.sql -f schema/postgres-results.sql >/dev/null
{ echo "CREATE TEMPORARY VIEW n AS SELECT g FROM generate_series(1, $hi_fill_rows) AS g;"
  hi_hour_sql "timestamp '$hi_prev' + (((g - 1) / $hi_fill_entries) * 72 + g % 72) * interval '1 second'"
  echo "VACUUM ANALYZE;"; } | sql_pg >/dev/null
rm -f "$hi_db" "$hi_db"-*
cat schema/sqlite.sql schema/sqlite-results.sql | sql_sqlite
sql_sqlite <<<'PRAGMA journal_mode=WAL;' >/dev/null
{ echo "CREATE TEMPORARY VIEW n AS WITH RECURSIVE m(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM m WHERE g < $hi_fill_rows) SELECT g FROM m;"
  hi_hour_sql "datetime('$hi_prev', '+' || (((g - 1) / $hi_fill_entries) * 72 + g % 72) || ' seconds')"
  echo "ANALYZE;"; } | sql_sqlite >/dev/null

# One fill on kind; records its seconds and the scrapes meanwhile.
hi_fill_once() { # kind dsn round [jantor options]
  local kind=$1 dsn=$2 r=$3 scraper seconds filled
  shift 3
  rm -f "$work/history-scrapes.txt"
  (
    for _ in $(seq 600); do
      curl -s -o /dev/null -m 5 -w '%{http_code} %{time_total}\n' "http://127.0.0.1:$hi_port/metrics" \
        >>"$work/history-scrapes.txt" 2>/dev/null || true
      sleep 0.1
    done
  ) &
  scraper=$!
  watch_pids+=("$scraper")
  hi_daemon "$kind" "$dsn" "fill-$kind-$r" -l hit_results -v "$@"
  kill "$scraper" 2>/dev/null || true
  wait "$scraper" 2>/dev/null || true
  kill "$hi_pid" 2>/dev/null || true
  wait "$hi_pid" 2>/dev/null || true
  filled=$(grep -o "Filled hit_results_hourly for the hour from $hi_prev: [0-9]* entries in [0-9.]* s" \
    "$work/jantor-history-fill-$kind-$r.out" || true)
  [ -n "$filled" ] || hi_fail "$kind: the hour $hi_prev was not filled: $(tail -n 5 "$work/jantor-history-fill-$kind-$r.out")"
  seconds=$(awk '{ print $(NF - 1) }' <<<"$filled")
  [ "$(awk '{ print $(NF - 4) }' <<<"$filled")" = "$hi_fill_entries" ] || hi_fail "$kind: $filled"
  [ "$(echo "SELECT sum(attempts) FROM hit_results_hourly WHERE hour_start = '$hi_prev';" | "sql_$kind")" = "$hi_fill_rows" ] ||
    hi_fail "$kind: the rollups do not add up to the rows"
  record "history.fill.$kind.$r" "$seconds" s
  record "history.fill.$kind.scrapes.$r" "$(awk '$1 == 200' "$work/history-scrapes.txt" | wc -l)"
  record "history.fill.$kind.scrape_ms.$r" "$(awk '$1 == 200 { printf "%.1f\n", $2 * 1000 }' "$work/history-scrapes.txt" | best)" ms
  echo "DELETE FROM hit_results_hourly WHERE hour_start = '$hi_prev';" | "sql_$kind"
}
echo "  an hour of $hi_fill_rows rows ..." >&2
scripts/odbc-dsn.sh "$odbc" bench_hist_pg postgres 127.0.0.1 "$(cat "$work/pg/port")" jhistory
for r in $(seq "$rounds"); do
  hi_fill_once pg bench_hist_pg "$r" -u jantor -p "$(pg_password)"
  hi_fill_once sqlite bench_hist_sqlite "$r"
done
PGOPTIONS='-c client_min_messages=warning' psql_jantor -c 'DROP DATABASE jhistory' >/dev/null
rm -f "$hi_db" "$hi_db"-*
fi

# ---- What the hits pay -------------------------------------------------------------

if hi_part cost; then

hi_cost_n=${BENCH_HI_N:-20000} hi_cost_rounds=$((2 * rounds))
record history.cost.n "$hi_cost_n"
record history.cost.rounds "$hi_cost_rounds"
# SQLite: hlo without the index and the rollups, hli with the index, hlh as
# shipped; PostgreSQL: hpi without the rollups, hph as shipped.
for way in hlo hli hlh; do
  rm -f "$work/history-$way.db"*
  cat schema/sqlite.sql schema/sqlite-results.sql | sqlite3 "$work/history-$way.db"
  sqlite3 "$work/history-$way.db" 'PRAGMA journal_mode=WAL;' >/dev/null
  scripts/odbc-dsn.sh "$odbc" "bench_$way" sqlite "$work/history-$way.db" JournalMode=WAL SyncPragma=NORMAL
done
sqlite3 "$work/history-hlo.db" 'DROP INDEX hit_results_entry; DROP TABLE hit_results_hourly;'
sqlite3 "$work/history-hli.db" 'DROP TABLE hit_results_hourly;'
psql_way() { PGPASSWORD=$(pg_password) psql -q -X -tA -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$(cat "$work/pg/port")" -U jantor -d "j$1" "${@:2}"; }
for way in hpi hph; do
  PGOPTIONS='-c client_min_messages=warning' psql_jantor -c "DROP DATABASE IF EXISTS j$way" -c "CREATE DATABASE j$way" >/dev/null
  psql_way "$way" -f schema/postgres.sql -f schema/postgres-results.sql >/dev/null
  scripts/odbc-dsn.sh "$odbc" "bench_$way" postgres 127.0.0.1 "$(cat "$work/pg/port")" "j$way"
done
psql_way hpi -c 'DROP TABLE hit_results_hourly' >/dev/null

# A way whose name ends in 1 is the way before it at -c 1, where every
# hit is a commit of its own.
hi_cost_run() { # way round
  local way=$1 tag=$1-$2 got db=${1%1} hits=8
  [ "$db" = "$way" ] || hits=1
  case $way in
    hl*)
      sqlite3 "$work/history-$db.db" 'DELETE FROM hit_results;'
      fill_schedule "$work/history-$db.db" "$hi_cost_n" "$tag" 127.0.0.1 /index.html "'$(stamp -1)'"
      run_jantor "bench_$db" "$tag" -c "$hits" -l hit_results >/dev/null
      got=$(sqlite3 "$work/history-$db.db" 'SELECT count(*) FROM hit_results;') ;;
    hp*)
      psql_way "$way" -c 'TRUNCATE hit_results' >/dev/null
      fill_pg "$hi_cost_n" "$tag" 127.0.0.1 "psql_$way" >/dev/null
      run_jantor "bench_$way" "$tag" -c 8 -l hit_results -u jantor -p "$(pg_password)" >/dev/null
      got=$(psql_way "$way" -c 'SELECT count(*) FROM hit_results') ;;
  esac
  [ "$(span "$tag" | cut -d' ' -f1)" = "$hi_cost_n" ] || hi_fail "$tag: not every entry was requested"
  [ "$got" = "$hi_cost_n" ] || hi_fail "$tag: $got result rows, not $hi_cost_n"
}
psql_hpi() { psql_way hpi "$@"; }
psql_hph() { psql_way hph "$@"; }
echo "  the hits with and without the rollups ..." >&2
for r in $(seq "$hi_cost_rounds"); do
  if [ $((r % 2)) = 1 ]; then ways="hlo hli hlh hpi hph hlo1 hli1"; else ways="hlh hli hlo hph hpi hli1 hlo1"; fi
  for way in $ways; do hi_cost_run "$way" "$r"; done
done
for way in hlo hli hlh hpi hph hlo1 hli1; do record_rates "$way" "$hi_cost_rounds"; done
for way in hpi hph; do
  PGOPTIONS='-c client_min_messages=warning' psql_jantor -c "DROP DATABASE j$way" >/dev/null
done
rm -f "$work"/history-hl*.db*
fi
record_end
