# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# What paused entries cost a cycle, and what the columns of missed runs and
# pauses cost where they are left NULL, the shipped schemas:
#   - 1,000,000 entries on SQLite (WAL) and on PostgreSQL, 1000 of them
#     falling due between two cycles (one in 1000), so that the cycle measured hits
#     something; in one of each round's two ways 100,000 more are due and
#     paused (i_next an hour ago, i_paused_until tomorrow), in the other
#     those 100,000 are not due (i_next tomorrow, no pause). The second
#     cycle is timed from jantor's own alarm calls; the figure is the
#     difference of the two ways' medians.
#   - N = 20000 due GETs of /index.html against nginx at -c 8 on SQLite: the
#     shipped table, i_missed and i_paused_until NULL, against the same
#     table without the two columns (and its index on i_next alone).
# Each round runs each pair's two ways seconds apart, taking turns at going
# first.
pz_n=${BENCH_PZ_N:-1000000}
pz_paused=$((pz_n / 10)) pz_due=$((pz_n / 1000))
pz_rate_n=${BENCH_PZ_RATE_N:-20000}
pz_db=$work/pauses.db pz_plain_db=$work/pauses-plain.db
rm -f "$pz_db"* "$pz_plain_db"*
sqlite3 "$pz_db" <schema/sqlite.sql
sed -e '/^ *-- What runs missed while jantor was away/,/^ *i_paused_until /d' \
  -e 's/ (i_next, id, i_paused_until);/ (i_next);/' \
  -e '/^-- Finds the pauses that have ended/,/^CREATE INDEX schedule_2_paused /d' schema/sqlite.sql |
  sqlite3 "$pz_plain_db"
for file in "$pz_db" "$pz_plain_db"; do sqlite3 "$file" 'PRAGMA journal_mode=WAL;' >/dev/null; done
pz_columns() { sqlite3 "$1" "SELECT group_concat(name, ' ') FROM pragma_table_info('schedule_2')"; }
if [ "$(pz_columns "$pz_db" | sed 's/ i_missed i_paused_until//')" != "$(pz_columns "$pz_plain_db")" ]; then
  echo "bench: pauses: the table without the two columns did not come out of schema/sqlite.sql as meant:" >&2
  echo "  shipped: $(pz_columns "$pz_db")" >&2
  echo "  without: $(pz_columns "$pz_plain_db")" >&2
  exit 1
fi
scripts/odbc-dsn.sh "$odbc" pz_sqlite sqlite "$pz_db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" pz_plain sqlite "$pz_plain_db" JournalMode=WAL SyncPragma=NORMAL

pz_fail() { echo "bench: pauses: $*" >&2; exit 1; }

# The i_next and i_paused_until of entry i in way (paused or plain). The
# entries that fall due between the cycles are set just before the run (a
# million rows take seconds to write).
pz_next() {
  local later
  later=$(stamp 1440)
  echo "CASE WHEN i % 10 = 0 AND '$1' = 'paused' THEN '$(stamp -60)' ELSE '$later' END"
}
pz_pause() { echo "CASE WHEN i % 10 = 0 AND '$1' = 'paused' THEN '$(stamp 1440)' END"; }

# One measured cycle over the million entries on SQLite, in way; its
# length in pz_ms (a failure ends the section, which a command substitution
# would hide).
pz_sqlite_cycle() { # way tag
  fill_schedule "$pz_db" "$pz_n" "$2" 127.0.0.1 /index.html "$(pz_next "$1")" \
    "i_paused_until=$(pz_pause "$1")"
  sqlite3 "$pz_db" "UPDATE schedule_2 SET i_next = '$(stamp 3 seconds)' WHERE id % 1000 = 1"
  local ms
  read -r ms _ < <(run_jantor_second pz_sqlite "$2" "$pz_due")
  [ "$(span "$2" | cut -d' ' -f1)" = "$pz_due" ] || pz_fail "$2 made $(span "$2" | cut -d' ' -f1) of $pz_due requests"
  pz_ms=$ms
}

# The same on PostgreSQL.
pz_pg_cycle() { # way tag
  psql_jantor <<SQL
TRUNCATE schedule_2;
INSERT INTO schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop,
                        i_paused_until)
SELECT i, 80, '/index.html?$2-' || i, '127.0.0.1', 30, 86400, ($(pz_next "$1"))::timestamp, 0, 1,
       ($(pz_pause "$1"))::timestamp
FROM generate_series(1, $pz_n) AS i;
ANALYZE schedule_2;
UPDATE schedule_2 SET i_next = '$(stamp 3 seconds)' WHERE id % 1000 = 1;
SQL
  local ms
  read -r ms _ < <(run_jantor_second bench_pg "$2" "$pz_due" -u jantor -p "$(pg_password)")
  [ "$(span "$2" | cut -d' ' -f1)" = "$pz_due" ] || pz_fail "$2 made $(span "$2" | cut -d' ' -f1) of $pz_due requests"
  pz_ms=$ms
}

# One cycle of N due entries at -c 8 on dsn (pz_sqlite or pz_plain).
pz_rate() { # dsn file tag
  fill_schedule "$2" "$pz_rate_n" "$3" 127.0.0.1 /index.html "'$(stamp -1)'"
  run_jantor "$1" "$3" -c 8 >/dev/null
  local got
  got=$(span "$3" | cut -d' ' -f1)
  [ "$got" = "$pz_rate_n" ] || pz_fail "$3 made $got of $pz_rate_n requests"
}

record_start
record pauses.rounds "$rounds"
record pauses.n "$pz_n"
record pauses.paused "$pz_paused"
record pauses.rate_n "$pz_rate_n"
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then ways="plain paused"; else ways="paused plain"; fi
  for way in $ways; do
    pz_sqlite_cycle "$way" "pzs$way-$r"
    record "pauses.sqlite.$way.$r" "$pz_ms" ms
    pz_pg_cycle "$way" "pzp$way-$r"
    record "pauses.pg.$way.$r" "$pz_ms" ms
  done
  if [ $((r % 2)) = 1 ]; then ways="without nulls"; else ways="nulls without"; fi
  for way in $ways; do
    if [ "$way" = nulls ]; then pz_rate pz_sqlite "$pz_db" "pzn-$r"; else pz_rate pz_plain "$pz_plain_db" "pzw-$r"; fi
  done
done
for key in pzn pzw; do record_rates "$key" "$rounds"; done
psql_jantor -c 'TRUNCATE schedule_2' >/dev/null
record_end
