# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Peak resident memory of an N = 20000 cycle (counted from the end of
# start-up) with -c 1 and -c 256, and of one hit with a 4 MiB reply.
fill_sqlite 20000 cycle20000 0 /index.html "$(stamp 3 seconds)"
read -r _ hwm < <(run_jantor_second bench_sqlite cycle20000 20000)
record memory.cycle20000 "$hwm" KiB
fill_sqlite 20000 cycle20000c256 0 /index.html "$(stamp 3 seconds)"
read -r _ hwm < <(run_jantor_second bench_sqlite cycle20000c256 20000 -c 256)
record memory.cycle20000c256 "$hwm" KiB
fill_sqlite 1 big 0 /big.txt
read -r _ hwm < <(run_jantor bench_sqlite big)
record memory.big "$hwm" KiB
record memory.reply "$(stat -c %s "$work/nginx/www/big.txt")" bytes
