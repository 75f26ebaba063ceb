# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# jantor on PostgreSQL: one cycle over N = 200, 2000 and 20000 due entries.
record postgres.rounds "$rounds"
for n in 200 2000 20000; do
  for r in $(seq "$rounds"); do
    fill_pg "$n" "jp$n-$r"
    run_jantor bench_pg "jp$n-$r" -u jantor -p "$(pg_password)" >/dev/null
  done
  record_rates "jp$n" "$rounds"
done
