# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Processor time while one hit waits 3 s for a slow server
# (bench/slow_server.c), jantor against curl.
slow() { # the client command goes in "$@"; prints "cpu_ns wall_ns"
  rm -f "$work/client.pid" "$work/slow.out"
  "$build/slow_server" 127.0.0.2 0 3000 "$work/client.pid" >"$work/slow.out" &
  local server=$!
  for _ in $(seq 100); do [ -s "$work/slow.out" ] && break; sleep 0.02; done
  slow_port=$(head -n1 "$work/slow.out")
  "$@"
  wait "$server"
  tail -n1 "$work/slow.out"
}
# The server must know its port before the table can name it.
slow_jantor() {
  sqlite3 "$db" "DELETE FROM schedule_2; INSERT INTO schedule_2 (id, i_port, i_object, i_host,
    i_timeout, i_interval, i_next, i_start, i_stop)
    VALUES (1, $slow_port, '/slow', '127.0.0.2', 30, 86400, '$(stamp -1)', 0, 1);"
  run_jantor bench_sqlite slow >/dev/null
}
slow_curl() {
  curl "${curl_opts[@]}" "http://127.0.0.2:$slow_port/slow" >"$work/curl-slow.out" &
  echo $! >"$work/client.pid"
  wait $!
}
slow_cpu() { awk '{ printf "%.3f\n", 100 * $1 / $2 }'; }
record slow.jantor "$(slow slow_jantor | slow_cpu)" "% of a core"
record slow.curl "$(slow slow_curl | slow_cpu)" "% of a core"
