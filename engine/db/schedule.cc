#include "engine/db/schedule.h"

#include <sqlext.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "base/ll_datetime.h"
#include "base/ll_string.h"
#include "engine/command_line.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/sql_dialect.h"
#include "engine/metrics.h"
#include "engine/rules/entry.h"

namespace {

// Prints the driver's first diagnostic for a failed connect as
// "[SQLSTATE] text"; an absent record prints as empty texts.
void ReportConnectError(SQLHENV env, SQLHDBC conn) {
  char state[32] = "";
  char message[1024] = "";
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLError(env, conn, SQL_NULL_HSTMT, Sql(state), &native, Sql(message), 100, &length);
  PrintFormat("[%s] %s\r\n", state, message);
}

bool Connect(const RunSettings* s, SQLHDBC conn) {
  // The driver manager's signature is not const-correct; it only reads.
  auto text = [](const char* value) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(value));
  };
  return SQLOK(
      SQLConnect(conn, text(s->dsn), SQL_NTS, text(s->user), SQL_NTS, text(s->password), SQL_NTS));
}

// Lets the statement's next executions produce at most rows rows (0: all).
// The table checks only ask whether their statements run, but the SQLite
// and MariaDB drivers build a statement's whole result set when it is
// executed: unlimited, a SQLite table of a million rows was read into
// memory (close to 400 MB) before the first cycle. PostgreSQL's driver
// answers the lifting of the limit with a warning while the check's rows
// are open, and lifts it for the next execution all the same.
bool LimitRows(SQLHSTMT stmt, SQLULEN rows) {
  return SQLOK(SQLSetStmtAttr(stmt, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(rows), 0));
}

// psqlODBC's own connection options: reading results through a cursor, and
// how many rows each fetch of the cursor brings.
enum : SQLINTEGER { kPsqlodbcUseDeclareFetch = 65539, kPsqlodbcFetchRows = 65541 };

// psqlODBC reads a statement's whole result into memory at its execution,
// row limit or not: the start-up check read a table of a million rows whole
// (450 MB), and the due select read every due row before the first hit.
// Through a cursor it holds rows_per_fetch rows at a time; 0 turns the
// cursor off, which the claims need (a cursor cannot hold an update).
bool FetchThroughCursor(SQLHDBC connection, SQLULEN rows_per_fetch) {
  auto set = [connection](SQLINTEGER attribute, SQLULEN value) {
    return SQLOK(SQLSetConnectAttr(connection, attribute, reinterpret_cast<SQLPOINTER>(value), 0));
  };
  if (rows_per_fetch == 0) return set(kPsqlodbcUseDeclareFetch, 0);
  return set(kPsqlodbcUseDeclareFetch, 1) && set(kPsqlodbcFetchRows, rows_per_fetch);
}

// Rows a cursor fetch brings for the due select: a round trip per hundred
// rows costs little beside the hits, and a hundred rows little memory.
constexpr SQLULEN kDueRowsPerFetch = 100;

}  // namespace

// Kept as the interface defines it; the drivers in use take the literal as it is.
int ODBCDateDriverKludge2(int, SQLHDBC, char*) { return 1; }

int OpenSchedule(const RunSettings* s, Schedule* db) {
  if (!SQLOK(SQLAllocEnv(&db->env))) {
    PrintText("Could not allocate ODBC environment.\r\n");
    return 1;
  }
  if (!SQLOK(SQLAllocConnect(db->env, &db->select_conn))) {
    PrintText("Could not allocate first (selection) ODBC connection.\r\n");
    return 1;
  }
  if (!SQLOK(SQLAllocConnect(db->env, &db->update_conn))) {
    PrintText("Could not allocate second (update) ODBC connection.\r\n");
    return 1;
  }
  if (!Connect(s, db->select_conn)) {
    PrintText("Could not connect first (selection) ODBC connection.\r\n");
    ReportConnectError(db->env, db->select_conn);
    return 1;
  }
  if (!Connect(s, db->update_conn)) {
    PrintText("Could not connect second (update) ODBC connection.\r\n");
    ReportConnectError(db->env, db->update_conn);
    return 1;
  }
  if (!SQLOK(SQLAllocStmt(db->select_conn, &db->select_stmt))) {
    PrintText("Could not allocate first (selection) ODBC statement.\r\n");
    return 1;
  }
  if (!SQLOK(SQLAllocStmt(db->update_conn, &db->update_stmt))) {
    PrintText("Could not allocate second (update) ODBC statement.\r\n");
    return 1;
  }
  // Without the limit the checks only cost more; with it left in place
  // every cycle would see one due entry, so it must come off again.
  bool limited = LimitRows(db->select_stmt, 1);
  // Found once, for both connections: they reach the same data source.
  const SqlDialect& dialect = DialectOf(db->select_conn);
  db->dialect = &dialect;
  bool cursor = dialect.reads_through_cursor && FetchThroughCursor(db->select_conn, 1);
  char statement[1024];
  snprintf(statement, sizeof statement, "select * from %s", s->table);
  if (!Execute(db->select_stmt, statement)) {
    PrintFormat("Error - No such table as %s\r\n", s->table);
    return 1;
  }
  FindCallColumns(db->select_stmt, &db->calls);
  db->cron_column = ResultHasColumn(db->select_stmt, "i_cron");
  db->zone_column = ResultHasColumn(db->select_stmt, "i_zone");
  db->expect_column = ResultHasColumn(db->select_stmt, "i_expect");
  db->splay_column = ResultHasColumn(db->select_stmt, "i_splay");
  db->missed_column = ResultHasColumn(db->select_stmt, "i_missed");
  db->paused_column = ResultHasColumn(db->select_stmt, "i_paused_until");
  if (db->expect_column) NoteExpectsReplies();
  if (db->calls.auth) NoteFetchesTokens();
  FindRunStateColumns(db->select_stmt, &db->state.columns);
  CopyText(db->state.table, s->table);
  db->state.append_recent = dialect.append_recent;
  OpenGroupedWrites(s->table, dialect, &db->groups);
  std::string missing = MissingRetryColumns(db->state.columns);
  if (!missing.empty()) {
    PrintFormat("Error - table %s has i_retries but not %s, which keep a pending retry.\r\n",
                s->table, missing.c_str());
    return 1;
  }
  snprintf(statement, sizeof statement, "select i_stop from %s", s->table);
  if (!Execute(db->select_stmt, statement)) {
    PrintFormat("Error - table %s is not v2.x schedule format.\r\n", s->table);
    return 1;
  }
  if (OptionGiven(s, 'l') && !OpenResultsTable(db->select_stmt, db->update_conn, dialect,
                                               s->results, &db->results)) {
    return 1;
  }
  if (db->results.enabled &&
      !OpenRollups(db->select_stmt, db->update_conn, db->results, &db->rollups))
    return 1;
  if (s->claim_secs > 0 &&
      !OpenClaims(db->select_conn, db->update_conn, dialect, s->table, s->claim_secs,
                  db->state.columns.keeps_retries(), &db->claims)) {
    return 1;
  }
  if (db->paused_column &&
      !OpenPauses(db->update_conn, s->table, db->state.columns.keeps_retries(), &db->pauses)) {
    PrintFormat("Could not prepare the statements of paused entries on table %s.\r\n", s->table);
    return 1;
  }
  db->state.skips_paused = db->paused_column;
  if (db->missed_column || db->paused_column) NoteSkipsCounted();
  if (db->calls.any()) {
    if (!PrepareCallFetch(db->select_conn, s->table, &db->calls)) {
      PrintFormat("Could not prepare the read of the entries' web calls (%s).\r\n", db->calls.text);
      return 1;
    }
  }
  CopyText(
      db->claims.columns,
      (EntryColumnsText("entry", "claimed.i_next") + OptionalColumnsText(db, "entry")).c_str());
  CopyText(db->claims.columns_due,
           (EntryColumnsText("due") + OptionalColumnsText(db, "due")).c_str());
  CopyText(db->claims.due_condition, DueConditionText(db, "due").c_str());
  // A claimed entry's reschedule counts whether its claim held, which one
  // statement with the insert cannot tell. And the claims also reschedule
  // outside any write (handing entries back) under automatic commit, so
  // there the connection switches for each write; so it does where one
  // statement under automatic commit writes the group.
  if (db->claims.enabled) db->results.one_statement = false;
  if (db->results.enabled && !db->claims.enabled && !db->results.one_statement)
    UseManualCommit(&db->results, db->update_conn);
  db->rollups.manual_commit = db->results.manual_commit;
  if (limited && !LimitRows(db->select_stmt, 0)) {
    PrintText("Could not lift the row limit of the first (selection) ODBC statement.\r\n");
    return 1;
  }
  // Where the driver reads every due row before the first, they come a page
  // at a time; with claims, a batch at a time anyway.
  if (db->state.columns.any()) db->pages.rows = DuePages::kPageRowsKeepingRuns;
  db->pages.enabled = !cursor && !db->claims.enabled && limited &&
                      dialect.cycle_ids_table != nullptr &&
                      LimitRows(db->select_stmt, db->pages.rows);
  if (cursor && !FetchThroughCursor(db->select_conn, db->claims.enabled ? 0 : kDueRowsPerFetch)) {
    PrintText("Could not set how the first (selection) ODBC connection fetches.\r\n");
    return 1;
  }
  return 0;
}

namespace {

constexpr char kDueIds[] = "jantor_cycle_due";

void DueSelectText(const RunSettings* s, const Schedule* db, const char* quoted_now,
                   const char* fraction, char* select, size_t select_size) {
  snprintf(select, select_size,
           "select %s%s from %s where i_next < %s AND %s >= i_start and %s <= i_stop%s",
           EntryColumnsText(nullptr).c_str(), OptionalColumnsText(db, nullptr).c_str(), s->table,
           quoted_now, fraction, fraction, DueConditionText(db, nullptr).c_str());
}

SQLRETURN BindIdText(SQLHSTMT stmt, SQLUSMALLINT number, char* id, SQLLEN* indicator) {
  *indicator = SQL_NTS;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 30, 0, id, 31,
                          indicator);
}

// The table and its two inserts, made when a cycle first needs them.
bool PreparePages(const RunSettings* s, Schedule* db, char* failed, size_t failed_size) {
  DuePages& pages = db->pages;
  if (pages.note != SQL_NULL_HSTMT) return true;
  if (!MakeCycleIdsTable(db->select_conn, *db->dialect, kDueIds, s->table, pages.forget,
                         sizeof pages.forget)) {
    snprintf(failed, failed_size, "create temporary table %s", kDueIds);
    return false;
  }
  std::string one = std::string("insert into ") + kDueIds + " (id) values (?)";
  std::string many = one;
  for (size_t i = 1; i < DuePages::kNotedAtOnce; ++i) many += ", (?)";
  bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, db->select_conn, &pages.note)) &&
               SQLOK(SQLPrepare(pages.note, Sql(many.data()), SQL_NTS)) &&
               SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, db->select_conn, &pages.note_one)) &&
               SQLOK(SQLPrepare(pages.note_one, Sql(one.data()), SQL_NTS)) &&
               SQLOK(BindIdText(pages.note_one, 1, pages.noted[0], &pages.indicators[0]));
  for (size_t i = 0; i < DuePages::kNotedAtOnce && ready; ++i)
    ready = SQLOK(BindIdText(pages.note, static_cast<SQLUSMALLINT>(i + 1), pages.noted[i],
                             &pages.indicators[i]));
  if (!ready) {
    // Both go, so that the next full page prepares them afresh.
    snprintf(failed, failed_size, "%s", one.c_str());
    for (SQLHSTMT* stmt : {&pages.note, &pages.note_one}) {
      if (*stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, *stmt);
      *stmt = SQL_NULL_HSTMT;
    }
  }
  return ready;
}

// Puts the page's ids into the table, kNotedAtOnce to a statement and the
// rest one by one.
bool NotePage(DuePages* pages, const char* const* ids, size_t count, char* failed,
              size_t failed_size) {
  auto run = [&](SQLHSTMT stmt) {
    SQLFreeStmt(stmt, SQL_CLOSE);
    if (SQLOK(SQLExecute(stmt))) return true;
    snprintf(failed, failed_size, "insert into %s (id) values (?)", kDueIds);
    return false;
  };
  constexpr size_t kMany = DuePages::kNotedAtOnce;
  size_t at = 0;
  for (; count - at >= kMany; at += kMany) {
    for (size_t i = 0; i < kMany; ++i) snprintf(pages->noted[i], 31, "%s", ids[at + i]);
    if (!run(pages->note)) return false;
  }
  for (; at < count; ++at) {
    snprintf(pages->noted[0], 31, "%s", ids[at]);
    if (!run(pages->note_one)) return false;
  }
  return true;
}

}  // namespace

bool SelectDueEntries(const RunSettings* s, Schedule* db, const char* quoted_now,
                      const char* fraction, char* select, size_t select_size) {
  db->pages.continued = false;
  DueSelectText(s, db, quoted_now, fraction, select, select_size);
  return Execute(db->select_stmt, select);
}

bool EndDuePage(Schedule* db, bool full) {
  SQLFreeStmt(db->select_stmt, SQL_CLOSE);
  if (!full) return true;
  SQLFreeHandle(SQL_HANDLE_STMT, db->select_stmt);
  db->select_stmt = SQL_NULL_HSTMT;
  return SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, db->select_conn, &db->select_stmt)) &&
         LimitRows(db->select_stmt, db->pages.rows);
}

bool NextDuePage(const RunSettings* s, Schedule* db, const char* quoted_now, const char* fraction,
                 const char* const* ids, size_t count, char* select, size_t select_size) {
  select[0] = '\0';
  DuePages& pages = db->pages;
  if (!pages.enabled || count < pages.rows) return false;
  if (!PreparePages(s, db, select, select_size)) return false;
  if (!pages.continued && !Execute(db->select_stmt, pages.forget)) {
    snprintf(select, select_size, "%s", pages.forget);
    return false;
  }
  pages.continued = true;
  if (!NotePage(&pages, ids, count, select, select_size)) return false;
  char due[1024];
  DueSelectText(s, db, quoted_now, fraction, due, sizeof due);
  snprintf(select, select_size,
           "%s and not exists (select 1 from %s as seen where seen.id = %s.id)", due, kDueIds,
           s->table);
  if (!Execute(db->select_stmt, select)) return false;
  select[0] = '\0';
  return true;
}

std::string OptionalColumnsText(const Schedule* db, const char* alias) {
  if (!db->optional_columns()) return "";
  std::string prefix = alias != nullptr ? std::string(alias) + "." : "";
  auto column = [&](bool present, const char* name) {
    return ", " + (present ? prefix + name : std::string("null"));
  };
  // Each group of columns is named only where the table has one of it or
  // of a later group, so that a table's select stays as it was before the
  // later groups came.
  bool pauses = db->missed_column || db->paused_column;
  bool replies = db->expect_column || db->splay_column || pauses;
  return ", " + CallFlagColumn(db->calls, alias) + column(db->cron_column, "i_cron") +
         column(db->zone_column, "i_zone") +
         RunStateColumnsText(db->state.columns, alias, replies) +
         (replies ? column(db->expect_column, "i_expect") + column(db->splay_column, "i_splay")
                  : std::string()) +
         (pauses ? column(db->missed_column, "i_missed") +
                       column(db->paused_column, "i_paused_until")
                 : std::string());
}

std::string DueConditionText(const Schedule* db, const char* alias) {
  if (!db->paused_column) return "";
  return std::string(" and ") + (alias != nullptr ? std::string(alias) + "." : "") +
         "i_paused_until is null";
}
