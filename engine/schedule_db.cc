#include "engine/schedule_db.h"

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
#include "engine/metrics.h"
#include "engine/sql_dialect.h"

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

bool IsPsqlodbc(SQLHDBC connection) {
  char name[64] = "";
  SQLSMALLINT length = 0;
  SQLGetInfo(connection, SQL_DRIVER_NAME, name, sizeof name, &length);
  return strncasecmp(name, "psqlodbc", 8) == 0;
}

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

// Largest moment written back: one the table's timestamp columns and the
// date scanners all accept, and that is never due.
constexpr char kLatestNextRun[] = "9999-12-31 23:59:59";

// The next run time: the stored i_next plus the interval. A stored time
// that cannot be read (or placed on the calendar) is rescheduled from the
// cycle's present time instead, so the entry is neither lost nor hit in
// every cycle for ever.
void NextRunText(const Entry& entry, time_t present, int verbose, int quiet, char* out,
                 size_t out_size) {
  struct tm record;
  memset(&record, 0, sizeof record);
  record.tm_isdst = -1;
  int date_ok, time_ok;
  {
    MutedOutput trace_words(quiet != 0);
    date_ok = ScanODBCDate(0, entry.next, &record, 1);
    time_ok = ScanODBCTime(0, entry.next, &record, 0);
  }
  // The date scanner leaves the daylight-saving flag of the day's midnight
  // in the record. On the days the clocks change that flag is wrong for
  // the stored time, and mktime would move it by an hour in every cycle; the
  // stored text is a wall-clock time, so let mktime find its own flag.
  record.tm_isdst = -1;
  time_t stored = (date_ok && time_ok) ? mktime(&record) : static_cast<time_t>(-1);
  if (stored == static_cast<time_t>(-1)) {
    stored = present;
    if (verbose)
      PrintFormat("Unreadable next run time -%s- - rescheduled from now.\r\n", entry.next);
  }
  long long next = static_cast<long long>(stored) + ParseInt(entry.interval);
  struct tm broken;
  time_t next_time = static_cast<time_t>(next);
  if (localtime_r(&next_time, &broken) == nullptr || broken.tm_year > 9999 - 1900) {
    snprintf(out, out_size, "%s", kLatestNextRun);
    return;
  }
  strftime(out, out_size, "%Y-%m-%d %H:%M:%S", &broken);
}

// The id goes into the update unquoted, so only a number may: any other text
// (NULL, a number cut to the field, or "1 or 1=1" in a table whose id column
// holds text) would fail the statement at best, and at worst move the next
// run of entries that were never hit. Such an update counts as failed.
bool IsKeyNumber(const char* id, size_t capacity) {
  size_t length = strlen(id);
  if (length + 1 >= capacity) return false;  // may have been cut
  constexpr char kDigits[] = "0123456789";
  const char* at = id + (id[0] == '-' ? 1 : 0);
  size_t whole = strspn(at, kDigits);
  if (whole == 0) return false;
  at += whole;
  if (*at == '.') {  // a key kept in a floating-point column
    size_t fraction = strspn(at + 1, kDigits);
    if (fraction == 0) return false;
    at += 1 + fraction;
  }
  return *at == '\0';
}

// The entry's reschedule; with -s, only while the row holds the claim.
// Returns the failed statement's text, or null.
const char* Reschedule(Schedule* db, HitWrite* write) {
  if (!db->claims.enabled) return Execute(db->update_stmt, write->update) ? nullptr : write->update;
  bool kept = true;
  if (!RescheduleClaimed(&db->claims, write->id, write->next, write->claim, &kept))
    return db->claims.reschedule_text;
  if (!kept) NoteClaimsLost(1);
  return nullptr;
}

void NoteFailed(const char* statement, char* failed, size_t failed_size) {
  NoteDatabaseError();
  if (failed[0] == '\0') snprintf(failed, failed_size, "%s", statement);
}

// A transaction of writes with result rows begins: the update connection
// leaves automatic commit, unless it stays in manual commit anyway.
bool BeginResultsWrite(Schedule* db) {
  return db->results.manual_commit || SetAutocommit(db->update_conn, false);
}

// And ends, after its commit or rollback.
void EndResultsWrite(Schedule* db) {
  if (!db->results.manual_commit) SetAutocommit(db->update_conn, true);
}

// The writes of one hit alone: with a results table the reschedule and the
// row in one transaction, both or neither (on PostgreSQL in one statement;
// should that fail, as two, so that the error line names the one that
// fails); without, the reschedule under automatic commit, as it always was.
void WriteOne(Schedule* db, HitWrite* write, char* failed, size_t failed_size) {
  if (!write->key_ok) {
    NoteFailed(write->update, failed, failed_size);
    return;
  }
  if (!db->results.enabled) {
    if (const char* failing = Reschedule(db, write)) NoteFailed(failing, failed, failed_size);
    return;
  }
  size_t done = 0;
  if (!db->claims.enabled && CanWriteInOneStatement(db->results, &write, 1) &&
      WriteMovesAndRows(&db->results, db->update_conn, &write, 1, &done))
    return;
  if (!BeginResultsWrite(db)) {
    NoteFailed(write->update, failed, failed_size);
    return;
  }
  const char* failing = Reschedule(db, write);
  if (failing == nullptr && !InsertResults(&db->results, db->update_conn, &write, 1))
    failing = db->results.insert_text;
  if (failing == nullptr && !SQLOK(SQLEndTran(SQL_HANDLE_DBC, db->update_conn, SQL_COMMIT)))
    failing = write->update;
  if (failing != nullptr) {
    SQLEndTran(SQL_HANDLE_DBC, db->update_conn, SQL_ROLLBACK);
    NoteFailed(failing, failed, failed_size);
  }
  EndResultsWrite(db);
}

}  // namespace

int SQLOK(int rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLRETURN BindTimestampText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size,
                            SQLLEN* indicator) {
  *indicator = SQL_NTS;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_TYPE_TIMESTAMP, 19, 0,
                          text, size, indicator);
}

void LocalTimeText(time_t moment, char* out, size_t size) {
  struct tm local;
  localtime_r(&moment, &local);
  strftime(out, size, "%Y-%m-%d %H:%M:%S", &local);
}

int ODBCDateDriverKludge2(int, SQLHDBC, char*) { return 1; }

bool MakeCycleIdsTable(SQLHDBC connection, const char* ids_table, const char* table, char* forget,
                       size_t forget_size) {
  const SqlDialect& dialect = DialectOf(connection);
  if (dialect.cycle_ids_table == nullptr) return false;
  char text[512];
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, connection, &stmt))) return false;
  snprintf(text, sizeof text, dialect.cycle_ids_table, ids_table, table);
  bool made = SQLOK(SQLExecDirect(stmt, Sql(text), SQL_NTS));
  if (made && dialect.cycle_ids_index != nullptr) {
    snprintf(text, sizeof text, dialect.cycle_ids_index, ids_table, ids_table);
    SQLFreeStmt(stmt, SQL_CLOSE);
    made = SQLOK(SQLExecDirect(stmt, Sql(text), SQL_NTS));
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  snprintf(forget, forget_size, dialect.forget_cycle_ids, ids_table);
  return made;
}

bool Execute(SQLHSTMT stmt, char* text) {
  SQLFreeStmt(stmt, SQL_CLOSE);
  return SQLOK(SQLExecDirect(stmt, Sql(text), SQL_NTS));
}

bool SetAutocommit(SQLHDBC connection, bool on) {
  SQLULEN mode = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
  return SQLOK(
      SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(mode), 0));
}

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
  bool cursor = IsPsqlodbc(db->select_conn) && FetchThroughCursor(db->select_conn, 1);
  char statement[1024];
  snprintf(statement, sizeof statement, "select * from %s", s->table);
  if (!Execute(db->select_stmt, statement)) {
    PrintFormat("Error - No such table as %s\r\n", s->table);
    return 1;
  }
  FindCallColumns(db->select_stmt, &db->calls);
  db->cron_column = ResultHasColumn(db->select_stmt, "i_cron");
  db->zone_column = ResultHasColumn(db->select_stmt, "i_zone");
  snprintf(statement, sizeof statement, "select i_stop from %s", s->table);
  if (!Execute(db->select_stmt, statement)) {
    PrintFormat("Error - table %s is not v2.x schedule format.\r\n", s->table);
    return 1;
  }
  if (OptionGiven(s, 'l') &&
      !OpenResultsTable(db->select_stmt, db->update_conn, s->results, s->table, &db->results)) {
    return 1;
  }
  if (s->claim_secs > 0 &&
      !OpenClaims(db->select_conn, db->update_conn, s->table, s->claim_secs, &db->claims)) {
    return 1;
  }
  if (db->calls.any()) {
    if (!PrepareCallFetch(db->select_conn, s->table, &db->calls)) {
      PrintFormat("Could not prepare the read of the entries' web calls (%s).\r\n",
                  db->calls.text);
      return 1;
    }
  }
  CopyText(db->claims.optional_columns, OptionalColumnsText(db, "entry").c_str());
  CopyText(db->claims.optional_columns_due, OptionalColumnsText(db, "due").c_str());
  // A claimed entry's reschedule counts whether its claim held, which one
  // statement with the insert cannot tell. And the claims also reschedule
  // outside any write (handing entries back) under automatic commit, so
  // there the connection switches for each write as before; so it does
  // where one statement under automatic commit writes the group.
  if (db->claims.enabled) db->results.one_statement = false;
  if (db->results.enabled && !db->claims.enabled && !db->results.one_statement)
    UseManualCommit(&db->results, db->update_conn);
  if (limited && !db->pages.enabled && !LimitRows(db->select_stmt, 0)) {
    PrintText("Could not lift the row limit of the first (selection) ODBC statement.\r\n");
    return 1;
  }
  // Where the driver reads every due row before the first, they come a page
  // at a time; with claims, a batch at a time anyway.
  db->pages.enabled = !cursor && !db->claims.enabled && limited &&
                      DialectOf(db->select_conn).cycle_ids_table != nullptr &&
                      LimitRows(db->select_stmt, DuePages::kPageRows);
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
           "select id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, i_next%s "
           "from %s where i_next < %s AND %s >= i_start and %s <= i_stop",
           OptionalColumnsText(db, nullptr).c_str(), s->table, quoted_now, fraction, fraction);
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
  if (!MakeCycleIdsTable(db->select_conn, kDueIds, s->table, pages.forget, sizeof pages.forget)) {
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
         LimitRows(db->select_stmt, DuePages::kPageRows);
}

bool NextDuePage(const RunSettings* s, Schedule* db, const char* quoted_now, const char* fraction,
                 const char* const* ids, size_t count, char* select, size_t select_size) {
  select[0] = '\0';
  DuePages& pages = db->pages;
  if (!pages.enabled || count < DuePages::kPageRows) return false;
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

std::array<EntryField, 12> EntryFields(Entry* e) {
  return {{{e->id, sizeof e->id},
           {e->user, sizeof e->user},
           {e->password, sizeof e->password},
           {e->port, sizeof e->port},
           {e->object, sizeof e->object},
           {e->host, sizeof e->host},
           {e->timeout, sizeof e->timeout},
           {e->interval, sizeof e->interval},
           {e->next, sizeof e->next},
           {e->call, sizeof e->call},
           {e->cron, sizeof e->cron},
           {e->zone, sizeof e->zone}}};
}

void FetchEntry(SQLHSTMT stmt, Entry* entry) {
  SQLSMALLINT columns = 0;
  if (!SQLOK(SQLNumResultCols(stmt, &columns))) columns = 0;
  SQLUSMALLINT number = 1;
  for (const EntryField& c : EntryFields(entry)) {
    // A failed read must not leave the previous entry's text behind.
    c.text[0] = '\0';
    if (number > columns && number > 9) continue;
    SQLLEN indicator = 0;
    SQLGetData(stmt, number++, SQL_C_CHAR, c.text, static_cast<SQLLEN>(c.capacity), &indicator);
    if (indicator == SQL_NULL_DATA) c.text[0] = '\0';
    c.text[c.capacity - 1] = '\0';
  }
}

std::string OptionalColumnsText(const Schedule* db, const char* alias) {
  if (!db->optional_columns()) return "";
  std::string prefix = alias != nullptr ? std::string(alias) + "." : "";
  return ", " + CallFlagColumn(db->calls, alias) + ", " +
         (db->cron_column ? prefix + "i_cron" : "null") + ", " +
         (db->zone_column ? prefix + "i_zone" : "null");
}

bool ResultHasColumn(SQLHSTMT stmt, const char* name) {
  SQLSMALLINT count = 0;
  if (!SQLOK(SQLNumResultCols(stmt, &count))) return false;
  for (SQLUSMALLINT number = 1; number <= count; ++number) {
    SQLCHAR text[128];
    SQLSMALLINT length = 0;
    if (SQLOK(SQLColAttribute(stmt, number, SQL_DESC_NAME, text, sizeof text, &length, nullptr)) &&
        strcasecmp(reinterpret_cast<const char*>(text), name) == 0)
      return true;
  }
  return false;
}

void PrepareUpdate(const RunSettings* s, const Entry& entry, time_t present, HitWrite* write) {
  NextRunText(entry, present, s->verbose, s->quiet, write->next, sizeof write->next);
  PrepareUpdateTo(s, entry, write->next, write);
}

void PrepareUpdateTo(const RunSettings* s, const Entry& entry, const char* next, HitWrite* write) {
  if (next != write->next) CopyText(write->next, next);
  snprintf(write->update, sizeof write->update, "update %s set i_next = '%s' where id = %s",
           s->table, write->next, entry.id);
  write->key_ok = IsKeyNumber(entry.id, sizeof entry.id);
  write->id = strtoll(entry.id, nullptr, 10);
}

namespace {

// The reschedules of a group of claimed entries, Claims::kBatchMost to a
// statement: a statement per hit was a third of a sharing daemon's
// processor time. false when a statement fails; *lost counts the entries
// whose claims had gone.
bool RescheduleClaimedGroup(Schedule* db, HitWrite* const* writes, size_t count, size_t* lost) {
  for (size_t at = 0; at < count; at += Claims::kBatchMost) {
    size_t gone = 0;
    if (!RescheduleClaimedBatch(&db->claims, db->update_conn, writes + at,
                                std::min(count - at, Claims::kBatchMost), &gone))
      return false;
    *lost += gone;
  }
  return true;
}

}  // namespace

// Most of a write's cost is its commit (on SQLite a dozen system calls), and
// the main thread writing one commit per hit would hold up the workers; so
// the writes of hits that ended while the previous ones were written share
// one commit. That loses nothing more to a kill than before: there are only
// as many jobs as workers, so hits in flight and writes not yet committed
// are never more than -c together. Should any statement of the group fail,
// the group is rolled back and written again one by one, so that every
// write that can be made is made and the first failing one is named.
// Sharing the table, the reschedules go in batches; without result rows
// each batch is a statement of its own under automatic commit, since each
// row's reschedule stands alone. The group's result rows go in one insert
// (ResultsTable::kRowsMost to a statement): an insert a row was most of
// what -l cost a group. On PostgreSQL the whole group is one statement.
bool WriteHits(Schedule* db, HitWrite* const* writes, size_t count, char* failed,
               size_t failed_size) {
  failed[0] = '\0';
  bool keys_ok = std::all_of(writes, writes + count, [](HitWrite* w) { return w->key_ok; });
  bool claimed = db->claims.enabled;
  bool results = db->results.enabled;
  if (count > 1 && keys_ok && claimed && !results) {
    for (size_t at = 0; at < count; at += Claims::kBatchMost) {
      size_t batch = std::min(count - at, Claims::kBatchMost), lost = 0;
      if (RescheduleClaimedBatch(&db->claims, db->update_conn, writes + at, batch, &lost)) {
        NoteClaimsLost(lost);
        continue;
      }
      NoteDatabaseError();
      for (size_t i = at; i < at + batch; ++i) WriteOne(db, writes[i], failed, failed_size);
    }
    return failed[0] == '\0';
  }
  if (count > 1 && results && !claimed && CanWriteInOneStatement(db->results, writes, count)) {
    size_t done = 0;
    if (WriteMovesAndRows(&db->results, db->update_conn, writes, count, &done)) return true;
    NoteDatabaseError();
    for (size_t i = done; i < count; ++i) WriteOne(db, writes[i], failed, failed_size);
    return failed[0] == '\0';
  }
  if (count > 1 && keys_ok &&
      (results ? BeginResultsWrite(db) : SetAutocommit(db->update_conn, false))) {
    size_t lost = 0;
    bool written = claimed ? RescheduleClaimedGroup(db, writes, count, &lost)
                           : std::all_of(writes, writes + count, [db](HitWrite* w) {
                               return Reschedule(db, w) == nullptr;
                             });
    written = written && (!results || InsertResults(&db->results, db->update_conn, writes, count));
    written = written && SQLOK(SQLEndTran(SQL_HANDLE_DBC, db->update_conn, SQL_COMMIT));
    if (!written) {
      NoteDatabaseError();
      SQLEndTran(SQL_HANDLE_DBC, db->update_conn, SQL_ROLLBACK);
    }
    if (results)
      EndResultsWrite(db);
    else
      SetAutocommit(db->update_conn, true);
    if (written) {
      NoteClaimsLost(lost);
      return true;
    }
  }
  for (size_t i = 0; i < count; ++i) WriteOne(db, writes[i], failed, failed_size);
  return failed[0] == '\0';
}
