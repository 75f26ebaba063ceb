# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# What a rule on the reply (i_expect) costs, and what -H does for the other
# hosts when one is slow. SQLite (WAL), the shipped schema:
#   - N = 20000 due GETs of /index.html against nginx at -c 8: every entry
#     with i_expect '200; body contains from nginx' (text of the page, so
#     every hit meets it) against the same entries with i_expect NULL.
#     Every run is checked: N requests, and every entry's i_outcome 'ok'.
#   - -c 256 over 10000 due entries, every tenth on bench/delay_server.c at
#     127.0.0.2:80 answering each request 50 ms after it is whole, the rest
#     on nginx spread over 64 hosts (its addresses 127.0.1.1 to 127.0.1.64,
#     each a host of its own to -H, as a daemon's other servers would be),
#     with -H 4 and without. The delay server logs each request's
#     arrival, and an answer takes exactly 50 ms, so the most requests it
#     held at once is the most arrivals within 50 ms of each other (49 ms,
#     against the clocks' rounding). The other hosts' rate is nginx's, first
#     to last request of the run.
# Each round runs each pair's two ways seconds apart, taking turns at going
# first.
ec_n=${BENCH_EC_N:-20000} ec_mix=${BENCH_EC_MIX:-10000}  # smaller for a trial
ec_db=$work/expect-cap.db
rm -f "$ec_db"*
sqlite3 "$ec_db" <schema/sqlite.sql
sqlite3 "$ec_db" 'PRAGMA journal_mode=WAL;' >/dev/null
scripts/odbc-dsn.sh "$odbc" ec_sqlite sqlite "$ec_db" JournalMode=WAL SyncPragma=NORMAL

ec_fail() { echo "bench: expect_cap: $*" >&2; exit 1; }

# One cycle over the entries of tag on nginx, i_expect as given (SQL).
ec_expect() { # tag expect
  fill_schedule "$ec_db" "$ec_n" "$1" 127.0.0.1 /index.html "'$(stamp -1)'" "i_expect=$2"
  run_jantor ec_sqlite "$1" -c 8 >/dev/null
  local got
  got=$(span "$1" | cut -d' ' -f1)
  [ "$got" = "$ec_n" ] || ec_fail "$1 made $got of $ec_n requests"
  got=$(sqlite3 "$ec_db" "SELECT count(*) FROM schedule_2 WHERE i_outcome = 'ok'")
  [ "$got" = "$ec_n" ] || ec_fail "$1 left $got of $ec_n entries ok"
}

# The most requests of tag the delay server held at once.
ec_held() { # tag
  { grep -F "?$1-" "$delay_log" || true; } | awk '
    { t[n++] = $1 }
    END { most = 0; j = 0
          for (i = 0; i < n; i++) { while (t[i] - t[j] >= 0.049) j++; if (i - j + 1 > most) most = i - j + 1 }
          print most }'
}

# One cycle of -c 256 over the mixed entries, with the options given.
ec_cap() { # tag options...
  local tag=$1
  shift
  fill_schedule "$ec_db" "$ec_mix" "$tag" 127.0.0.1 /index.html "'$(stamp -1)'"
  sqlite3 "$ec_db" "UPDATE schedule_2 SET i_host = CASE WHEN id % 10 = 0 THEN '127.0.0.2'
    ELSE '127.0.1.' || (1 + id % 64) END"
  run_jantor ec_sqlite "$tag" -c 256 "$@" >/dev/null
  local slow fast
  slow=$(span "$tag" "$delay_log" | cut -d' ' -f1)
  fast=$(span "$tag" | cut -d' ' -f1)
  [ "$slow" = $((ec_mix / 10)) ] || ec_fail "$tag made $slow of $((ec_mix / 10)) requests to the slow host"
  [ "$fast" = $((ec_mix - ec_mix / 10)) ] || ec_fail "$tag made $fast of $((ec_mix - ec_mix / 10)) requests to nginx"
}

record_start
record expect_cap.rounds "$rounds"
record expect_cap.n "$ec_n"
record expect_cap.mix "$ec_mix"
start_delay 50
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then ways="plain rule"; else ways="rule plain"; fi
  for way in $ways; do
    if [ "$way" = rule ]; then
      ec_expect "ecr-$r" "'200; body contains from nginx'"
    else
      ec_expect "ecp-$r" NULL
    fi
  done
  if [ $((r % 2)) = 1 ]; then ways="free capped"; else ways="capped free"; fi
  for way in $ways; do
    if [ "$way" = capped ]; then
      ec_cap "ecc-$r" -H 4
      record "expect_cap.held.capped.$r" "$(ec_held "ecc-$r")"
    else
      ec_cap "ecf-$r"
      record "expect_cap.held.free.$r" "$(ec_held "ecf-$r")"
    fi
  done
done
stop_delay
for key in ecr ecp ecc ecf; do record_rates "$key" "$rounds"; done
record_end
