# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Speed against a server that answers each request 50 ms late. When every
# answer takes 50 ms, hits one after the other make 20 a second whatever the
# client, and only hits in flight together go faster. The server
# (bench/delay_server.c) takes port 80 of 127.0.0.2, the port jantor tries
# first, and logs each request's arrival; the rates are timed from the first
# to the last request of a run, as with nginx. The sequential ways run over
# fewer URLs: 2000 would take 100 s each.
delay_seq=200 delay_n=2000

# The delay ways: jantor -c C over N entries on 127.0.0.2 ...
delay_jantor() { # n tag c
  fill_sqlite "$1" "$2" 0 /index.html "$(stamp -1)" 127.0.0.2
  run_jantor bench_sqlite "$2" -c "$3" >/dev/null
}
# ... one curl process over the URLs, one after the other or at most P at once ...
delay_curl() { # n tag [p]
  urls "$1" "$2" 127.0.0.2 | sed 's/.*/url = "&"/' >"$work/curl-$2.cfg"
  local parallel=()
  [ -n "${3:-}" ] && parallel=(--parallel --parallel-max "$3")
  curl "${curl_opts[@]}" "${parallel[@]}" -K "$work/curl-$2.cfg" >"$work/curl-$2.out" 2>"$work/curl-$2.err"
}
# ... and xargs starting one curl per URL, P at once.
delay_xargs() { # n tag p
  urls "$1" "$2" 127.0.0.2 >"$work/xargs-$2.urls"
  xargs -P "$3" -n 1 curl "${curl_opts[@]}" -o /dev/null <"$work/xargs-$2.urls"
}
# "key N command [argument]": the command runs with N, the run's tag and
# the argument. Every run must have made all N requests.
delay_ways=(
  "dj1 $delay_seq delay_jantor 1"
  "dcs $delay_seq delay_curl"
  "dj8 $delay_n delay_jantor 8"
  "dj64 $delay_n delay_jantor 64"
  "dj256 $delay_n delay_jantor 256"
  "dcp64 $delay_n delay_curl 64"
  "dcp256 $delay_n delay_curl 256"
  "dx64 $delay_n delay_xargs 64"
)
record delay.rounds "$rounds"
record delay.seq "$delay_seq"
record delay.n "$delay_n"
start_delay 50
for r in $(seq "$rounds"); do
  for way in "${delay_ways[@]}"; do
    read -r key n cmd arg <<<"$way"
    # shellcheck disable=SC2086  # arg: absent for the sequential curl
    "$cmd" "$n" "$key-$r" $arg
    got=$(delay_count "$key-$r")
    [ "$got" = "$n" ] || { echo "bench: $key made $got of $n requests to the delay server" >&2; exit 1; }
  done
done
for way in "${delay_ways[@]}"; do
  read -r key n _ <<<"$way"
  record "delay.n.$key" "$n"
  record_rates "$key" "$rounds" "$delay_log"
done
stop_delay
