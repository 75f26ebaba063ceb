# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Processor time while 256 hits wait on a server that never answers: the
# delay server, now silent, accepts, reads each request and never answers.
# Once all 256 requests have arrived, the client's run time (every thread,
# from /proc/PID/task/*/schedstat) is read at the start and end of a 10 s
# window, and must not have moved much: a waiting hit should sleep.
silent_seconds=10
silent_cpu() { # pid tag n; prints the percent of one processor
  local pid=$1 tag=$2 n=$3 c0 c1 t0 t1
  for _ in $(seq 1500); do [ "$(delay_count "$tag")" -ge "$n" ] && break; sleep 0.02; done
  [ "$(delay_count "$tag")" = "$n" ] || { echo "bench: only $(delay_count "$tag") of $n requests reached the silent server" >&2; exit 1; }
  sleep 0.5
  c0=$(task_ns "$pid") t0=$(date +%s%N)
  sleep "$silent_seconds"
  c1=$(task_ns "$pid") t1=$(date +%s%N)
  kill -0 "$pid" 2>/dev/null || { echo "bench: the client ended while it should wait" >&2; exit 1; }
  awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN { printf "%.3f\n", 100 * c / t }'
}
record silent.seconds "$silent_seconds" s
start_delay -1
fill_sqlite 256 silentj 0 /index.html "$(stamp -1)" 127.0.0.2
ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini "$jantor" -d bench_sqlite -i 3600 -c 256 \
  >"$work/jantor-silent.out" 2>"$work/jantor-silent.err" &
silent_client=$!
record silent.jantor "$(silent_cpu "$silent_client" silentj 256)" "% of a core"
kill "$silent_client"; wait "$silent_client" 2>/dev/null || true
urls 256 silentc 127.0.0.2 | sed 's/.*/url = "&"/' >"$work/curl-silent.cfg"
curl "${curl_opts[@]}" --parallel --parallel-max 256 -K "$work/curl-silent.cfg" \
  >"$work/curl-silent.out" 2>"$work/curl-silent.err" &
silent_client=$!
record silent.curl "$(silent_cpu "$silent_client" silentc 256)" "% of a core"
kill "$silent_client"; wait "$silent_client" 2>/dev/null || true
silent_client=""
stop_delay
