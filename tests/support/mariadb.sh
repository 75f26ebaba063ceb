#!/usr/bin/env bash
# Starts or stops a private MariaDB server for the tests: data folder under
# DIR, loopback only, a free port, password authentication for the user
# jantor (password in DIR/password, allowed to create the databases the
# tests make), and a database named jantor. The port is in DIR/port, the
# path of the server's Unix socket in DIR/socket: tests that run in a
# network namespace of their own reach the server only through the socket.
# When run as root the server runs as root too: it only ever listens on
# 127.0.0.1 and on a socket inside its own folder.
set -euo pipefail
cmd=$1 dir=$(realpath -m "$2")
server=/usr/sbin/mariadbd
[ -x "$server" ] || { echo "mariadb.sh: $server not found (package mariadb-server)" >&2; exit 1; }

. "$(dirname "$0")/lib.sh"

stop_server() {
  local pid
  [ -f "$dir/mariadb.pid" ] || return 0
  pid=$(cat "$dir/mariadb.pid")
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
}

remove_folders() {
  # The socket may live in a folder of its own under /tmp (see below).
  if [ -f "$dir/socket" ]; then
    local sockdir
    sockdir=$(dirname "$(cat "$dir/socket")")
    case $sockdir in /tmp/jantor-mariadb.*) rm -rf "$sockdir" ;; esac
  fi
  rm -rf "$dir"
}

case $cmd in
  start)
    stop_server
    remove_folders
    mkdir -p "$dir"
    as_root=()
    [ "$(id -u)" -eq 0 ] && as_root=(--user=root)
    # A socket path has room for about a hundred bytes; a deep build tree
    # gets a short folder under /tmp instead.
    sock=$dir/mysqld.sock
    [ ${#sock} -le 100 ] || sock=$(mktemp -d /tmp/jantor-mariadb.XXXXXX)/mysqld.sock
    echo "$sock" >"$dir/socket"
    # Small buffers and no flush on commit: a test server holds a few rows
    # and its data is thrown away.
    tuning=(--skip-name-resolve --innodb-log-file-size=8M --innodb-buffer-pool-size=32M)
    mariadb-install-db --no-defaults "${as_root[@]}" --datadir="$dir/data" \
      --auth-root-authentication-method=normal --skip-test-db "${tuning[@]}" \
      >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }
    admin=(mariadb --no-defaults -uroot --socket="$sock")
    # Ports below the kernel's range for outgoing connections, so that a
    # busy client elsewhere on the machine cannot be holding the port; and
    # should one be taken between the check and the bind, the next one.
    port_from=23306 started=0
    for _ in 1 2 3 4 5; do
      port=$(free_port "$port_from")
      # setsid and closed standard streams: ctest waits for every process
      # that holds the test's output open, and the server must outlive it.
      setsid "$server" --no-defaults "${as_root[@]}" --datadir="$dir/data" --socket="$sock" \
        --port="$port" --bind-address=127.0.0.1 --pid-file="$dir/mariadb.pid" \
        --log-error="$dir/server.log" --innodb-flush-log-at-trx-commit=0 \
        --performance-schema=OFF "${tuning[@]}" </dev/null >/dev/null 2>&1 &
      pid=$!
      for _ in $(seq 600); do
        "${admin[@]}" -e 'select 1' >/dev/null 2>&1 && { started=1; break; }
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      [ $started -eq 1 ] && break
      port_from=$((port + 1))
    done
    [ $started -eq 1 ] || { cat "$dir/server.log" >&2; exit 1; }
    echo jantor-test-pw >"$dir/password"
    "${admin[@]}" <<SQL
CREATE USER 'jantor'@'127.0.0.1' IDENTIFIED BY '$(cat "$dir/password")';
CREATE USER 'jantor'@'localhost' IDENTIFIED BY '$(cat "$dir/password")';
GRANT ALL PRIVILEGES ON *.* TO 'jantor'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO 'jantor'@'localhost';
CREATE DATABASE jantor;
SQL
    echo "$port" >"$dir/port"
    echo "MariaDB on 127.0.0.1:$port"
    ;;
  stop)
    stop_server
    remove_folders
    ;;
  *) echo "usage: mariadb.sh start|stop DIR" >&2; exit 2 ;;
esac
