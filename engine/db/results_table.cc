#include "engine/db/results_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/ll_cpapi.h"
#include "engine/db/grouped_writes.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/sql_dialect.h"
#include "engine/metrics.h"
#include "engine/rules/entry.h"

namespace {

constexpr const char* kColumns[] = {"entry_id", "due",    "started", "duration_ms",
                                    "outcome",  "status", "bytes",   "reason"};

// Old rows are deleted for at most this long a cycle; the rest waits for
// the next one.
constexpr long long kPruneBudgetMs = 2000;

// Parameters of a row in an insert.
SQLUSMALLINT RowParameters(const ResultsTable& r) { return r.attempt_column ? 9 : 8; }

// Binds the columns of rows[at] to the parameters from first on.
bool BindRow(ResultsTable* r, SQLHSTMT stmt, size_t at, SQLUSMALLINT first) {
  ResultRow& row = r->rows[at];
  SQLLEN* ind = r->indicators[at];
  auto number = [first](int column) { return static_cast<SQLUSMALLINT>(first + column); };
  return SQLOK(BindKey(stmt, number(0), &row.entry_id, &ind[0])) &&
         SQLOK(BindTimestampText(stmt, number(1), row.due, sizeof row.due, &ind[1])) &&
         SQLOK(BindTimestampText(stmt, number(2), row.started, sizeof row.started, &ind[2])) &&
         SQLOK(BindInteger(stmt, number(3), &row.duration_ms, &ind[3])) &&
         SQLOK(BindText(stmt, number(4), row.outcome, sizeof row.outcome, &ind[4])) &&
         SQLOK(BindInteger(stmt, number(5), &row.status, &ind[5])) &&
         SQLOK(BindKey(stmt, number(6), &row.bytes, &ind[6])) &&
         SQLOK(BindText(stmt, number(7), row.reason, sizeof row.reason, &ind[7])) &&
         (!r->attempt_column || SQLOK(BindInteger(stmt, number(8), &row.attempt, &ind[8])));
}

// The insert of count rows, "insert into T (...) values (?, ...), (?, ...)".
std::string InsertText(const ResultsTable& r, size_t count) {
  std::string text = std::string("insert into ") + r.name +
                     " (entry_id, due, started, duration_ms, outcome, status, bytes, reason" +
                     (r.attempt_column ? ", attempt) values " : ") values ");
  const char* row = r.attempt_column ? "(?, ?, ?, ?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?, ?, ?)";
  for (size_t i = 0; i < count; ++i) text += (i == 0 ? "" : ", ") + std::string(row);
  return text;
}

// Prepares text on the connection into *stmt and binds rows[0..count) from
// parameter first on; on a failure *stmt is freed again.
bool PrepareWithRows(ResultsTable* r, SQLHDBC update_conn, std::string text, SQLHSTMT* stmt,
                     size_t count, SQLUSMALLINT first) {
  bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, stmt)) &&
               SQLOK(SQLPrepare(*stmt, Sql(text.data()), SQL_NTS));
  for (size_t i = 0; i < count && ready; ++i)
    ready = BindRow(r, *stmt, i, static_cast<SQLUSMALLINT>(first + RowParameters(*r) * i));
  if (!ready && *stmt != SQL_NULL_HSTMT) {
    SQLFreeHandle(SQL_HANDLE_STMT, *stmt);
    *stmt = SQL_NULL_HSTMT;
  }
  return ready;
}

// "with moved as (update ...) insert into T ... values ...", for a chunk of
// count writes that change changes: PostgreSQL runs the reschedules and the
// inserts as one statement, one round trip, where a transaction of several
// statements took four a hit (psqlODBC adds a savepoint before each
// prepared statement after the first).
bool PrepareMoves(ResultsTable* r, GroupedWrites* groups, SQLHDBC update_conn, unsigned changes,
                  size_t count) {
  std::string text = "with moved as (" + GroupedWriteText(*groups, changes, false, count) + ") " +
                     InsertText(*r, count);
  SQLHSTMT& stmt = r->moves[changes][count];
  SQLUSMALLINT number = 1;
  bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt)) &&
               SQLOK(SQLPrepare(stmt, Sql(text.data()), SQL_NTS)) &&
               BindGroupedWrite(groups, stmt, changes, false, count, &number);
  for (size_t i = 0; i < count && ready; ++i)
    ready = BindRow(r, stmt, i, static_cast<SQLUSMALLINT>(number + RowParameters(*r) * i));
  if (!ready && stmt != SQL_NULL_HSTMT) {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    stmt = SQL_NULL_HSTMT;
  }
  return ready;
}

// Copies row into the bound rows[at]; status 0 and an empty reason go as NULL.
void SetRow(ResultsTable* r, size_t at, const ResultRow& row) {
  r->rows[at] = row;
  SQLLEN* ind = r->indicators[at];
  ind[5] = row.status != 0 ? 0 : SQL_NULL_DATA;
  ind[7] = row.reason[0] != '\0' ? SQL_NTS : SQL_NULL_DATA;
  ind[8] = 0;
}

bool Run(SQLHSTMT stmt) {
  SQLFreeStmt(stmt, SQL_CLOSE);
  return SQLOK(SQLExecute(stmt));
}

// A commit that writes result rows writes about twice the pages of one
// without (the rows' table and its index beside the entry's row and its
// index), so SQLite's write-ahead log would be checkpointed twice as
// often a hit, each time waiting for the disk on the thread whose writes
// every worker's next hit waits for. The update connection checkpoints
// after twice the pages it would otherwise, which keeps the checkpoints of
// a hit about what they are without -l. Without a write-ahead log the
// setting does nothing; where it cannot be read or set it stays as it was.
void SpaceCheckpoints(SQLHDBC update_conn) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt))) return;
  char text[64] = "PRAGMA wal_autocheckpoint";
  SQLINTEGER pages = 0;
  SQLLEN indicator = 0;
  bool read = SQLOK(SQLExecDirect(stmt, Sql(text), SQL_NTS)) && SQLOK(SQLFetch(stmt)) &&
              SQLOK(SQLGetData(stmt, 1, SQL_C_SLONG, &pages, 0, &indicator)) &&
              indicator != SQL_NULL_DATA;
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (read && pages > 0 && pages <= 1 << 20) {
    snprintf(text, sizeof text, "PRAGMA wal_autocheckpoint = %d", 2 * static_cast<int>(pages));
    SQLExecDirect(stmt, Sql(text), SQL_NTS);
    SQLFreeStmt(stmt, SQL_CLOSE);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

}  // namespace

bool OpenResultsTable(SQLHSTMT check_stmt, SQLHDBC update_conn, const SqlDialect& dialect,
                      const char* table, ResultsTable* results) {
  char statement[1024];
  snprintf(statement, sizeof statement, "select * from %s", table);
  if (!Execute(check_stmt, statement)) {
    PrintFormat("Error - No such results table as %s\r\n", table);
    return false;
  }
  for (const char* column : kColumns) {
    snprintf(statement, sizeof statement, "select %s from %s", column, table);
    if (!Execute(check_stmt, statement)) {
      PrintFormat("Error - results table %s has no column %s.\r\n", table, column);
      return false;
    }
  }
  snprintf(statement, sizeof statement, "select attempt from %s", table);
  results->attempt_column = Execute(check_stmt, statement);
  SQLFreeStmt(check_stmt, SQL_CLOSE);

  snprintf(results->name, sizeof results->name, "%s", table);
  snprintf(results->insert_text, sizeof results->insert_text, "%s",
           InsertText(*results, 1).c_str());
  if (!PrepareWithRows(results, update_conn, results->insert_text, &results->inserts[1], 1, 1)) {
    PrintFormat("Could not prepare the insert into results table %s.\r\n", table);
    return false;
  }
  results->prune_text = dialect.prune_batch;
  results->one_statement = dialect.writes_in_one_statement;
  if (dialect.spaces_checkpoints) SpaceCheckpoints(update_conn);
  results->enabled = true;
  return true;
}

bool UseManualCommit(ResultsTable* results, SQLHDBC update_conn) {
  results->manual_commit = SetAutocommit(update_conn, false);
  return results->manual_commit;
}

namespace {

// The inserts of count rows, rows(i) giving row i, kRowsMost to a statement.
template <typename RowOf>
bool Insert(ResultsTable* results, SQLHDBC update_conn, size_t count, RowOf row_of) {
  for (size_t at = 0; at < count; at += ResultsTable::kRowsMost) {
    size_t rows = std::min(count - at, ResultsTable::kRowsMost);
    SQLHSTMT& stmt = results->inserts[rows];
    if (stmt == SQL_NULL_HSTMT &&
        !PrepareWithRows(results, update_conn, InsertText(*results, rows), &stmt, rows, 1))
      return false;
    for (size_t i = 0; i < rows; ++i) SetRow(results, i, row_of(at + i));
    if (!Run(stmt)) return false;
  }
  return true;
}

}  // namespace

bool InsertResults(ResultsTable* results, SQLHDBC update_conn, HitWrite* const* writes,
                   size_t count) {
  return Insert(results, update_conn, count,
                [writes](size_t i) -> const ResultRow& { return writes[i]->row; });
}

bool InsertResultRows(ResultsTable* results, SQLHDBC update_conn, const ResultRow* rows,
                      size_t count) {
  return Insert(results, update_conn, count,
                [rows](size_t i) -> const ResultRow& { return rows[i]; });
}

bool CanWriteInOneStatement(const ResultsTable& results, HitWrite* const* writes, size_t count) {
  if (!results.one_statement) return false;
  for (size_t at = 0, n = 0; at < count; at += n) {
    n = ChunkLength(writes + at, count - at);
    if (!ChunkFits(writes + at, n)) return false;
  }
  return true;
}

bool WriteMovesAndRows(ResultsTable* results, GroupedWrites* groups, SQLHDBC update_conn,
                       HitWrite* const* writes, size_t count, size_t* done) {
  *done = 0;
  for (size_t at = 0, n = 0; at < count; at += n) {
    n = ChunkLength(writes + at, count - at);
    unsigned changes = writes[at]->state.changes % kRunStateChangeSets;
    SQLHSTMT& stmt = results->moves[changes][n];
    bool written = stmt != SQL_NULL_HSTMT || PrepareMoves(results, groups, update_conn, changes, n);
    if (written) SetGroupedRows(groups, writes + at, n);
    for (size_t i = 0; i < n && written; ++i) SetRow(results, i, writes[at + i]->row);
    if (!written || !Run(stmt)) {
      // The writes go back to the way every DBMS takes, which names the
      // statement that fails.
      results->one_statement = false;
      return false;
    }
    *done += n;
  }
  return true;
}

void PruneResults(ResultsTable* results, SQLHDBC update_conn, int keep_hours, time_t now,
                  const char* keep_from) {
  if (!results->enabled || keep_hours == 0) return;
  if (keep_from != nullptr && keep_from[0] == '\0') return;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt))) return;
  char text[512];
  snprintf(text, sizeof text, results->prune_text, results->name, static_cast<int>(kPruneBatch));
  time_t cutoff_time = now - static_cast<time_t>(keep_hours) * 3600;
  char cutoff[20];
  LocalTimeText(cutoff_time, cutoff, sizeof cutoff);
  if (keep_from != nullptr && strcmp(keep_from, cutoff) < 0)
    snprintf(cutoff, sizeof cutoff, "%s", keep_from);
  SQLLEN indicator = SQL_NTS;
  long long start = MonotonicUs();
  if (SQLOK(SQLPrepare(stmt, Sql(text), SQL_NTS)) &&
      SQLOK(BindTimestampText(stmt, 1, cutoff, sizeof cutoff, &indicator))) {
    for (;;) {
      SQLFreeStmt(stmt, SQL_CLOSE);
      bool executed = SQLOK(SQLExecute(stmt));
      SQLLEN deleted = 0;
      bool counted = executed && SQLOK(SQLRowCount(stmt, &deleted));
      if (results->manual_commit &&
          !SQLOK(SQLEndTran(SQL_HANDLE_DBC, update_conn, executed ? SQL_COMMIT : SQL_ROLLBACK)))
        executed = false;
      if (!executed) {
        NoteDatabaseError();
        break;
      }
      if (!counted || deleted < kPruneBatch) break;
      if (MonotonicUs() - start >= kPruneBudgetMs * 1000LL) break;
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}
