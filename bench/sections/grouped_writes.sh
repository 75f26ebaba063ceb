# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Grouped writes: what writing the reschedules of a group of ended hits in
# one statement and one commit gives a cycle without -l, against the same
# cycle of a baseline build, and against the cycle with -l hit_results
# (whose reschedules and result rows were grouped already). One cycle of
# N = BENCH_GW_N (default 20000) due GETs of /index.html against nginx on
# port 80:
#   - PostgreSQL (a database of its own, jgroup, on the bench's private
#     server; schema/postgres.sql and schema/postgres-results.sql), -c 8,
#     without -l, with -s 600, and with -l hit_results, each by this build
#     and by the baseline;
#   - MariaDB (a private server of its own, tests/support/mariadb.sh;
#     schema/mariadb.sql and schema/mariadb-results.sql), -c 8 without and
#     with -l hit_results, this build only;
#   - SQLite (WAL, SyncPragma=NORMAL, as bench/lib.sh's data source, in a
#     file of its own; schema/sqlite.sql), without -l at -c 1 and -c 8, by
#     this build and by the baseline.
# The baseline is jantor built from the commit BENCH_BASE (default
# 9946fd6), from git archive, configured and built the way bench_build
# builds this one, so that the two differ in their sources alone.
# Each round runs every way once, in the reverse order of the round before:
# the two ways of every pair take turns at going first. Before every run the
# schedule table is filled again, every entry due a minute ago (a claim of
# -s sets i_next ahead, and every run must start from the same table), and
# the results table emptied; every run is checked: every entry requested
# once and answered 200 (nginx's log, by the run's tag), every entry moved
# on to its next scheduled run, and with -l a result row for each.
gw_n=${BENCH_GW_N:-20000}
gw_base=$(git -C "$root" rev-parse --verify "${BENCH_BASE:-9946fd6}^{commit}")
gw_db=$work/grouped-writes.db
gw_my=$work/gw-mariadb

gw_fail() { echo "bench: grouped writes: $*" >&2; exit 1; }

# The private MariaDB server stops with the section, whether it fails or
# not; the rest is run.sh's to stop.
gw_cleanup() {
  tests/support/mariadb.sh stop "$gw_my" >/dev/null 2>&1 || true
  section_cleanup
}
trap gw_cleanup EXIT

# ---- The baseline -----------------------------------------------------------------

# Built here, not once for all runs: run.sh empties the work folder, and a
# build kept elsewhere could be of other sources than BENCH_BASE names.
echo "  baseline build of ${gw_base:0:10} ..." >&2
rm -rf "$work/gw-base-src" "$work/gw-base-build"
mkdir -p "$work/gw-base-src"
git -C "$root" archive "$gw_base" | tar -x -C "$work/gw-base-src"
{
  cmake -S "$work/gw-base-src" -B "$work/gw-base-build" -DJANTOR_TESTS=OFF &&
    cmake --build "$work/gw-base-build" --target jantor -j"$(nproc)"
} >"$work/gw-base-build.log" 2>&1 || { tail -n 30 "$work/gw-base-build.log" >&2; gw_fail "the baseline did not build"; }
gw_base_jantor=$work/gw-base-build/jantor

# ---- The databases ----------------------------------------------------------------

psql_gw() { PGPASSWORD=$(pg_password) psql -q -X -tA -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$(cat "$work/pg/port")" -U jantor -d jgroup "$@"; }
PGOPTIONS='-c client_min_messages=warning' psql_jantor -c 'DROP DATABASE IF EXISTS jgroup' -c 'CREATE DATABASE jgroup' >/dev/null
psql_gw -f schema/postgres.sql -f schema/postgres-results.sql >/dev/null
scripts/odbc-dsn.sh "$odbc" gw_pg postgres 127.0.0.1 "$(cat "$work/pg/port")" jgroup

tests/support/mariadb.sh start "$gw_my" >/dev/null
sql_mariadb() { mariadb --no-defaults -N -B -h 127.0.0.1 -P "$(cat "$gw_my/port")" -u jantor -p"$(cat "$gw_my/password")" jantor; }
cat schema/mariadb.sql schema/mariadb-results.sql | sql_mariadb
scripts/odbc-dsn.sh "$odbc" gw_mariadb mariadb 127.0.0.1 "$(cat "$gw_my/port")" jantor

rm -f "$gw_db"*
sqlite3 "$gw_db" <schema/sqlite.sql
sqlite3 "$gw_db" 'PRAGMA journal_mode=WAL;' >/dev/null
scripts/odbc-dsn.sh "$odbc" gw_sqlite sqlite "$gw_db" JournalMode=WAL SyncPragma=NORMAL

# Each database's statements from standard input, its answers one a line.
gw_sql() { # kind
  case $1 in
    pg) psql_gw ;;
    mariadb) sql_mariadb ;;
    sqlite) sqlite3 "$gw_db" ;;
  esac
}
# jantor's login for each database (SQLite needs none).
gw_login() { # kind
  case $1 in
    pg) echo "-u jantor -p $(pg_password)" ;;
    mariadb) echo "-u jantor -p $(cat "$gw_my/password")" ;;
  esac
}

# N entries for tag, all due at due (local time, as jantor reads it), in
# place of what the table held, and no result rows; then the check that
# every entry is due now.
gw_fill() { # kind tag due
  local kind=$1 tag=$2 due=$3 now
  case $kind in
    pg) gw_sql pg >/dev/null <<SQL
TRUNCATE schedule_2;
TRUNCATE hit_results;
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT i, NULL, NULL, 80, '/index.html?$tag-' || i, '127.0.0.1', 30, 86400, '$due', 0, 1
FROM generate_series(1, $gw_n) AS i;
ANALYZE schedule_2;
ANALYZE hit_results;
SQL
      now=localtimestamp ;;
    mariadb) gw_sql mariadb >/dev/null <<SQL
TRUNCATE TABLE schedule_2;
TRUNCATE TABLE hit_results;
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop)
SELECT seq, NULL, NULL, 80, concat('/index.html?$tag-', seq), '127.0.0.1', 30, 86400, '$due', 0, 1
FROM seq_1_to_$gw_n;
ANALYZE TABLE schedule_2;
ANALYZE TABLE hit_results;
SQL
      now="now()" ;;
    sqlite)
      fill_schedule "$gw_db" "$gw_n" "$tag" 127.0.0.1 /index.html "'$due'"
      # Every run starts from an empty log, not one of the fill's pages.
      sqlite3 "$gw_db" 'PRAGMA wal_checkpoint(TRUNCATE);' >/dev/null
      now="datetime('now', 'localtime')" ;;
  esac
  local due_now
  due_now=$(echo "SELECT count(*) FROM schedule_2 WHERE i_next <= $now;" | gw_sql "$kind")
  [ "$due_now" = "$gw_n" ] || gw_fail "$tag: $due_now of $gw_n entries due after the fill"
}

# ---- The runs ---------------------------------------------------------------------

# One cycle of the build named (new: this one, base: the baseline) on the
# database kind for tag, extra arguments to jantor; then its checks, and
# its rate recorded as rate.gw.<kind>.<way>.<build>.<round>.
gw_run() { # kind way build round args...
  local kind=$1 way=$2 build_of=$3 r=$4 bin=$jantor
  shift 4
  [ "$build_of" = base ] && bin=$gw_base_jantor
  local tag=gw-$kind-$way-$build_of-$r due next pid got
  due=$(stamp -1)
  # The next scheduled run of an entry due then, as jantor counts it in local time.
  next=$(date -d "@$(($(date -d "$due" +%s) + 86400))" '+%Y-%m-%d %H:%M:%S')
  gw_fill "$kind" "$tag" "$due"
  # shellcheck disable=SC2046  # the login is two options and their values
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$bin" -d "gw_$kind" $(gw_login "$kind") -i 3600 "$@" \
    >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  pid=$!
  watch_pids+=("$pid")
  wait_cycles "$pid" || gw_fail "$tag: the cycle did not end"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true

  # Requests, the entries they asked for, and those answered 200.
  local requests entries answered
  read -r requests entries answered < <(grep -F "?$tag-" "$log" |
    awk '{ n++; if (!seen[$4]++) e++; if ($NF == 200) ok++ } END { printf "%d %d %d\n", n, e, ok }')
  if [ "$requests" != "$gw_n" ] || [ "$entries" != "$gw_n" ] || [ "$answered" != "$gw_n" ]; then
    gw_fail "$tag made $requests requests for $entries of $gw_n entries, $answered answered 200 (see $work/jantor-$tag.err)"
  fi
  got=$(echo "SELECT count(*) FROM schedule_2 WHERE i_next = '$next';" | gw_sql "$kind")
  [ "$got" = "$gw_n" ] || gw_fail "$tag moved $got of $gw_n entries on to $next"
  if [[ " $* " = *" -l "* ]]; then
    got=$(echo "SELECT count(*) FROM hit_results;" | gw_sql "$kind")
    [ "$got" = "$gw_n" ] || gw_fail "$tag wrote $got of $gw_n result rows"
  fi
  record "rate.gw.$kind.$way.$build_of.$r" "$(rate "$tag")" hits/s
}

# A round's runs in the order of an odd round: "kind way build" and the
# options of jantor.
gw_ways=(
  "pg plain new -c 8" "pg plain base -c 8"
  "pg s new -c 8 -s 600" "pg s base -c 8 -s 600"
  "pg l new -c 8 -l hit_results" "pg l base -c 8 -l hit_results"
  "mariadb plain new -c 8" "mariadb l new -c 8 -l hit_results"
  "sqlite c1 new -c 1" "sqlite c1 base -c 1"
  "sqlite c8 new -c 8" "sqlite c8 base -c 8"
)

record_start
record grouped_writes.n "$gw_n"
record grouped_writes.rounds "$rounds"
record grouped_writes.base "${gw_base:0:10}"
record grouped_writes.new "$(git -C "$root" describe --always --dirty --abbrev=10)"
record grouped_writes.postgres "$(psql_gw -c 'SHOW server_version' | cut -d' ' -f1)"
record grouped_writes.mariadb "$(echo 'SELECT version();' | sql_mariadb | cut -d- -f1)"
for r in $(seq "$rounds"); do
  echo "  round $r of $rounds ..." >&2
  order=("${!gw_ways[@]}")
  if [ $((r % 2)) = 0 ]; then
    mapfile -t order < <(printf '%s\n' "${order[@]}" | tac)
  fi
  for i in "${order[@]}"; do
    read -r kind way build_of args <<<"${gw_ways[$i]}"
    # shellcheck disable=SC2086  # args are jantor's options, one a word
    gw_run "$kind" "$way" "$build_of" "$r" $args
  done
done
record_end
psql_jantor -c 'DROP DATABASE jgroup' >/dev/null
