#include "engine/db/sql_dialect.h"

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
constexpr SqlDialect kMariadb = {
    .dbms = "MariaDB",
    .prune_batch = "delete from %1$s where started < ? limit %2$d",
    .skip_locked_from = "10.6",
    .skip_locked_version_holds = nullptr,
    .update_returning = false,
    .counts_changed_rows = true,
    .cycle_ids_table = kMariadbCycleIds,
    .cycle_ids_index = nullptr,
    .forget_cycle_ids = "delete from %s",
    .path_of_object = "substring_index(i_object, '?', 1)",
    .append_recent = "right(concat(coalesce(i_recent, ''), ?), 60)",
    .key_parameter = "?",
    .groups_kept_state = true,
    .writes_in_one_statement = false,
    .spaces_checkpoints = false,
    .reads_through_cursor = false,
    .hour_of = "date_format(%s, '%%Y-%%m-%%d %%H:00:00')",
    .day_of = "cast(%s as date)",
};

constexpr SqlDialect kDialects[] = {
    {
        .dbms = "SQLite",
        .prune_batch =
            "delete from %1$s where rowid in (select rowid from %1$s where started < ? limit %2$d)",
        .skip_locked_from = nullptr,
        .skip_locked_version_holds = nullptr,
        .update_returning = false,
        .counts_changed_rows = false,
        .cycle_ids_table = kCopyKeyColumn,
        .cycle_ids_index = "create index %s_id on %s (id)",
        .forget_cycle_ids = "delete from %s",
        .path_of_object = "substr(i_object, 1, instr(i_object || '?', '?') - 1)",
        .append_recent = "substr(coalesce(i_recent, '') || ?, -60)",
        .key_parameter = "?",
        .groups_kept_state = false,
        .writes_in_one_statement = false,
        .spaces_checkpoints = true,
        .reads_through_cursor = false,
        .hour_of = "substr(%s, 1, 13) || ':00:00'",
        .day_of = "substr(%s, 1, 10)",
    },
    {
        .dbms = "PostgreSQL",
        .prune_batch = "delete from %1$s where ctid = any(array(select ctid from %1$s where "
                       "started < ? limit %2$d))",
        .skip_locked_from = "",
        .skip_locked_version_holds = nullptr,
        .update_returning = true,
        .counts_changed_rows = false,
        .cycle_ids_table = kCopyKeyColumn,
        .cycle_ids_index = "create index %s_id on %s (id)",
        .forget_cycle_ids = "truncate %s",
        .path_of_object = "split_part(i_object, '?', 1)",
        .append_recent = "right(coalesce(i_recent, '') || ?, 60)",
        .key_parameter = "cast(? as bigint)",
        .groups_kept_state = true,
        .writes_in_one_statement = true,
        .spaces_checkpoints = false,
        .reads_through_cursor = true,
        .hour_of = "date_trunc('hour', %s)",
        .day_of = "cast(%s as date)",
    },
    kMariadb,
    // MariaDB's driver may report its server by the older name; only a
    // version that says MariaDB skips locked rows.
    [] {
      SqlDialect mysql = kMariadb;
      mysql.dbms = "MySQL";
      mysql.skip_locked_version_holds = "MariaDB";
      return mysql;
    }(),
    {
        .dbms = "",
        .prune_batch = "delete from %1$s where started < ?",
        .skip_locked_from = nullptr,
        .skip_locked_version_holds = nullptr,
        .update_returning = false,
        .counts_changed_rows = false,
        .cycle_ids_table = nullptr,
        .cycle_ids_index = nullptr,
        .forget_cycle_ids = nullptr,
        .path_of_object = nullptr,
        .append_recent = "?",
        .key_parameter = "?",
        .groups_kept_state = false,
        .writes_in_one_statement = false,
        .spaces_checkpoints = false,
        .reads_through_cursor = false,
        .hour_of = nullptr,
        .day_of = "cast(%s as date)",
    },
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

bool SkipsLockedRows(const SqlDialect& dialect, const char* version) {
  if (dialect.skip_locked_from == nullptr) return false;
  if (dialect.skip_locked_version_holds != nullptr &&
      strstr(version, dialect.skip_locked_version_holds) == nullptr)
    return false;
  int major = 0, minor = 0, least_major = 0, least_minor = 0;
  if (dialect.skip_locked_from[0] == '\0') return true;
  if (sscanf(dialect.skip_locked_from, "%d.%d", &least_major, &least_minor) != 2 ||
      sscanf(version, "%d.%d", &major, &minor) != 2)
    return false;
  return major > least_major || (major == least_major && minor >= least_minor);
}
