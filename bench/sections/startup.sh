# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Start-up against a table of 1 000 000 rows, none due. The table checks at
# start-up must not read the table: time and peak memory up to the end of
# the first cycle, against a table far larger than any cycle's share of it.
fill_sqlite 1 s1m 999999 /index.html "$(stamp 1440)"
for r in $(seq "$rounds"); do
  read -r ms hwm < <(run_jantor_startup bench_sqlite "s1m-$r")
  record "startup.ms.$r" "$ms" ms
  record "startup.hwm.$r" "$hwm" KiB
done
