# shellcheck shell=bash disable=SC2154  # root, work, log and the delay server's names are the caller's
# What the benchmark scripts share, the sections of bench/run.sh and the
# scripts that also run alone: recording figures, a network namespace of
# their own, the schedule table's fill, waiting for the end of jantor's
# first cycle, the rate of a run from a server's log, the checks every
# script makes first, and the delay server. Sourced; defines functions only.

# ---- Figures -------------------------------------------------------------------------

# A script keeps no figure in a variable for a table: it writes each one
# with record, as a line "figure<TAB>value<TAB>unit" of
# $figures/$section.tsv, and bench/report.py turns those lines into every
# table, whoever ran the script. Values are raw (a rate of each round, a
# count of clock ticks); the best, least, medians and ratios are the
# report's, so that a table reads the same whichever way it was made.
record() { # figure value [unit]
  printf '%s\t%s\t%s\n' "$1" "$2" "${3:-}" >>"$figures/$section.tsv"
}

# A script that runs alone too records into the folder that bench/run.sh
# names in BENCH_FIGURES, or else into the folder given, from an empty
# file: a run's figures are never mixed with an earlier run's.
record_into() { # section folder
  section=$1 figures=${BENCH_FIGURES:-$2}
  mkdir -p "$figures"
  : >"$figures/$section.tsv"
}

# When and on what a section ran, for the line that opens its own table;
# its load average at the start and at the end tells what else ran.
record_start() {
  record "$section.date" "$(date -u '+%Y-%m-%d %H:%M UTC')"
  record "$section.processors" "$(nproc)"
  record "$section.load_start" "$(cut -d' ' -f1 /proc/loadavg)"
}
record_end() { record "$section.load_end" "$(cut -d' ' -f1 /proc/loadavg)"; }

# A script that fails has measured nothing that can be reported: its
# figures go, so that no report shows half a run or an earlier one as this
# one. Called by the script's exit trap with the exit status.
forget_failed() { # status
  if [ "$1" != 0 ] && [ -n "${section:-}" ]; then rm -f "$figures/$section.tsv"; fi
}

# Run alone, a script ends by having bench/report.py write its table from
# the figures (to folder/<section>.md, beside a results.md of it alone)
# and printing it; under bench/run.sh the report over every section does.
report_alone() { # folder
  [ -z "${BENCH_FIGURES:-}" ] || return 0
  python3 "$root/bench/report.py" --out "$1" "$figures/$section.tsv"
  cat "$1/$section.md"
}

# ---- A network of its own and the end of a cycle -------------------------------------

# Run as root, the script starts again in a network namespace of its own,
# where port 80 of 127.0.0.1 is free whatever the machine runs and nothing
# outside sees its servers; flag is the variable that says it is there.
own_network() { # flag script args...
  local flag=$1 script=$2
  shift 2
  if [ "$(id -u)" -eq 0 ] && [ -z "${!flag:-}" ]; then
    if unshare -n true 2>/dev/null; then
      exec env "$flag=1" unshare -n "$script" "$@"
    fi
    echo "bench: no network namespace of its own; using the machine's loopback" >&2
  fi
  if [ -n "${!flag:-}" ]; then ip link set lo up; fi
}

# Waits until jantor has ended its first cycle: it then waits for its alarm
# in sigsuspend (system call 130 on x86-64), or it has exited. At most
# tenths tenths of a second (default 3000, five minutes).
wait_cycle() { # pid [tenths]
  local call
  for _ in $(seq "${2:-3000}"); do
    kill -0 "$1" 2>/dev/null || return 0
    call=
    read -r call _ </proc/"$1"/syscall 2>/dev/null || true
    [ "$call" = 130 ] && return 0
    sleep 0.1
  done
  echo "bench: jantor did not finish its cycle" >&2
  return 1
}

# ---- The schedule table --------------------------------------------------------------

# Local time as jantor reads it, "minutes" (or "$1 seconds") from now.
stamp() { date -d "$1 ${2:-minutes}" '+%Y-%m-%d %H:%M:%S'; }

# Fills the schedule table of an SQLite database with count entries for tag,
# in place of what it held: entry i a GET of object?tag-i on host, port 80,
# a day's interval, no credentials, its next run the SQL expression next
# over i (a quoted time, or a CASE that makes some entries due and the rest
# not). Each column=value after them sets one more column, the value an SQL
# expression over i too. One statement for every fill, so that the ways a
# benchmark compares differ in the columns named and nothing else.
fill_schedule() { # file count tag host object next [column=value...]
  local file=$1 count=$2 tag=$3 host=$4 object=$5 next=$6 columns="" values="" pair
  shift 6
  for pair in "$@"; do columns+=", ${pair%%=*}" values+=", ${pair#*=}"; done
  sqlite3 "$file" <<SQL
DELETE FROM schedule_2;
WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < $count)
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval,
                        i_next, i_start, i_stop$columns)
SELECT i, NULL, NULL, 80, '$object?$tag-' || i, '$host', 30, 86400, $next, 0, 1$values
FROM k;
SQL
}

# ---- Rates from a server's log -------------------------------------------------------

# "count first last" of the requests of one run (its tag) in a server's log
# (default $log), each of whose lines starts with the request's time in
# seconds.
span() { { grep -F "?$1-" "${2:-$log}" || true; } | awk '{ if (n++ == 0) a = $1; b = $1 } END { printf "%d %s %s\n", n, a, b }'; }
# Requests a second from the first to the last request of a run.
rate() { span "$@" | awk '{ printf "%.0f\n", ($3 > $2) ? ($1 - 1) / ($3 - $2) : 0 }'; }

# The most and the median of numbers, one a line.
best() { sort -n | tail -n1; }
median() { sort -n | awk '{ v[NR] = $1 }
  END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---- Checks and the delay server -----------------------------------------------------

# Ends the script unless every tool named is on the path (or in /usr/sbin).
need_tools() { # tool...
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
      { echo "bench: $tool is needed" >&2; exit 1; }
  done
}

# Ends the script when something already listens on port 80 of an address.
need_free_port80() { # address...
  local address
  for address in "$@"; do
    if (exec 3<>"/dev/tcp/$address/80") 2>/dev/null; then
      echo "bench: something already listens on $address:80; stop it and run again" >&2
      exit 1
    fi
  done
}

# The server that answers each request late (bench/delay_server.c, built
# as $delay_program) on port 80 of 127.0.0.2, logging each request's
# arrival to $delay_log; its port goes to $work/delay.port.
start_delay() { # delay_ms: answers that late, or never when below 0
  rm -f "$work/delay.port"
  "$delay_program" 127.0.0.2 80 "$1" 1800 0 "$delay_log" >"$work/delay.port" 2>"$work/delay.err" &
  delay_pid=$!
  for _ in $(seq 100); do [ -s "$work/delay.port" ] && return 0; sleep 0.02; done
  echo "bench: the delay server did not start: $(cat "$work/delay.err")" >&2
  exit 1
}
stop_delay() { kill "$delay_pid" 2>/dev/null || true; wait "$delay_pid" 2>/dev/null || true; delay_pid=""; }
