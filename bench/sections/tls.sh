# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# TLS: https:// entries against nginx on loopback. tests/support/nginx_tls.sh
# serves TLS on a free loopback port with a certificate for 127.0.0.1 from a
# CA of its own, which jantor trusts through SSL_CERT_FILE and curl through
# --cacert. Every hit and every URL is a new connection with a handshake of
# its own. Both clients keep the session ticket a server gave them and
# resume that session in the next handshake with it, which then carries no
# certificate to check or sign; curl also runs with --no-sessionid, which
# makes every one of its handshakes a full one. The rates are timed from the
# first to the last request in that nginx's access log, as above. Processor
# time (user and system, every thread) is the client's whole process with
# its start-up, from /proc for jantor and from the shell's time for curl,
# and nginx's worker's over the run, from /proc.
tls_dir=$work/nginx_tls
tests/support/nginx_tls.sh start "$tls_dir" >/dev/null
tls_log=$tls_dir/access.log tls_ca=$tls_dir/ca.pem tls_n=2000
tls_host=https://127.0.0.1:$(cat "$tls_dir/port_valid")
tls_worker=$(pgrep -P "$(cat "$tls_dir/nginx.pid")")
tls_curl_opts=("${curl_opts[@]}" --cacert "$tls_ca")
tls_config() { # n tag; one curl config line a URL
  local i
  for i in $(seq "$1"); do echo "url = \"$tls_host/index.html?$2-$i\""; done
}

# Each curl transfer opens a connection of its own here too; and how many
# handshakes resumed a session, as curl tells in its verbose output.
tls_config 20 tlscheck | sed 's|$|\noutput = "/dev/null"|' >"$work/tls-check.cfg"
connects=$(curl "${tls_curl_opts[@]}" -w '%{num_connects}\n' -K "$work/tls-check.cfg" |
  awk '{ s += $1 } END { print s }')
[ "$connects" = 20 ] || { echo "bench: curl reused TLS connections ($connects for 20)" >&2; exit 1; }
record tls.resumed "$(curl -v "${tls_curl_opts[@]}" -K "$work/tls-check.cfg" 2>&1 | grep -c 're-using session' || true)"
record tls.resumed_off "$(curl -v --no-sessionid "${tls_curl_opts[@]}" -K "$work/tls-check.cfg" 2>&1 |
  grep -c 're-using session' || true)"

# One cycle of jantor over n https:// entries, which must all be hit;
# records "client-seconds nginx-seconds" as tls.cpu.<tag>.
tls_jantor() { # n tag [jantor arguments]
  local n=$1 tag=$2 got before
  shift 2
  fill_sqlite "$n" "$tag" 0 /index.html "$(stamp -1)" "$tls_host"
  before=$(ticks "$tls_worker")
  SSL_CERT_FILE=$tls_ca run_jantor bench_sqlite "$tag" "$@" >/dev/null
  record "tls.cpu.$tag" "$(echo "$(cat "$work/jantor-$tag.cpu") $(($(ticks "$tls_worker") - before))" |
    awk -v u="$clk_tck" '{ print $1 / u, $2 / u }')" s
  got=$(span "$tag" "$tls_log" | cut -d' ' -f1)
  [ "$got" = "$n" ] || { echo "bench: jantor $* made $got of $n TLS hits" >&2; exit 1; }
}
# One curl process over n URLs, recorded as tls_jantor does.
tls_curl() { # n tag [curl arguments]
  local n=$1 tag=$2 before TIMEFORMAT='%3U %3S'
  shift 2
  tls_config "$n" "$tag" >"$work/curl-$tag.cfg"
  before=$(ticks "$tls_worker")
  { time curl "${tls_curl_opts[@]}" "$@" -K "$work/curl-$tag.cfg" >"$work/curl-$tag.out" \
      2>"$work/curl-$tag.err"; } 2>"$work/curl-$tag.time"
  record "tls.cpu.$tag" "$(echo "$(cat "$work/curl-$tag.time") $(($(ticks "$tls_worker") - before))" |
    awk -v u="$clk_tck" '{ print $1 + $2, $3 / u }')" s
  [ "$(span "$tag" "$tls_log" | cut -d' ' -f1)" = "$n" ] || { echo "bench: curl $* missed TLS URLs" >&2; exit 1; }
}
record tls.rounds "$rounds"
record tls.n "$tls_n"
for r in $(seq "$rounds"); do
  tls_jantor "$tls_n" "tjs-$r" -c 1
  tls_jantor "$tls_n" "tjc-$r" -c 8
  tls_curl "$tls_n" "tcs-$r"
  tls_curl "$tls_n" "tcn-$r" --no-sessionid
done
for way in tjs tjc tcs tcn; do record_rates "$way" "$rounds" "$tls_log"; done

# Peak resident size of an N = 20000 cycle over TLS, counted from the end of
# start-up; OpenSSL is loaded with the cycle's first session, so it counts.
# run_jantor_second counts the cycle's requests in $log, here the TLS log.
fill_sqlite 20000 tlscycle 0 /index.html "$(stamp 3 seconds)" "$tls_host"
read -r _ hwm < <(log=$tls_log SSL_CERT_FILE=$tls_ca run_jantor_second bench_sqlite tlscycle 20000)
record tls.cycle20000 "$hwm" KiB
fill_sqlite 20000 tlscyclec256 0 /index.html "$(stamp 3 seconds)" "$tls_host"
read -r _ hwm < <(log=$tls_log SSL_CERT_FILE=$tls_ca \
  run_jantor_second bench_sqlite tlscyclec256 20000 -c 256)
record tls.cycle20000c256 "$hwm" KiB
tests/support/nginx_tls.sh stop "$tls_dir" >/dev/null
