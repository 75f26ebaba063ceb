#include "engine/sql_dialect.h"

#include <sqlext.h>

#include <cstring>

namespace {

// PostgreSQL and SQLite have no limit on a delete, so the batch is picked by
// the row's own address; MariaDB has one.
constexpr SqlDialect kDialects[] = {
    {"SQLite", "delete from %s where rowid in (select rowid from %s where started < ? limit 1000)"},
    {"PostgreSQL",
     "delete from %s where ctid = any(array(select ctid from %s where started < ? limit 1000))"},
    {"MariaDB", "delete from %s where started < ? limit 1000"},
    {"MySQL", "delete from %s where started < ? limit 1000"},
    {"", "delete from %s where started < ?"},
};

}  // namespace

const SqlDialect& DialectOf(SQLHDBC connection) {
  char name[64] = "";
  SQLSMALLINT length = 0;
  SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &length);  // a failure leaves ""
  for (const SqlDialect& dialect : kDialects)
    if (dialect.dbms[0] != '\0' && strncmp(name, dialect.dbms, strlen(dialect.dbms)) == 0)
      return dialect;
  return kDialects[sizeof kDialects / sizeof kDialects[0] - 1];
}
