# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# The metrics endpoint at rest: jantor -m with nothing due, after its first
# cycle, scraped once a second for 10 s; its run time (every thread,
# /proc/PID/task/*/schedstat) at the start and end of those 10 s, as with
# the silent server. The usual alternative, Debian's
# prometheus-node-exporter (its own collectors, as it comes), is measured
# the same way, after one scrape to warm it up.
idle_seconds=10
idle_port=$(. tests/support/lib.sh && free_port 19464)
idle_cpu() { # pid port tag; prints the percent of one processor, the threads and the scrape size
  local pid=$1 port=$2 tag=$3 c0 c1 t0 t1 tasks0 tasks1 scraper t0_ticks
  sleep 0.5
  tasks0=$(ls /proc/"$pid"/task)
  t0_ticks=$(ticks "$pid")
  c0=$(task_ns "$pid") t0=$(date +%s%N)
  "$build/scrape" 127.0.0.1 "$port" 1000 "$idle_seconds" "$((idle_seconds + 5))" "$work/scrape-$tag.log" &
  scraper=$!
  watch_pids+=("$scraper")
  sleep "$idle_seconds"
  c1=$(task_ns "$pid") t1=$(date +%s%N)
  tasks1=$(ls /proc/"$pid"/task)
  wait "$scraper"
  # A thread that ended within the window takes its run time along; the
  # process's own count (clock ticks) keeps it, so it counts then.
  if [ -n "$(comm -23 <(echo "$tasks0" | sort) <(echo "$tasks1" | sort))" ]; then
    echo "bench: a thread of $tag ended while it was measured; counting clock ticks" >&2
    c0=$((t0_ticks * 1000000000 / clk_tck)) c1=$(($(ticks "$pid") * 1000000000 / clk_tck))
  fi
  [ "$(grep -c ' ok .* 200$' "$work/scrape-$tag.log")" = "$idle_seconds" ] ||
    { echo "bench: $tag did not answer every scrape: $(cat "$work/scrape-$tag.log")" >&2; exit 1; }
  awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" -v n="$(echo "$tasks1" | wc -l)" \
    -v b="$(awk '{ print $4 }' "$work/scrape-$tag.log" | sort -n | tail -n1)" \
    'BEGIN { printf "%.3f %d %d\n", 100 * c / t, n, b }'
}
record_idle() { # who pid port tag
  local cpu threads bytes
  read -r cpu threads bytes < <(idle_cpu "$2" "$3" "$4")
  record "idle.$1.cpu" "$cpu" "% of a core"
  record "idle.$1.threads" "$threads"
  record "idle.$1.bytes" "$bytes" bytes
}
record idle.seconds "$idle_seconds" s
sqlite3 "$db" 'DELETE FROM schedule_2;'
ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d bench_sqlite -i 3600 -m "127.0.0.1:$idle_port" \
  >"$work/jantor-idle.out" 2>"$work/jantor-idle.err" &
idle_pid=$!
watch_pids+=("$idle_pid")
wait_cycles "$idle_pid"
record_idle jantor "$idle_pid" "$idle_port" idlej
kill "$idle_pid"; wait "$idle_pid" 2>/dev/null || true
exporter_port=$(. tests/support/lib.sh && free_port $((idle_port + 1)))
prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" >"$work/node-exporter.log" 2>&1 &
idle_pid=$!
watch_pids+=("$idle_pid")
for _ in $(seq 250); do curl -sf -o /dev/null "http://127.0.0.1:$exporter_port/metrics" && break; sleep 0.02; done
record_idle exporter "$idle_pid" "$exporter_port" idlene
kill "$idle_pid"; wait "$idle_pid" 2>/dev/null || true
record idle.exporter.version "$(prometheus-node-exporter --version 2>&1 | awk 'NR == 1 { print $3 }')"
