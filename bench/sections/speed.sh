# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Speed: N = 200, 2000 and 20000 due entries against nginx, every way:
# jantor -c 1 and -c 8, the plain loop and one curl (race), a shell loop
# starting curl once per URL, and the driver's result set of the N = 20000
# cycle measured apart. At N = 2000 jantor also runs on the eleven-column
# table (below).

# One curl process must not keep a connection for the next URL: every
# transfer below reports one new connection.
urls 20 check | sed 's/.*/url = "&"/' >"$work/check.cfg"
connects=$(curl "${curl_opts[@]}" -o /dev/null -w '%{num_connects}\n' -K "$work/check.cfg" |
  awk '{ s += $1 } END { print s }')
[ "$connects" = 20 ] || { echo "bench: curl reused connections ($connects for 20)" >&2; exit 1; }

# The table the speed targets were first set for, beside the shipped one:
# the eleven columns of the schedule format without the optional ones (an
# entry's own call, its calendar, retries and the state kept for them, the
# latest attempts, the rule on the reply, the splay), whose hits write
# i_next alone. At N = 2000, in the same rounds, it shows what the columns
# that every hit of the shipped table writes cost on this machine.
basic_db=$work/basic.db
rm -f "$basic_db"*
sed -e "/^ *-- The entry's own web call/,/^ *i_splay /d" -e 's/^\( *i_stop .*[^,]\),$/\1/' \
  -e '/^-- Makes "which entries fail"/,/^CREATE INDEX schedule_2_failures /d' \
  -e '/^-- The entries whose last run failed/,/^ *WHERE i_failures > 0;/d' \
  -e 's/ (i_next, id, i_paused_until);/ (i_next);/' \
  -e '/^-- Finds the pauses that have ended/,/^CREATE INDEX schedule_2_paused /d' schema/sqlite.sql |
  sqlite3 "$basic_db"
basic_columns=$(sqlite3 "$basic_db" "SELECT group_concat(name, ' ') FROM pragma_table_info('schedule_2')")
if [ "$basic_columns" != "id i_user i_pass i_port i_object i_host i_timeout i_interval i_next i_start i_stop" ]; then
  echo "bench: the eleven-column table did not come out of schema/sqlite.sql as meant: $basic_columns" >&2
  exit 1
fi
sqlite3 "$basic_db" 'PRAGMA journal_mode=WAL;' >/dev/null
scripts/odbc-dsn.sh "$odbc" bench_basic sqlite "$basic_db" JournalMode=WAL SyncPragma=NORMAL

record speed.rounds "$rounds"
record clk_tck "$clk_tck"
for n in 200 2000 20000; do
  echo "N = $n ..." >&2
  basic=""
  if [ "$n" = 2000 ]; then basic=$basic_db; fi
  race_basic=$basic race "$n" "$n"
  for way in js jc ${basic:+jb jd}; do
    [ "$(span "$way$n-1" | cut -d' ' -f1)" = "$n" ] || { echo "bench: jantor ($way) missed hits at N=$n" >&2; exit 1; }
  done
  # One curl process per URL is slow: at most 2000 of them, and the report
  # lets its rate stand for the larger N.
  if [ "$n" -le 2000 ]; then
    run_curl_loop "$n" "cl$n"
    record "rate.cl$n" "$(rate "cl$n")" hits/s
  fi
  # The driver's result set for the N = 20000 cycle, measured apart.
  if [ "$n" = 20000 ]; then
    fill_sqlite "$n" rs
    read -r resultset_kib _ < <(ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$build/odbc_resultset" \
      bench_sqlite "" "" "select id, i_user, i_pass, i_port, i_object, i_host, i_timeout, \
i_interval, i_next from schedule_2 where i_next < '$(stamp 0)' AND 0.5 >= i_start and 0.5 <= i_stop")
    record speed.resultset "$resultset_kib" KiB
  fi
done
# jantor -c 1's processor time at N = 2000, for the TLS table's comparison.
for r in $(seq "$rounds"); do record "cpu.js2000.$r" "$(cat "$work/jantor-js2000-$r.cpu")" ticks; done
