# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# A shared table: N = 6000 due entries on PostgreSQL (the database jshare,
# data source bench_pgs), host 127.0.0.2: the delay server answers each hit
# 50 ms late, so hits in flight are what counts, as in the delay section.
# Three daemons with -s 60 -c 64 at once against one -c 64 without -s, one
# with -s, and one -c 192 without -s (the three's hits in flight in one
# process), the ways taking turns in each round. Rates from the first to the
# last request of a run in the server's log, whichever daemon made it. Every
# run must have requested every entry, and the log tells how many times each.
#
# The run's cost on the database: its statements (pg_stat_statements, which
# counts in jshare only), its commits (pg_stat_database.xact_commit of
# jshare, read with every session on jshare gone, since a session hands in
# its counts at the latest when it ends), and the run time of the backends
# that served the daemons' connections (/proc/PID/schedstat, their whole
# life: connect, login, table checks and the cycle), read once the cycle has
# ended and before the daemons stop. Nothing else uses jshare meanwhile.
share_n=6000
share_ways=(
  "shu64 1 64"
  "shs64 1 64 -s 60"
  "sht64 3 64 -s 60"
  "shu192 1 192"
)
share_sessions() { psql_jantor -tA -c "SELECT count(*) FROM pg_stat_activity WHERE datname = 'jshare'"; }
share_quiet() {
  for _ in $(seq 500); do [ "$(share_sessions)" = 0 ] && return 0; sleep 0.02; done
  echo "bench: sessions on jshare did not end" >&2
  exit 1
}
share_commits() { psql_jantor -tA -c "SELECT xact_commit FROM pg_stat_database WHERE datname = 'jshare'"; }
share_statements="FROM pg_stat_statements WHERE dbid = (SELECT oid FROM pg_database WHERE datname = 'jshare')"
# psqlODBC wraps every statement of a transaction in a savepoint of its
# own (SAVEPOINT before, RELEASE after, as its default rollback of a failed
# statement alone needs): counted apart from jantor's own statements.
share_own="AND query NOT LIKE 'SAVEPOINT %' AND query NOT LIKE 'RELEASE %'"
# One run: fills the table, starts the daemons at once, waits for the end of
# their first cycles and records the run's cost as share.<figure>.<tag>
# (statements, own statements, commits, backend run time in ns, the
# daemons' processor time in clock ticks, every thread, start-up included)
# and, from the server's log, the entries requested, the requests and the
# entries requested more than once. The counts of each statement go to
# statements-<tag>.txt.
share_run() { # tag daemons c [jantor arguments]
  local tag=$1 daemons=$2 c=$3 d pid commits0 backend_ns=0 backend jantor_ticks=0 once
  shift 3
  local pids=()
  fill_pg "$share_n" "$tag" 127.0.0.2 psql_share
  share_quiet
  psql_jantor -c 'SELECT pg_stat_statements_reset()' >/dev/null
  commits0=$(share_commits)
  for d in $(seq "$daemons"); do
    ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d bench_pgs -u jantor -p "$(pg_password)" \
      -i 3600 -c "$c" "$@" >"$work/jantor-$tag-$d.out" 2>"$work/jantor-$tag-$d.err" &
    pids+=($!)
    watch_pids+=($!)
  done
  wait_cycles "${pids[@]}"
  for pid in "${pids[@]}"; do jantor_ticks=$((jantor_ticks + $(ticks "$pid"))); done
  for backend in $(psql_jantor -tA -c "SELECT pid FROM pg_stat_activity WHERE datname = 'jshare'"); do
    backend_ns=$((backend_ns + $(cut -d' ' -f1 /proc/"$backend"/schedstat)))
  done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  share_quiet
  sleep 0.2
  record "share.statements.$tag" "$(psql_jantor -tA -c "SELECT sum(calls) $share_statements")"
  record "share.own.$tag" "$(psql_jantor -tA -c "SELECT sum(calls) $share_statements $share_own")"
  record "share.commits.$tag" "$(($(share_commits) - commits0))"
  record "share.backend.$tag" "$backend_ns" ns
  record "share.jantor.$tag" "$jantor_ticks" ticks
  psql_jantor -tA -F' ' -c "SELECT calls, rows, query $share_statements ORDER BY calls DESC" \
    >"$work/statements-$tag.txt"
  once=$(grep -F "?$tag-" "$delay_log" | sed "s/.*?$tag-//" | sort | uniq -c |
    awk '{ n++; s += $1; if ($1 > 1) more++ } END { print n + 0, s + 0, more + 0 }')
  record "share.once.$tag" "$once"
}
record share.n "$share_n"
record share.rounds "$rounds"
record clk_tck "$clk_tck"
start_delay 50
for r in $(seq "$rounds"); do
  for way in "${share_ways[@]}"; do
    read -r key daemons c args <<<"$way"
    # shellcheck disable=SC2086  # args: jantor's arguments, split on purpose
    share_run "$key-$r" "$daemons" "$c" $args
  done
done
stop_delay
for way in "${share_ways[@]}"; do
  read -r key _ <<<"$way"
  record_rates "$key" "$rounds" "$delay_log"
done
