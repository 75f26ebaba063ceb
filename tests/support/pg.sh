#!/usr/bin/env bash
# Starts or stops a private PostgreSQL server for the tests: data folder
# under DIR, loopback only, a free port, password authentication for the
# user jantor (password in DIR/password), and a database named jantor.
# When run as root the server runs as the unprivileged user postgres.
# PG_SERVER_OPTIONS, when set, adds server options (for example
# "-c shared_preload_libraries=pg_stat_statements"), which the benchmark
# needs to count statements; left unset, the server is started as always.
set -euo pipefail
cmd=$1 dir=$(realpath -m "$2")
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
[ -x "$bindir/pg_ctl" ] || { echo "pg.sh: PostgreSQL server binaries not found" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

. "$(dirname "$0")/lib.sh"

case $cmd in
  start)
    if [ -f "$dir/data/postmaster.pid" ]; then as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true; fi
    rm -rf "$dir"; mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then
      chown postgres "$dir"
      # The server user must be able to reach the folder; a build tree below
      # a private home folder is not reachable, so fall back to /tmp there.
      if ! runuser -u postgres -- test -w "$dir"; then
        real=$(mktemp -d /tmp/jantor-pg.XXXXXX); chown postgres "$real"
        rmdir "$dir"; ln -s "$real" "$dir"
      fi
    fi
    echo jantor-test-pw >"$dir/password"
    chmod 644 "$dir/password"
    as_owner "$bindir/initdb" -D "$dir/data" -U jantor --pwfile="$dir/password" \
      --auth=scram-sha-256 -E UTF8 --locale=C >"$dir/initdb.log" 2>&1
    port=$(free_port 25432)
    # The Unix socket lives in a short folder: clients that report the
    # server's words in a small buffer would otherwise see only the path.
    sockdir=$(mktemp -d /tmp/jpgXXXX); chmod 755 "$sockdir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$sockdir"
    echo "$sockdir" >"$dir/socketdir"
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-p $port -k $sockdir -c listen_addresses=127.0.0.1 -c fsync=off${PG_SERVER_OPTIONS:+ $PG_SERVER_OPTIONS}" start >/dev/null
    PGPASSWORD=$(cat "$dir/password") "$bindir/createdb" -h 127.0.0.1 -p "$port" -U jantor jantor
    echo "$port" >"$dir/port"
    echo "PostgreSQL on 127.0.0.1:$port"
    ;;
  stop)
    [ -d "$dir/data" ] && as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null || true
    [ -f "$dir/socketdir" ] && rm -rf "$(cat "$dir/socketdir")"
    real=$(readlink -f "$dir" || true)
    rm -rf "$dir"
    [ -n "$real" ] && [ "$real" != "$(readlink -f "$dir" 2>/dev/null)" ] && rm -rf "$real"
    true
    ;;
  *) echo "usage: pg.sh start|stop DIR" >&2; exit 2 ;;
esac
