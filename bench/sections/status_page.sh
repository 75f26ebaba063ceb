# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# The status page of -m at a million entries, and what people looking at it
# cost the hits:
#   - PostgreSQL (a database of its own, jstatus, on the bench's private
#     server): a schedule table of 1 000 000 entries from
#     schema/postgres.sql, every optional column filled, 1% of them failing
#     (1 to 10 failed runs in a row, the latest a 503), the rest 'ok'; their
#     next runs spread over a day that begins ten minutes from now, so that
#     jantor's first cycle finds nothing due and it then idles (-i 3600).
#     Beside it a results table (schema/postgres-results.sql) of 10 000 000
#     rows over those entries, as a daemon with -l leaves one; the page
#     must not read it. While jantor idles, each page is asked for 20 times
#     with curl, a new connection each, and timed by curl (time_total):
#     the first page, the failing entries only, two searches (a word that
#     100 of the 1000 hosts hold, and one whole host name), and the 5000th
#     page, reached by the key of the 4999th page's last row, computed
#     from the table in the page's order and checked against the "next"
#     link of the page before it. The requests take turns, round by round.
#     The first request of the run also connects and counts the table and
#     is timed apart. Then jantor's peak resident memory (VmHWM, start-up
#     included).
#   - SQLite: the same entries in a WAL database of their own, the same
#     requests.
#   - One cycle of jantor -c 8 -m over N = 20000 due entries on SQLite
#     against nginx, as the speed section makes it, with ten clients
#     (bench/page_clients.c) each reloading / once a second from before
#     the start to the end, against the same cycle with -m and no clients;
#     the two take turns in each of twice BENCH_ROUNDS rounds (a run lasts
#     a second or two). Every entry must be hit once, every page load
#     answered 200.
# Nothing is cached between runs: the 10 000 000 results take about a
# minute to make, which a dump would hardly shorten (restoring one builds
# the same indexes again), and the schedule must be made again anyway for
# its next runs to lie ahead. The plans of the statements the pages run, as this section
# copies them from engine/watch/status_rows.cc, go to
# $work/status_page-plans-<database>.txt, and the statements that jantor ran
# on PostgreSQL, with their times in the server (pg_stat_statements), to
# $work/status_page-statements.txt.
sp_n=1000000 sp_results=10000000 sp_rounds=20 sp_page=5000 sp_rows=100
sp_port=$(. tests/support/lib.sh && free_port 19480)
sp_db=$work/status-page.db
sp_broad=billing sp_one=billing-42.example.com
# The columns a page reads, in engine/watch/status_rows.cc's order.
sp_columns="id, i_host, i_port, i_object, i_interval, i_next, i_start, i_stop, i_method, i_cron"
sp_columns+=", i_zone, i_retries, i_attempt, i_failures, i_outcome, i_recent, i_status, i_duration_ms, i_last"
cc -O2 -Wall -Wextra -pthread -o "$build/page_clients" bench/page_clients.c

record_start
record status_page.n "$sp_n"
record status_page.results "$sp_results"
record status_page.requests "$sp_rounds"
record status_page.page "$sp_page"
record status_page.broad "$sp_broad"
record status_page.one "$sp_one"

sp_fail() { echo "bench: status page: $*" >&2; exit 1; }

psql_status() { PGPASSWORD=$(pg_password) psql -q -X -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$(cat "$work/pg/port")" -U jantor -d jstatus "$@"; }
sql_pg() { psql_status -tA; }
sql_sqlite() { sqlite3 "$sp_db"; }

# ---- The tables -----------------------------------------------------------------

# Entry i, in either database: 1000 hosts "<word>-<number>.example.com"
# (ten words, a hundred numbers), each with 1000 entries spread over the
# keys; five paths; a HEAD for every 20th, two retries for every 4th. Every
# 100th entry fails: 1 to 10 runs in a row, the latest answered 503, its
# recent letters some 'k' then an 's' for each failed run. The rest are 'ok'
# with 1 to 60 'k'. Next runs spread over the day from base on, so that
# about a dozen entries share each second, latest attempts over the day
# before it. The expressions below use the words and the numbers h (the
# host's number, 0 to 999), i and failing (0 or 1).
sp_word_of() { # host-number-expression: the SQL of its word, without arrays (SQLite has none)
  local words=(shop api billing search media auth mail status cdn reports) w out="CASE ($1) % 10"
  for w in "${!words[@]}"; do out+=" WHEN $w THEN '${words[$w]}'"; done
  echo "$out END"
}

sp_fill_pg() { # base
  sql_pg >/dev/null <<SQL
TRUNCATE schedule_2;
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next,
  i_start, i_stop, i_method, i_headers, i_body, i_cron, i_zone, i_retries, i_retry_delay,
  i_attempt, i_run, i_failures, i_outcome, i_recent, i_status, i_duration_ms, i_last)
SELECT i, NULL, NULL, 80,
  '/' || (ARRAY['health', 'status', 'ping', 'check', 'v1/ready'])[1 + i % 5] || '?entry=' || i,
  $(sp_word_of h) || '-' || (h / 10) || '.example.com',
  30, 86400, timestamp '$1' + ((i::bigint * 7919) % 86400) * interval '1 second', 0, 1,
  CASE WHEN i % 20 = 0 THEN 'HEAD' END, NULL, NULL, NULL, NULL,
  CASE WHEN i % 4 = 0 THEN 2 END, CASE WHEN i % 4 = 0 THEN 60 END, NULL, NULL,
  CASE WHEN failing = 1 THEN 1 + (i / 100) % 10 ELSE 0 END,
  CASE WHEN failing = 1 THEN 'server-error' ELSE 'ok' END,
  CASE WHEN failing = 1 THEN repeat('k', 3 + (i / 100) % 40) || repeat('s', 1 + (i / 100) % 10)
       ELSE repeat('k', 1 + i % 60) END,
  CASE WHEN failing = 1 THEN 503 ELSE 200 END, 20 + i % 900,
  timestamp '$1' - interval '10 minutes' - ((i::bigint * 31) % 86400) * interval '1 second'
FROM (SELECT i, (i::bigint * 7919 + i / 100) % 1000 AS h, (i % 100 = 0)::int AS failing
      FROM generate_series(1, $sp_n) AS i) AS k;
SQL
}

sp_fill_sqlite() { # base
  sql_sqlite >/dev/null <<SQL
DELETE FROM schedule_2;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $sp_n)
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next,
  i_start, i_stop, i_method, i_headers, i_body, i_cron, i_zone, i_retries, i_retry_delay,
  i_attempt, i_run, i_failures, i_outcome, i_recent, i_status, i_duration_ms, i_last)
SELECT i, NULL, NULL, 80,
  '/' || (CASE i % 5 WHEN 0 THEN 'health' WHEN 1 THEN 'status' WHEN 2 THEN 'ping' WHEN 3 THEN 'check'
          ELSE 'v1/ready' END) || '?entry=' || i,
  $(sp_word_of h) || '-' || (h / 10) || '.example.com',
  30, 86400, datetime('$1', '+' || ((i * 7919) % 86400) || ' seconds'), 0, 1,
  CASE WHEN i % 20 = 0 THEN 'HEAD' END, NULL, NULL, NULL, NULL,
  CASE WHEN i % 4 = 0 THEN 2 END, CASE WHEN i % 4 = 0 THEN 60 END, NULL, NULL,
  CASE WHEN failing = 1 THEN 1 + (i / 100) % 10 ELSE 0 END,
  CASE WHEN failing = 1 THEN 'server-error' ELSE 'ok' END,
  CASE WHEN failing = 1 THEN substr(printf('%.60c', 'k'), 1, 3 + (i / 100) % 40)
                             || substr(printf('%.60c', 's'), 1, 1 + (i / 100) % 10)
       ELSE substr(printf('%.60c', 'k'), 1, 1 + i % 60) END,
  CASE WHEN failing = 1 THEN 503 ELSE 200 END, 20 + i % 900,
  datetime('$1', '-10 minutes', '-' || ((i * 31) % 86400) || ' seconds')
FROM (SELECT i, (i * 7919 + i / 100) % 1000 AS h, i % 100 = 0 AS failing FROM n);
ANALYZE;
PRAGMA wal_checkpoint(TRUNCATE);
SQL
}

# The results table: entry i's rows every 1 000 000 rows, a tenth of a
# second apart going back from base (some 11 days), every 100th a 503.
sp_fill_results() { # base
  sql_pg >/dev/null <<SQL
INSERT INTO hit_results (entry_id, due, started, duration_ms, outcome, status, bytes, reason, attempt)
SELECT 1 + g % $sp_n, at, at, 20 + g % 900,
       CASE WHEN g % 100 = 0 THEN 'server-error' ELSE 'ok' END,
       CASE WHEN g % 100 = 0 THEN 503 ELSE 200 END, 612, NULL, 1
FROM (SELECT g, timestamp '$1' - (g / 10) * interval '1 second' AS at
      FROM generate_series(1, $sp_results) AS g) AS k;
SQL
}

# ---- The pages -----------------------------------------------------------------

# Asks for a page (path and query) and keeps the reply in file; prints
# "status milliseconds bytes" as curl saw them.
sp_get() { # target file
  curl -s -o "$2" -w '%{http_code} %{time_total} %{size_download}\n' "http://127.0.0.1:$sp_port$1" |
    awk '{ printf "%s %.2f %s\n", $1, $2 * 1000, $3 }'
}
# (grep finds nothing in a page without such rows, which pipefail would
# take for a failure.)
sp_count() { { grep -o "$1" "$2" || true; } | wc -l; }
sp_rows() { sp_count '<tr class="f"><td>\|<tr><td>' "$1"; }
sp_failing_rows() { sp_count '<tr class="f"><td>' "$1"; }
# The page's "next" link (it has one above the table and one below).
sp_next() { { grep -o '<a rel="next" href="[^"]*"' "$1" || true; } | head -n1 | sed 's/.*href="//; s/"$//; s/&amp;/\&/g'; }

# The key of the row that ends page (counted from 1) in the page's order:
# the failing entries first (failed runs down, key down), then the rest
# (next run up, key up). All failing entries must come before it.
sp_key_of_page_end() { # kind page failing-count
  local before=$(($2 * sp_rows)) offset
  [ "$before" -gt "$3" ] || sp_fail "page $2 ends among the failing entries"
  offset=$((before - $3 - 1))
  case $1 in
    pg) echo "SELECT 'n.' || to_char(i_next, 'YYYYMMDDHH24MISS') || '.' || id FROM schedule_2
          WHERE (i_failures IS NULL OR i_failures <= 0) AND i_next IS NOT NULL
          ORDER BY i_next, id OFFSET $offset LIMIT 1;" | sql_pg ;;
    sqlite) echo "SELECT 'n.' || strftime('%Y%m%d%H%M%S', i_next) || '.' || id FROM schedule_2
          WHERE (i_failures IS NULL OR i_failures <= 0) AND i_next IS NOT NULL
          ORDER BY i_next, id LIMIT 1 OFFSET $offset;" | sql_sqlite ;;
  esac
}

# What each page must hold: 100 rows, of which failing (a number, or "all").
sp_check() { # what file status rows-failing [text every row holds [window]]
  local status=$3 rows failing
  rows=$(sp_rows "$2") failing=$(sp_failing_rows "$2")
  [ "$status" = 200 ] || sp_fail "$1 answered $status: $(head -c 300 "$2")"
  # A search for a rare text ends its page where its window of entries
  # ends: fewer rows, and the page says how far it looked.
  if [ "${6:-}" = window ]; then
    [ "$rows" -ge 1 ] && [ "$rows" -le "$sp_rows" ] || sp_fail "$1 held $rows rows"
    grep -q 'looked through' "$2" || sp_fail "$1 does not say how far it looked"
  else
    [ "$rows" = "$sp_rows" ] || sp_fail "$1 held $rows rows, not $sp_rows"
  fi
  [ "$4" = all ] && [ "$failing" != "$rows" ] && sp_fail "$1 held $failing failing rows of $rows"
  [ "$4" != all ] && [ "$failing" != "$4" ] && sp_fail "$1 held $failing failing rows, not $4"
  if [ -n "${5:-}" ] && [ "$(sp_count "$5" "$2")" -lt "$rows" ]; then
    sp_fail "$1 held rows without $5"
  fi
  return 0
}

# jantor on data source dsn with -m, idle after its first cycle; every page
# asked for as above. Records status_page.<kind>.<page>.<round> (ms), the
# first request's time and jantor's peak resident memory.
sp_measure() { # kind dsn [jantor options]
  local kind=$1 dsn=$2 pid failing broad_failing one_failing key_end key_before out=$work/status_page-reply.html
  shift 2
  failing=$(echo "SELECT count(*) FROM schedule_2 WHERE i_failures > 0;" | "sql_$kind")
  broad_failing=$(echo "SELECT count(*) FROM schedule_2 WHERE i_failures > 0 AND i_host LIKE '%$sp_broad%';" | "sql_$kind")
  one_failing=$(echo "SELECT count(*) FROM schedule_2 WHERE i_failures > 0 AND i_host = '$sp_one';" | "sql_$kind")
  [ "$broad_failing" -ge "$sp_rows" ] || sp_fail "$kind: fewer than a page of failing entries hold $sp_broad"
  [ "$(echo "SELECT count(*) FROM schedule_2 WHERE i_next <= '$(stamp 1)';" | "sql_$kind")" = 0 ] ||
    sp_fail "$kind: entries are due before jantor starts"
  key_end=$(sp_key_of_page_end "$kind" $((sp_page - 1)) "$failing")
  key_before=$(sp_key_of_page_end "$kind" $((sp_page - 2)) "$failing")
  record "status_page.$kind.failing_entries" "$failing"
  record "status_page.$kind.key" "$key_end"
  record "status_page.$kind.broad_failing" "$broad_failing"
  record "status_page.$kind.one_failing" "$one_failing"
  sp_plan_args=("$key_end" "$broad_failing" "$one_failing")

  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d "$dsn" -i 3600 -m "127.0.0.1:$sp_port" "$@" \
    >"$work/jantor-status-$kind.out" 2>"$work/jantor-status-$kind.err" &
  pid=$!
  watch_pids+=("$pid")
  wait_cycles "$pid" || sp_fail "$kind: the first cycle did not end"
  kill -0 "$pid" 2>/dev/null || sp_fail "$kind: jantor ended: $(cat "$work/jantor-status-$kind.err")"

  local status ms bytes
  read -r status ms bytes < <(sp_get / "$out")
  sp_check "$kind: the first page, first request" "$out" "$status" all
  record "status_page.$kind.first" "$ms" ms
  # The 5000th page is the one after the 4999th, whose own "next" link
  # must be the key computed from the table.
  read -r status ms bytes < <(sp_get "/?after=$key_before" "$out")
  sp_check "$kind: page $((sp_page - 1))" "$out" "$status" 0
  [ "$(sp_next "$out")" = "/?after=$key_end" ] ||
    sp_fail "$kind: page $((sp_page - 1)) links to $(sp_next "$out"), not /?after=$key_end"

  local r page target failing_rows text window
  for r in $(seq "$sp_rounds"); do
    for page in top failing broad one deep; do
      text="" window=""
      case $page in
        top) target=/ failing_rows=all ;;
        failing) target="/?failing=1" failing_rows=all ;;
        broad) target="/?q=$sp_broad" failing_rows=all text=$sp_broad ;;
        one) target="/?q=$sp_one" failing_rows=$one_failing text=$sp_one window=window ;;
        deep) target="/?after=$key_end" failing_rows=0 ;;
      esac
      read -r status ms bytes < <(sp_get "$target" "$out")
      sp_check "$kind: $target" "$out" "$status" "$failing_rows" "$text" "$window"
      record "status_page.$kind.$page.$r" "$ms" ms
      [ "$r" = 1 ] && record "status_page.$kind.$page.bytes" "$bytes" bytes
    done
  done
  record "status_page.$kind.hwm" "$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status)" KiB
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# The statements of the pages, as engine/watch/status_rows.cc makes them, with
# the run's texts and key in place of the parameters: the totals, the
# first page and the failing page (the failing part alone fills them),
# each search (its failing part, then the rest when that holds fewer than
# a page and one), and the 5000th page.
sp_statements() { # key path-of-object broad-failing one-failing
  local key=$1 path=$2 next id stamp rest="(i_failures is null or i_failures <= 0) and i_next is not null"
  next=${key#n.} id=${next#*.} next=${next%%.*}
  stamp="${next:0:4}-${next:4:2}-${next:6:2} ${next:8:2}:${next:10:2}:${next:12:2}"
  local select="select $sp_columns from schedule_2 where" text failing
  echo "select count(*) from schedule_2;"
  echo "select count(*) from schedule_2 where i_failures > 0;"
  echo "$select i_failures > 0 order by i_failures desc, id desc limit 101;"
  for text in "$sp_broad:$3" "$sp_one:$4"; do
    failing=${text##*:} text=${text%:*}
    local like="(i_host like '%$text%' escape '!' or $path like '%$text%' escape '!')"
    echo "$select i_failures > 0 and $like order by i_failures desc, id desc limit 101;"
    [ "$failing" -le 100 ] &&
      echo "$select $rest and $like order by i_next, id limit $((101 - failing));"
  done
  echo "$select $rest and i_next >= '$stamp' and (i_next, id) > ('$stamp', $id) order by i_next, id limit 101;"
}

sp_plans() { # kind key broad-failing one-failing
  local statement
  case $1 in
    pg)
      sp_statements "$2" "split_part(i_object, '?', 1)" "$3" "$4" | while read -r statement; do
        echo "$statement"
        echo "EXPLAIN (ANALYZE, BUFFERS) $statement" | psql_status
        echo
      done ;;
    sqlite)
      sp_statements "$2" "substr(i_object, 1, instr(i_object || '?', '?') - 1)" "$3" "$4" |
        while read -r statement; do
          echo "$statement"
          printf '.timer on\nEXPLAIN QUERY PLAN %s\nSELECT count(*) FROM (%s);\n' "$statement" "${statement%;}" | sql_sqlite
          echo
        done ;;
  esac >"$work/status_page-plans-$1.txt" 2>&1
  # How far the one-host search's second statement reads in the order of
  # i_next before it has the rows the page shows (there is no index that
  # its pattern could use).
  local path rest="(i_failures IS NULL OR i_failures <= 0) AND i_next IS NOT NULL" like
  path=$([ "$1" = pg ] && echo "split_part(i_object, '?', 1)" || echo "substr(i_object, 1, instr(i_object || '?', '?') - 1)")
  like="(i_host LIKE '%$sp_one%' ESCAPE '!' OR $path LIKE '%$sp_one%' ESCAPE '!')"
  {
    echo "Entries that are not failing up to the one-host search's last row on the page, in the order of i_next:"
    echo "SELECT count(*) FROM schedule_2 WHERE $rest AND (i_next, id) <= (SELECT i_next, id FROM schedule_2
          WHERE $rest AND $like ORDER BY i_next, id LIMIT 1 OFFSET $((100 - $4)));" | "sql_$1"
  } >>"$work/status_page-plans-$1.txt"
}

# ---- PostgreSQL ------------------------------------------------------------------

echo "  PostgreSQL: $sp_n entries and $sp_results results ..." >&2
psql_jantor -c 'DROP DATABASE IF EXISTS jstatus' -c 'CREATE DATABASE jstatus' \
  -c 'ALTER DATABASE jstatus SET pg_stat_statements.track = top' >/dev/null
psql_status -f schema/postgres.sql >/dev/null
psql_status -f schema/postgres-results.sql >/dev/null
scripts/odbc-dsn.sh "$odbc" bench_pgst postgres 127.0.0.1 "$(cat "$work/pg/port")" jstatus
sp_started=$(date +%s)
sp_fill_results "$(stamp 0)"
sp_fill_pg "$(stamp 10)"
# As autovacuum would leave tables of that age; and it must not start on
# them while the pages are timed.
psql_status -c 'VACUUM ANALYZE schedule_2' -c 'VACUUM ANALYZE hit_results' >/dev/null
# The gigabytes just written must not go to the disk while pages are timed.
sync
record status_page.pg.fill "$(($(date +%s) - sp_started))" s
[ "$(echo "SELECT count(*) FROM hit_results;" | sql_pg)" = "$sp_results" ] || sp_fail "the results table is short"
psql_jantor -tA -c "SELECT pg_stat_statements_reset(0, (SELECT oid FROM pg_database WHERE datname = 'jstatus'), 0)" >/dev/null
echo "  PostgreSQL: the pages ..." >&2
sp_measure pg bench_pgst -u jantor -p "$(pg_password)"
# What jantor ran in that database, and the time each statement took in the
# server (the client's time less the driver's and jantor's own).
psql_jantor -c "SELECT calls, round(mean_exec_time::numeric, 2) AS mean_ms, round(max_exec_time::numeric, 2) AS max_ms,
                       rows, query
                FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid
                WHERE d.datname = 'jstatus' ORDER BY mean_exec_time DESC" >"$work/status_page-statements.txt"
sp_plans pg "${sp_plan_args[@]}"
# The next sections need neither table.
psql_jantor -c 'DROP DATABASE jstatus' >/dev/null

# ---- SQLite ----------------------------------------------------------------------

echo "  SQLite: $sp_n entries ..." >&2
rm -f "$sp_db" "$sp_db"-*
sql_sqlite <schema/sqlite.sql
sql_sqlite <<<'PRAGMA journal_mode=WAL;' >/dev/null
scripts/odbc-dsn.sh "$odbc" bench_status_sqlite sqlite "$sp_db" JournalMode=WAL SyncPragma=NORMAL
sp_started=$(date +%s)
sp_fill_sqlite "$(stamp 10)"
sync
record status_page.sqlite.fill "$(($(date +%s) - sp_started))" s
echo "  SQLite: the pages ..." >&2
sp_measure sqlite bench_status_sqlite
sp_plans sqlite "${sp_plan_args[@]}"
rm -f "$sp_db" "$sp_db"-*

# ---- Page loads during a cycle -------------------------------------------------

sp_load_n=20000 sp_load_rounds=$((2 * rounds)) sp_clients=10
record status_page.load.n "$sp_load_n"
record status_page.load.rounds "$sp_load_rounds"
record status_page.load.clients "$sp_clients"
# One cycle of jantor -c 8 -m for tag; with clients, ten of them reloading
# / every second from before jantor starts until its cycle has ended.
sp_load_run() { # tag with-clients
  local tag=$1 clients="" hwm
  fill_sqlite "$sp_load_n" "$tag"
  rm -f "$work/page_clients-$tag.log"
  if [ "$2" = 1 ]; then
    "$build/page_clients" 127.0.0.1 "$sp_port" / "$sp_clients" 1000 120 "$work/page_clients-$tag.log" &
    clients=$!
    watch_pids+=("$clients")
  fi
  read -r _ hwm < <(run_jantor bench_sqlite "$tag" -c 8 -m "127.0.0.1:$sp_port")
  if [ -n "$clients" ]; then kill "$clients" 2>/dev/null || true; wait "$clients" 2>/dev/null || true; fi
  [ "$(span "$tag" | cut -d' ' -f1)" = "$sp_load_n" ] || sp_fail "jantor ($tag) missed hits"
  record "hwm.${tag%-*}.${tag##*-}" "$hwm" KiB
}
# "answered-200 other median-ms most-ms" of the page loads that overlapped
# the cycle of a run (its first to its last request in nginx's log).
sp_loads_during() { # tag
  local first last ok other times
  read -r _ first last < <(span "$1")
  times=$(awk -v a="$first" -v b="$last" '$1 <= b && $2 >= a && $3 == "ok" && $5 == 200 {
      printf "%.1f\n", ($2 - $1) * 1000 }' "$work/page_clients-$1.log")
  ok=$(grep -c . <<<"$times" || true)
  other=$(awk -v a="$first" -v b="$last" '$1 <= b && $2 >= a && !($3 == "ok" && $5 == 200)' \
    "$work/page_clients-$1.log" | wc -l)
  if [ "$ok" = 0 ]; then echo "0 $other 0 0"; return; fi
  echo "$ok $other $(median <<<"$times") $(best <<<"$times")"
}
echo "  a cycle of $sp_load_n with and without page loads ..." >&2
for r in $(seq "$sp_load_rounds"); do
  if [ $((r % 2)) = 1 ]; then
    sp_load_run "spn-$r" 0
    sp_load_run "spl-$r" 1
  else
    sp_load_run "spl-$r" 1
    sp_load_run "spn-$r" 0
  fi
done
record_rates spl "$sp_load_rounds"
record_rates spn "$sp_load_rounds"
for r in $(seq "$sp_load_rounds"); do
  read -r ok other median most < <(sp_loads_during "spl-$r")
  record "status_page.load.pages.$r" "$ok"
  record "status_page.load.other.$r" "$other"
  record "status_page.load.ms.$r" "$median" ms
  record "status_page.load.most.$r" "$most" ms
done
record_end
