# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# Table size: a cycle over 100 000 rows with 1000 due against one over 1000
# rows all due, each timed from jantor's own alarm calls.
for r in $(seq "$rounds"); do
  fill_sqlite 1000 "t1k-$r" 0 /index.html "$(stamp 3 seconds)"
  read -r ms _ < <(run_jantor_second bench_sqlite "t1k-$r" 1000)
  record "table.small.$r" "$ms" ms
  fill_sqlite 1000 "t100k-$r" 99000 /index.html "$(stamp 3 seconds)"
  read -r ms _ < <(run_jantor_second bench_sqlite "t100k-$r" 1000)
  record "table.big.$r" "$ms" ms
done
