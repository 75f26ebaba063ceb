#!/usr/bin/env bash
# The Debian package on a machine that has none of its dependencies: it
# installs with apt (which must bring in what it declares), the installed
# jantor runs against a SQLite data source made from the shipped example
# and schema, and purging the package leaves nothing behind.
#
# "A fresh machine" is a throw-away copy of this one: an overlay over / in
# private mount and PID namespaces, chrooted into. Every write, apt's and
# dpkg's included, lands in the overlay's upper folder under WORK and is
# thrown away with it; no process outlives the PID namespace. Inside, the
# ODBC driver manager and drivers are purged first, so the install has to
# pull them in. The run itself happens in a network namespace with only a
# loopback interface, where a private nginx answers every hit.
#
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
# Exits 77 (skipped) without root, dpkg, apt or overlay mounts.
set -euo pipefail

if [ "${1:-}" = --inside ]; then
  # ---- In the new mount and PID namespaces -------------------------------
  work=$2 support=$3
  root=$work/root
  mkdir -p "$work/upper" "$work/overlay-work" "$root"
  mount -t overlay overlay \
    -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
  mount -t proc proc "$root/proc"
  mount --bind /dev "$root/dev"
  mkdir -p "$root/tmp/jantor-deb"
  cp "$work"/pkg/jantor_*.deb "$root/tmp/jantor-deb/jantor.deb"
  cp "$support/nginx.sh" "$support/lib.sh" "$support/../package/consumer.cc" "$root/tmp/jantor-deb/"
  exec chroot "$root" /bin/bash -s <"$work/inside-root.sh"
fi

build=$(realpath "$1") source=$(realpath "$2") work=$(realpath -m "$3")
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root for the overlay and dpkg"
command -v dpkg >/dev/null && command -v apt-get >/dev/null || skip "not a Debian system"
command -v unshare >/dev/null || skip "unshare (util-linux) missing"
unshare --mount sh -c "mkdir -p '$work/probe/u' '$work/probe/w' '$work/probe/m' &&
  mount -t overlay overlay -o lowerdir=/,upperdir='$work/probe/u',workdir='$work/probe/w' '$work/probe/m'" \
  2>/dev/null || { rm -rf "$work/probe"; skip "overlay mounts are not allowed here"; }
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

echo "--- building the package"
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/jantor_*.deb)
echo "$deb"

fail=0
. "$(dirname "$0")/../support/lib.sh"
field() { dpkg-deb -f "$deb" "$1"; }
declares() { field "$1" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx "$2"; }
for p in unixodbc libsqliteodbc libodbc2 libc6 libssl3 libdate-tz3; do check "Depends names $p" declares Depends "$p"; done
check "Recommends names ca-certificates" declares Recommends ca-certificates
for p in odbc-postgresql odbc-mariadb; do check "Suggests names $p" declares Suggests "$p"; done

# What the host has before, to show afterwards that none of it changed.
host_state() {
  dpkg-query -W -f='${Package} ${Status} ${Version}\n' jantor unixodbc libsqliteodbc libodbc2 2>&1
  ls -d /usr/bin/jantor /usr/vornis /usr/share/jantor 2>&1
  md5sum /etc/odbc.ini /etc/odbcinst.ini /usr/sbin/policy-rc.d 2>&1
  true
}
before=$(host_state)

# The script that runs as root of the copy. It is handed over on standard
# input, and what else it needs is copied into the copy's /tmp/jantor-deb,
# so it depends on no path outside the chroot.
cat >"$work/inside-root.sh" <<'SCRIPT'
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin
cd /tmp/jantor-deb
fail=0
. ./lib.sh
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
not_installed() { ! installed "$1"; }
apt_quiet() { apt-get -y -qq -o Dpkg::Use-Pty=0 "$@" >>/tmp/jantor-deb/apt.log 2>&1; }

# No service may start in the copy.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d

echo "--- a machine without ODBC"
apt_quiet purge jantor || true
apt_quiet purge libodbc2 libodbcinst2 unixodbc-common libsqliteodbc ||
  { echo "FAIL - purging the ODBC packages"; tail -20 apt.log; exit 1; }
for p in unixodbc libodbc2 libsqliteodbc; do check "$p is gone" not_installed $p; done

echo "--- apt-get install ./jantor.deb"
if ! apt_quiet install --no-install-recommends ./jantor.deb; then
  # Package lists may be missing on a machine that never ran apt-get update.
  apt_quiet update
  apt_quiet install --no-install-recommends ./jantor.deb ||
    { echo "FAIL - installing the package"; tail -30 apt.log; exit 1; }
fi
for p in jantor unixodbc libodbc2 libsqliteodbc; do check "$p installed" installed $p; done
check "the SQLite driver is registered" grep -qx '\[SQLite3\]' /etc/odbcinst.ini

echo "--- what the package put in place"
check "jantor on the PATH" test -x "$(command -v jantor)"
check "man finds jantor(1)" man -w jantor
check "the service unit" test -f /usr/lib/systemd/system/jantor.service
check "the instance unit" test -f "/usr/lib/systemd/system/jantor@.service"
check "the unit starts /usr/bin/jantor" grep -q '^ExecStart=/usr/bin/jantor ' /usr/lib/systemd/system/jantor.service
for kind in sqlite postgres mariadb; do
  check "schema $kind" test -f /usr/share/jantor/schema/$kind.sql
  check "results schema $kind" test -f /usr/share/jantor/schema/$kind-results.sql
  check "odbc example $kind" test -f /usr/share/jantor/examples/odbc-$kind.ini
done
check "environment file example" test -f /usr/share/jantor/examples/jantor.default
for hive in hkey_classes_root hkey_current_user hkey_local_machine hkey_users \
            hkey_performance_data hkey_current_config hkey_dyn_data; do
  check "registry hive $hive" test -d /usr/vornis/registry/$hive
done
check "a program builds with pkg-config jantorsupport and runs" \
  sh -c 'g++ -std=c++20 -o b64 consumer.cc $(pkg-config --cflags --libs jantorsupport) && ./b64'

echo "--- jantor against a SQLite data source, as the README tells"
mkdir -p /var/lib/jantor
cat /usr/share/jantor/examples/odbc-sqlite.ini >>/etc/odbc.ini
db=/var/lib/jantor/schedule.db
sqlite3 $db </usr/share/jantor/schema/sqlite.sql
past=$(date -d '-100 seconds' '+%Y-%m-%d %H:%M:%S')
# A network of its own: only the private nginx listens, on port 80 too, so
# the hit cannot reach any server of the machine.
cat >run.sh <<RUN
set -e
ip link set lo up
NGINX_PORT=80 ./nginx.sh start /tmp/jantor-deb/nginx >/dev/null
sqlite3 $db "INSERT INTO schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next)
             VALUES (1, 80, '/hello.txt?deb-test', '127.0.0.1', 30, 3600, '$past')"
status=0
jantor -d jantor -i 4 -r 1 -v >jantor.out 2>&1 || status=\$?
./nginx.sh stop /tmp/jantor-deb/nginx
exit \$status
RUN
check "jantor -d jantor -i 4 -r 1 -v ends with status 0" unshare --net bash run.sh
check "the hit succeeded" grep -q '(Successful)' jantor.out
check "nginx served it" grep -q '"GET /hello.txt?deb-test HTTP/1.0" 200' nginx/access.log
check "i_next moved on by the interval" test "$(sqlite3 $db \
  "SELECT CAST(round((julianday(i_next) - julianday('$past')) * 86400) AS INTEGER) FROM schedule_2")" = 3600
check "the example's write-ahead log is on" test "$(sqlite3 $db 'PRAGMA journal_mode')" = wal
[ $fail -eq 0 ] || cat jantor.out

echo "--- apt-get purge jantor"
dpkg-deb -c jantor.deb | awk '{print substr($6, 2)}' | sed 's|/$||' | grep . >files
rm -rf /var/lib/jantor
apt_quiet purge jantor || echo "FAIL - purging the package"
check "jantor is gone from dpkg" sh -c '! dpkg-query -W jantor 2>/dev/null | grep -q .'
left=$(while read -r f; do
         # Folders that other packages share stay; the package's own go.
         case $f in /usr|/usr/bin|/usr/include|/usr/lib|/usr/lib/pkgconfig|/usr/lib/systemd|\
/usr/lib/systemd/system|/usr/share|/usr/share/doc|/usr/share/man|/usr/share/man/man1) continue ;; esac
         [ -e "$f" ] && echo "$f"
       done <files)
check "nothing of the package is left" test -z "$left"
[ -z "$left" ] || echo "left behind: $left"
exit $fail
SCRIPT

echo "--- in a throw-away copy of this machine"
inner=0
unshare --mount --pid --fork --propagation private \
  bash "$0" --inside "$work" "$source/tests/support" || inner=$?

after=$(host_state)
check "the host's packages and files are as before" test "$before" = "$after"
[ "$before" = "$after" ] || diff <(echo "$before") <(echo "$after") || true
[ $inner -eq 0 ] || { echo "FAIL - inside the copy (status $inner)"; fail=1; }
exit $fail
