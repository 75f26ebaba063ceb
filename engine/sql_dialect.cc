#include "engine/sql_dialect.h"

#include <sqlext.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char kCopyKeyColumn[] = "create temporary table %s as select id from %s where 1 = 0";
constexpr char kMariadbCycleIds[] =
    "create temporary table %s (index (id)) as select id from %s where 1 = 0";

// PostgreSQL and SQLite have no limit on a delete, so the batch is picked by
// the row's own address; MariaDB has one. A temporary table is not
// vacuumed: emptied by a delete in every cycle, PostgreSQL's would only
// grow, while truncate gives its pages back.
constexpr SqlDialect kDialects[] = {
    {"SQLite", "delete from %s where rowid in (select rowid from %s where started < ? limit 1000)",
     false, false, false, kCopyKeyColumn, "create index %s_id on %s (id)", "delete from %s",
     "substr(i_object, 1, instr(i_object || '?', '?') - 1)",
     "substr(coalesce(i_recent, '') || ?, -60)"},
    {"PostgreSQL",
     "delete from %s where ctid = any(array(select ctid from %s where started < ? limit 1000))",
     true, true, false, kCopyKeyColumn, "create index %s_id on %s (id)", "truncate %s",
     "split_part(i_object, '?', 1)", "right(coalesce(i_recent, '') || ?, 60)"},
    {"MariaDB", "delete from %s where started < ? limit 1000", true, false, true, kMariadbCycleIds,
     nullptr, "delete from %s", "substring_index(i_object, '?', 1)",
     "right(concat(coalesce(i_recent, ''), ?), 60)"},
    // MariaDB's driver may report its server by the older name.
    {"MySQL", "delete from %s where started < ? limit 1000", true, false, true, kMariadbCycleIds,
     nullptr, "delete from %s", "substring_index(i_object, '?', 1)",
     "right(concat(coalesce(i_recent, ''), ?), 60)"},
    {"", "delete from %s where started < ?", false, false, false, nullptr, nullptr, nullptr,
     nullptr, "?"},
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

bool SkipsLockedRows(const char* name, const char* version) {
  if (strncmp(name, "PostgreSQL", 10) == 0) return true;
  bool maria = strncmp(name, "MariaDB", 7) == 0 || strstr(version, "MariaDB") != nullptr;
  int major = 0, minor = 0;
  if (!maria || sscanf(version, "%d.%d", &major, &minor) != 2) return false;
  return major > 10 || (major == 10 && minor >= 6);
}
