# shellcheck shell=bash disable=SC2154,SC2034  # the names of bench/lib.sh, which run.sh sources first
# Placement: the same N = 2000 with every process held to one processor.
# Left to the scheduler, the client and nginx sometimes share a processor and
# sometimes not, and that decides more than anything the client does: a
# client that blocks hands the processor straight to nginx when they share
# one, and waits for another processor to wake when they do not. Held to
# each placement in turn, every way shows both of its speeds.
if [ "$(nproc)" -ge 2 ]; then
  record placement.rounds "$rounds"
  nginx_master=$(cat "$work/nginx/nginx.pid")
  nginx_pids="$nginx_master $(pgrep -P "$nginx_master" | tr '\n' ' ')"
  for pid in $nginx_pids; do taskset -pc 0 "$pid" >/dev/null; done
  for cpu in 0 1; do
    pin=(taskset -c "$cpu")
    race 2000 "cpu$cpu"
    record placement.cpu "$cpu"
  done
  pin=()
  for pid in $nginx_pids; do taskset -pc "0-$(($(nproc) - 1))" "$pid" >/dev/null; done
fi
