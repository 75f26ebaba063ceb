# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Retries: what a failed run and its retry cost, and what the retry and state
# columns cost a table that does not use them. N = 20000 due GETs on SQLite
# (WAL, as the shipped example sets it up), in four databases of their own:
#   - retries: the shipped schema, every entry with i_retries 3 and
#     i_retry_delay 1, against bench/delay_server.c on 127.0.0.2:80 answering
#     at once, 503 to each target's first request and 200 to the next. Two
#     poll cycles of jantor -c 8 -i 4: the 20000 failed attempts, each
#     rescheduled a second later, then after the sleep the 20000 retries.
#     Attempts a second over the two cycles' own spans (first to last request
#     of each in the server's log; the sleep between them is not the cost of
#     a retry);
#   - against the same entries in a table made before the retry columns, one
#     cycle of jantor -c 8 against the same server answering 200 throughout
#     (it keeps the same book of targets), so the two differ in the retries
#     alone;
#   - against nginx, a table with every retry and state column there but
#     unused against the table before them, one cycle each at -c 1 and -c 8.
#     An entry's first successful hit sets i_outcome to 'ok' and i_failures
#     to 0 once; that is a one-off, so both tables have a warm-up cycle and
#     every measured cycle then finds the entries as a running daemon leaves
#     them. Between runs one UPDATE makes every entry due again under the
#     run's tag, the same on both sides.
# Each round runs every pair's two ways seconds apart, taking turns at going
# first. Every run is checked: every entry requested as meant (the failing
# server's log says which answer each request got) and moved on to its next
# scheduled run, its kept state as it must be. The peak resident memory
# (VmHWM) of each run is jantor's whole process, start-up included.
rt_n=20000
rt_log=$work/retries.log
rt_retry_db=$work/retries-retry.db rt_plain_db=$work/retries-plain.db
rt_nulls_db=$work/retries-nulls.db rt_before_db=$work/retries-before.db
rm -f "$rt_log" "$work"/retries-*.db*

record_start
record retries.rounds "$rounds"
record retries.n "$rt_n"

# The table as it was before the retry columns: the shipped schema without
# the lines of the ten columns of retries and kept state and the columns
# after them, the index on i_failures and the view over it. i_zone is then
# the last column and loses its comma.
rt_before_schema() {
  sed -e '/^ *-- Retries of a failed run/,/^ *i_splay /d' \
    -e 's/^\( *i_zone .*[^,]\),$/\1/' \
    -e '/^-- Makes "which entries fail"/,/^CREATE INDEX schedule_2_failures /d' \
    -e '/^-- The entries whose last run failed/,/^ *WHERE i_failures > 0;/d' \
    -e 's/ (i_next, id, i_paused_until);/ (i_next);/' \
    -e '/^-- Finds the pauses that have ended/,/^CREATE INDEX schedule_2_paused /d' schema/sqlite.sql
}
# The table with the retry columns and no more: the shipped schema without
# the status page's four columns of the latest attempts, which every hit
# writes (what those cost is the status page's, measured apart), and the
# columns after them. i_outcome is then the last column and loses its comma.
rt_retry_schema() {
  sed -e '/^ *-- Kept by jantor for the status page/,/^ *i_splay /d' \
    -e 's/^\( *i_outcome .*[^,]\),$/\1/' \
    -e 's/ (i_next, id, i_paused_until);/ (i_next);/' \
    -e '/^-- Finds the pauses that have ended/,/^CREATE INDEX schedule_2_paused /d' schema/sqlite.sql
}
rt_columns() { sqlite3 "$1" "SELECT group_concat(name, ' ') FROM pragma_table_info('schedule_2')"; }
for file in "$rt_retry_db" "$rt_nulls_db"; do rt_retry_schema | sqlite3 "$file"; done
for file in "$rt_plain_db" "$rt_before_db"; do rt_before_schema | sqlite3 "$file"; done
for file in "$rt_retry_db" "$rt_nulls_db" "$rt_plain_db" "$rt_before_db"; do
  sqlite3 "$file" 'PRAGMA journal_mode=WAL;' >/dev/null
done
rt_state_columns="i_retries i_retry_delay i_attempt i_run i_failures i_outcome"
if [ "$(rt_columns "$rt_nulls_db")" != "$(rt_columns "$rt_before_db") $rt_state_columns" ] ||
  [ -n "$(sqlite3 "$rt_before_db" "SELECT name FROM sqlite_master WHERE sql LIKE '%i_failures%'")" ]; then
  echo "bench: the table before the retry columns did not come out of schema/sqlite.sql as meant:" >&2
  echo "  shipped: $(rt_columns "$rt_nulls_db")" >&2
  echo "  before:  $(rt_columns "$rt_before_db")" >&2
  exit 1
fi
scripts/odbc-dsn.sh "$odbc" rt_retry sqlite "$rt_retry_db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" rt_plain sqlite "$rt_plain_db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" rt_nulls sqlite "$rt_nulls_db" JournalMode=WAL SyncPragma=NORMAL
scripts/odbc-dsn.sh "$odbc" rt_before sqlite "$rt_before_db" JournalMode=WAL SyncPragma=NORMAL

# The entries' scheduled time, a minute ago, and their next scheduled run
# after it, as jantor counts it in local time.
rt_due=$(stamp -1)
rt_next=$(date -d "@$(($(date -d "$rt_due" +%s) + 86400))" '+%Y-%m-%d %H:%M:%S')

# N entries for tag in the database file, all due, GETs of /index.html?TAG-i
# on host, interval a day; with retries and delay, those two columns set.
# The log of the fill is checkpointed, so every run starts from an empty one.
rt_fill() { # file tag host [retries delay]
  local retries=()
  if [ $# -gt 3 ]; then retries=(i_retries="$4" i_retry_delay="$5"); fi
  fill_schedule "$1" "$rt_n" "$2" "$3" /index.html "'$rt_due'" "${retries[@]}"
  sqlite3 "$1" 'PRAGMA wal_checkpoint(TRUNCATE);' >/dev/null
}

# Every entry due again under a new tag, nothing else of the rows touched.
rt_rearm() { # file tag
  sqlite3 "$1" >/dev/null <<SQL
UPDATE schedule_2 SET i_next = '$rt_due', i_object = '/index.html?$2-' || id;
PRAGMA wal_checkpoint(TRUNCATE);
SQL
}

rt_fail() { echo "bench: $*" >&2; exit 1; }

# Every entry of the file moved on to its next scheduled run (next, unless
# given: a day after they were due); in a table with the state columns, with
# no retry pending, no failed run in a row (0, as a success leaves it) and
# 'ok' as the latest outcome.
rt_check_moved() { # file tag [next]
  local where="i_next = '${3:-$rt_next}'"
  [[ " $(rt_columns "$1") " = *" i_outcome "* ]] &&
    where+=" AND i_attempt IS NULL AND i_run IS NULL AND i_failures = 0 AND i_outcome = 'ok'"
  local moved
  moved=$(sqlite3 "$1" "SELECT count(*) FROM schedule_2 WHERE $where")
  [ "$moved" = "$rt_n" ] || rt_fail "$2: $moved of $rt_n entries moved on as meant ($where)"
}

# The run reached nginx with every request, each answered 200.
rt_check_nginx() { # tag
  local got
  got=$(grep -F "?$1-" "$log" | awk '$NF == 200' | wc -l)
  [ "$got" = "$rt_n" ] || rt_fail "$1 made $got of $rt_n requests answered 200 by nginx"
}

# "first first-begins first-ends second second-begins second-ends wrong"
# of a run of two cycles: the requests answered first-status (503 for the
# failed attempts) and 200, with the times of the first and last of each, and
# how many requests or targets broke the pattern (a target's first request
# answered first-status, its second 200, no third).
rt_attempts() { # tag first-status
  awk -v t="?$1-" -v s="$2" 'index($2, t) {
      k = ++seen[$2]
      if (k == 1) { if ($3 != s) wrong++; if (!first++) f1 = $1; l1 = $1 }
      else if (k == 2) { if ($3 != 200) wrong++; if (!second++) f2 = $1; l2 = $1 }
      else wrong++
    }
    END { for (x in seen) if (seen[x] != 2) wrong++
          printf "%d %s %s %d %s %s %d\n", first, f1, l1, second, f2, l2, wrong }' "$rt_log"
}

# The server of the first pair's runs: the delay server answering at once
# on 127.0.0.2:80, first-status (503, or 200 for the run without retries) to
# each target's first request and 200 to any later one. Started again for
# each run, so that its book of targets holds the run's own alone.
rt_server() { # first-status
  [ -z "$delay_pid" ] || stop_delay
  rm -f "$work/delay.port"
  "$delay_program" 127.0.0.2 80 0 1800 0 "$rt_log" "$1" >"$work/delay.port" 2>"$work/delay.err" &
  delay_pid=$!
  for _ in $(seq 100); do [ -s "$work/delay.port" ] && return 0; sleep 0.02; done
  rt_fail "the delay server did not start: $(cat "$work/delay.err")"
}

declare -A rates hwms  # [<key>-<round>]

# Two poll cycles of jantor -c 8 -i 4 on data source dsn for tag, against the
# server started for the run: jantor is in sigsuspend between cycles
# (wait_cycles), once at the end of the first and again once the second has
# begun and ended. Checks that each of the run's targets was requested
# twice, first answered first-status and then 200, every request of the
# second cycle after the last of the first. Leaves "rate-1 rate-2
# rate-both gap hwm-1 hwm-2" in rt_result: requests a second over the first
# cycle's span, the second's, and both cycles' spans together; the seconds
# from the first cycle's last request to the second's first; jantor's peak
# resident size (KiB) after the first cycle and after the second. Runs in
# this shell, not in a command substitution, so that a failed check ends
# the section.
rt_two_cycles() { # dsn tag first-status
  local tag=$2 pid call=130 hwm1 hwm2
  ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d "$1" -i 4 -c 8 \
    >"$work/jantor-$tag.out" 2>"$work/jantor-$tag.err" &
  pid=$!
  watch_pids+=("$pid")
  wait_cycles "$pid" || rt_fail "$tag: the first cycle did not end"
  hwm1=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status 2>/dev/null || echo 0)
  for _ in $(seq 300); do
    read -r call _ </proc/"$pid"/syscall 2>/dev/null || call=gone
    [ "$call" = 130 ] || break
    sleep 0.1
  done
  [ "$call" != 130 ] || rt_fail "$tag: the second cycle did not begin within 30 s"
  wait_cycles "$pid" || rt_fail "$tag: the second cycle did not end"
  hwm2=$(awk '/^VmHWM:/ { print $2 }' /proc/"$pid"/status 2>/dev/null || echo 0)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local first f1 l1 second f2 l2 wrong
  read -r first f1 l1 second f2 l2 wrong < <(rt_attempts "$tag" "$3")
  if [ "$first" != "$rt_n" ] || [ "$second" != "$rt_n" ] || [ "$wrong" != 0 ]; then
    rt_fail "$tag: $first first requests answered $3 and $second second ones answered 200 of $rt_n, $wrong out of pattern"
  fi
  awk -v a="$l1" -v b="$f2" 'BEGIN { exit !(a < b) }' ||
    rt_fail "$tag: the second cycle began before the first ended ($f2 against $l1)"
  rt_result=$(awk -v n="$rt_n" -v f1="$f1" -v l1="$l1" -v f2="$f2" -v l2="$l2" -v h1="$hwm1" -v h2="$hwm2" \
    'BEGIN { printf "%.0f %.0f %.0f %.2f %d %d\n", (n - 1) / (l1 - f1), (n - 1) / (l2 - f2),
             2 * (n - 1) / (l1 - f1 + l2 - f2), f2 - l1, h1, h2 }')
}

# The ways. Each runs one round's run under tag <key>-<round>, checks it
# and keeps its rate and jantor's peak in rates and hwms.
#
# Retries: the failed attempts' cycle and the retries' cycle.
way_rtr() { # tag
  local tag=$1 r=${1#*-} rate1 rate2 both gap hwm1 hwm2
  rt_fill "$rt_retry_db" "$tag" 127.0.0.2 3 1
  rt_server 503
  rt_two_cycles rt_retry "$tag" 503
  read -r rate1 rate2 both gap hwm1 hwm2 <<<"$rt_result"
  rt_check_moved "$rt_retry_db" "$tag"
  rates[$tag]=$both hwms[$tag]=$hwm2
  record "rate.rtr1.$r" "$rate1" hits/s
  record "rate.rtr2.$r" "$rate2" hits/s
  record "retries.gap.$r" "$gap" s
  record "hwm.rtr1.$r" "$hwm1" KiB
}
# ... without retry columns, one cycle answered 200.
way_rtb() { # tag
  local tag=$1 got hwm
  rt_fill "$rt_plain_db" "$tag" 127.0.0.2
  rt_server 200
  read -r _ hwm < <(run_jantor rt_plain "$tag" -c 8)
  hwms[$tag]=$hwm
  got=$(grep -F "?$tag-" "$rt_log" | awk '$3 == 200' | wc -l)
  [ "$got" = "$rt_n" ] || rt_fail "$tag made $got of $rt_n requests answered 200"
  rt_check_moved "$rt_plain_db" "$tag"
  rates[$tag]=$(rate "$tag" "$rt_log")
}
# ... and against nginx, the table with the columns unused and the one
# before them, at -c 1 and -c 8.
rt_nginx() { # file dsn c tag
  local hwm
  rt_rearm "$1" "$4"
  read -r _ hwm < <(run_jantor "$2" "$4" -c "$3")
  hwms[$4]=$hwm
  rt_check_nginx "$4"
  rt_check_moved "$1" "$4"
  rates[$4]=$(rate "$4")
}
way_rtn1() { rt_nginx "$rt_nulls_db" rt_nulls 1 "$1"; }
way_rto1() { rt_nginx "$rt_before_db" rt_before 1 "$1"; }
way_rtn8() { rt_nginx "$rt_nulls_db" rt_nulls 8 "$1"; }
way_rto8() { rt_nginx "$rt_before_db" rt_before 8 "$1"; }

# The warm-up cycles: afterwards every entry of the table with the columns
# has i_outcome 'ok', i_failures 0 and the rest NULL, as a daemon leaves a
# table that never fails.
echo "  warm-up cycles ..." >&2
rt_fill "$rt_nulls_db" rtwn 127.0.0.1
rt_fill "$rt_before_db" rtwo 127.0.0.1
run_jantor rt_nulls rtwn -c 8 >/dev/null
run_jantor rt_before rtwo -c 8 >/dev/null
for tag in rtwn rtwo; do rt_check_nginx "$tag"; done
rt_check_moved "$rt_nulls_db" rtwn
rt_check_moved "$rt_before_db" rtwo

# For the memory figure: two cycles of the same N entries, answered 200,
# on the table before the retry columns, the same shape as a retries run
# without its retries. The entries are ten minutes behind with an interval
# of a second, so each is still due after its first hit.
echo "  two cycles without retries ..." >&2
rt_fill "$rt_plain_db" rtm 127.0.0.2
rt_behind=$(stamp -10)
sqlite3 "$rt_plain_db" "UPDATE schedule_2 SET i_interval = 1, i_next = '$rt_behind'; PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null
rt_server 200
rt_two_cycles rt_plain rtm 200
read -r _ _ _ _ rt_hwm1 rt_hwm2 <<<"$rt_result"
rt_check_moved "$rt_plain_db" rtm "$(date -d "@$(($(date -d "$rt_behind" +%s) + 2))" '+%Y-%m-%d %H:%M:%S')"
record retries.two_cycles_hwm1 "$rt_hwm1" KiB
record retries.two_cycles_hwm2 "$rt_hwm2" KiB

for r in $(seq "$rounds"); do
  for pair in "rtr rtb" "rtn1 rto1" "rtn8 rto8"; do
    read -r a b <<<"$pair"
    echo "  $a/$b round $r of $rounds ..." >&2
    for way in $([ $((r % 2)) = 1 ] && echo "$a $b" || echo "$b $a"); do
      "way_$way" "$way-$r"
    done
  done
done
stop_delay

for way in rtr rtb rtn1 rto1 rtn8 rto8; do
  for r in $(seq "$rounds"); do
    record "rate.$way.$r" "${rates[$way-$r]}" hits/s
    record "hwm.$way.$r" "${hwms[$way-$r]}" KiB
  done
done
record_end
