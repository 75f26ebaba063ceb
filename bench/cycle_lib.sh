# shellcheck shell=bash disable=SC2154  # rounds and rates are the caller's
# What the benchmark scripts that time one poll cycle share: a network
# namespace of their own, waiting for the end of jantor's first cycle, the
# rate of a run from a server's log, the best, median and ratio of rounds,
# the checks every script makes first, and the delay server. Sourced;
# defines functions only.

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

# "count first last" of the requests of one run (its tag) in a server's log
# (default $log), each of whose lines starts with the request's time in
# seconds.
span() { { grep -F "?$1-" "${2:-$log}" || true; } | awk '{ if (n++ == 0) a = $1; b = $1 } END { printf "%d %s %s\n", n, a, b }'; }
# Requests a second from the first to the last request of a run.
rate() { span "$@" | awk '{ printf "%.0f\n", ($3 > $2) ? ($1 - 1) / ($3 - $2) : 0 }'; }

best() { sort -n | tail -n1; }
median() { sort -n | awk '{ v[NR] = $1 }
  END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
verdict() { awk "BEGIN { print ($1) ? \"yes\" : \"**no**\" }"; }

# "best-a best-b ratio-of-bests median-of-round-ratios each-round-ratio..."
# of two ways' rates, kept by the caller in rates[<way>-<round>] for
# rounds rounds.
compare() { # key-a key-b
  local a=$1 b=$2 r best_a best_b
  best_a=$(for r in $(seq "$rounds"); do echo "${rates[$a-$r]}"; done | best)
  best_b=$(for r in $(seq "$rounds"); do echo "${rates[$b-$r]}"; done | best)
  echo "$best_a $best_b $(ratio "$best_a" "$best_b")" \
    "$(for r in $(seq "$rounds"); do ratio "${rates[$a-$r]}" "${rates[$b-$r]}"; echo; done | median)" \
    "$(for r in $(seq "$rounds"); do ratio "${rates[$a-$r]}" "${rates[$b-$r]}"; printf ' '; done)"
}

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
