#!/usr/bin/env bash
# Writes an ODBC configuration folder that holds one data source, without
# touching the system's own ODBC files. Point unixODBC at it with
#   ODBCSYSINI=DIR ODBCINI=DIR/odbc.ini
# Usage: odbc-dsn.sh DIR NAME sqlite DBFILE
#        odbc-dsn.sh DIR NAME postgres HOST PORT DATABASE
#        odbc-dsn.sh DIR NAME mariadb HOST PORT DATABASE
# A HOST that begins with / is the server's Unix socket: its folder for
# PostgreSQL, the socket file itself for MariaDB.
# Driver options given after these, as Key=Value (for example
# JournalMode=WAL SyncPragma=NORMAL for SQLite), are added to the source.
# A folder can hold several data sources: each call adds or replaces one.
set -euo pipefail
dir=$1 name=$2 kind=$3
case $kind in sqlite) fixed=4 ;; *) fixed=6 ;; esac
options=("${@:$((fixed + 1))}")
mkdir -p "$dir"
# The drivers' folder: where the Debian packages put them, or else wherever
# a search of the library folders finds them. The search walks tens of
# thousands of files, and the tests write a data source for nearly every
# test, so the usual places are looked at first.
odbcdir=""
for driver in /usr/lib/*/odbc/libsqlite3odbc.so /usr/lib/odbc/libsqlite3odbc.so; do
  [ -e "$driver" ] && { odbcdir=$(dirname "$driver"); break; }
done
[ -n "$odbcdir" ] ||
  odbcdir=$(dirname "$(find /usr/lib /usr/local/lib -name libsqlite3odbc.so -o -name psqlodbcw.so 2>/dev/null | head -n1)")
cat >"$dir/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC driver
Driver=$odbcdir/libsqlite3odbc.so

[PostgreSQL]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$odbcdir/psqlodbcw.so

[MariaDB]
Description=MariaDB Connector/ODBC
Driver=$odbcdir/libmaodbc.so
INI
touch "$dir/odbc.ini"
# Drop an earlier section of the same name, then append the new one.
awk -v n="[$name]" '/^\[/{skip=($0==n)} !skip' "$dir/odbc.ini" >"$dir/odbc.ini.new"
case $kind in
  sqlite)
    cat >>"$dir/odbc.ini.new" <<INI
[$name]
Driver=SQLite3
Database=$4
Timeout=5000
INI
    ;;
  postgres)
    cat >>"$dir/odbc.ini.new" <<INI
[$name]
Driver=PostgreSQL
Servername=$4
Port=$5
Database=$6
INI
    ;;
  mariadb)
    if [ "${4#/}" != "$4" ]; then server="Server=localhost
Socket=$4"; else server="Server=$4"; fi
    cat >>"$dir/odbc.ini.new" <<INI
[$name]
Driver=MariaDB
$server
Port=$5
Database=$6
INI
    ;;
  *) echo "odbc-dsn.sh: unknown kind $kind" >&2; exit 2 ;;
esac
for option in ${options[@]+"${options[@]}"}; do echo "$option" >>"$dir/odbc.ini.new"; done
mv "$dir/odbc.ini.new" "$dir/odbc.ini"
