# shellcheck shell=bash disable=SC2154  # the names of bench/lib.sh, which run.sh sources first
# The endpoint of -m scraped during a cycle: one cycle of jantor -c 8 over
# N = 2000 entries on SQLite against nginx, with -m and bench/scrape.c
# asking for /metrics every 100 ms from before the start to the end, and
# without -m, taking turns in each round (which goes first alternates). A
# run lasts about a fifth of a second, so there are twice BENCH_ROUNDS
# rounds for the round-by-round median to settle on. Once the cycle has
# ended, one more scrape must count every hit.
metrics_n=2000 metrics_rounds=$((2 * rounds))
metrics_port=$(. tests/support/lib.sh && free_port 19464)
metrics_final() { # after_cycle of a run with -m
  curl -s "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics-$metrics_tag.txt" || true
}
metrics_run() { # tag with (1: -m and the scraper)
  local tag=$1 scraper
  fill_sqlite "$metrics_n" "$tag"
  if [ "$2" = 1 ]; then
    "$build/scrape" 127.0.0.1 "$metrics_port" 100 600 60 "$work/scrape-$tag.log" &
    scraper=$!
    watch_pids+=("$scraper")
    metrics_tag=$tag after_cycle=metrics_final \
      run_jantor bench_sqlite "$tag" -c 8 -m "127.0.0.1:$metrics_port" >/dev/null
    kill "$scraper" 2>/dev/null || true
    wait "$scraper" 2>/dev/null || true
    local counted
    counted=$(awk '/^jantor_hits_total\{/ { s += $2 } END { print s + 0 }' "$work/metrics-$tag.txt")
    [ "$counted" = "$metrics_n" ] || { echo "bench: /metrics counted $counted of $metrics_n hits after the cycle ($tag)" >&2; exit 1; }
  else
    run_jantor bench_sqlite "$tag" -c 8 >/dev/null
  fi
  [ "$(span "$tag" | cut -d' ' -f1)" = "$metrics_n" ] || { echo "bench: jantor ($tag) missed hits" >&2; exit 1; }
}
# Scrapes answered while the hits of a run went on (from its first to its
# last request in nginx's log).
scrapes_during() { # tag
  local first last
  read -r _ first last < <(span "$1")
  awk -v a="$first" -v b="$last" '$3 == "ok" && $1 <= b && $2 >= a { n++ } END { print n + 0 }' \
    "$work/scrape-$1.log"
}
for r in $(seq "$metrics_rounds"); do
  if [ $((r % 2)) = 1 ]; then
    metrics_run "mn-$r" 0
    metrics_run "mm-$r" 1
  else
    metrics_run "mm-$r" 1
    metrics_run "mn-$r" 0
  fi
done
record metrics.n "$metrics_n"
record metrics.rounds "$metrics_rounds"
record_rates mm "$metrics_rounds"
record_rates mn "$metrics_rounds"
for r in $(seq "$metrics_rounds"); do
  record "metrics.scrapes.$r" "$(scrapes_during "mm-$r")"
  record "metrics.bytes.$r" "$(awk '$3 == "ok" { print $4 }' "$work/scrape-mm-$r.log" | sort -n | tail -n1)" bytes
done
