#!/usr/bin/env bash
# Builds jantor and runs it for a few poll cycles on a demo SQLite data
# source, everything in work/demo: its own ODBC configuration (the system's
# is never touched), a small schedule table, and a private nginx on a
# loopback port that the entries point at, stopped again at the end.
# Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build >/dev/null
# Only the program: the tests are the test command's business.
cmake --build build --target jantor -j"$(nproc)"

work=$PWD/work/demo
rm -rf "$work"; mkdir -p "$work"
tests/support/nginx.sh start "$work/nginx"
trap 'tests/support/nginx.sh stop "$work/nginx"' EXIT
port=$(cat "$work/nginx/port")

scripts/odbc-dsn.sh "$work" jantor_demo sqlite "$work/schedule.db"
sqlite3 "$work/schedule.db" <schema/sqlite.sql
past=$(date -d '-1 hour' '+%Y-%m-%d %H:%M:%S')
recent=$(date -d '-10 minutes' '+%Y-%m-%d %H:%M:%S')
future=$(date -d '+1 day' '+%Y-%m-%d %H:%M:%S')
sqlite3 "$work/schedule.db" <<SQL
INSERT INTO schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next, i_start, i_stop)
VALUES (1, NULL,    NULL,     $port, '/hello.txt',          '127.0.0.1', 30, 5,    '$past',   0, 1),
       (2, 'alice', 'secret', $port, '/private/index.html', '127.0.0.1', 30, 3600, '$recent',   0, 1),
       (3, NULL,    NULL,     $port, '/tomorrow.txt',       '127.0.0.1', 30, 3600, '$future', 0, 1);
SQL

echo "--- jantor -d jantor_demo -i 4 -r 6 -v"
status=0
ODBCSYSINI=$work ODBCINI=$work/odbc.ini build/jantor -d jantor_demo -i 4 -r 6 -v || status=$?
echo "--- exit status $status; what nginx saw:"
cat "$work/nginx/access.log"
echo "--- the schedule table now:"
sqlite3 -header "$work/schedule.db" 'SELECT id, i_object, i_interval, i_next FROM schedule_2'
exit $status
