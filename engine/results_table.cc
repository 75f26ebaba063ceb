#include "engine/results_table.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/ll_cpapi.h"
#include "engine/metrics.h"
#include "engine/schedule_db.h"
#include "engine/sql_dialect.h"

namespace {

constexpr const char* kColumns[] = {"entry_id", "due",    "started", "duration_ms",
                                    "outcome",  "status", "bytes",   "reason"};

// Old rows are deleted for at most this long a cycle; the rest waits for
// the next one.
constexpr long long kPruneBudgetMs = 2000;

SQLRETURN BindText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size, SQLLEN* indicator) {
  *indicator = SQL_NTS;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                          static_cast<SQLULEN>(size - 1), 0, text, size, indicator);
}

bool BindRow(ResultsTable* r) {
  ResultRow& row = r->row;
  SQLLEN* ind = r->indicators;
  SQLHSTMT stmt = r->insert;
  return SQLOK(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                &row.entry_id, 0, &ind[0])) &&
         SQLOK(BindTimestampText(stmt, 2, row.due, sizeof row.due, &ind[1])) &&
         SQLOK(BindTimestampText(stmt, 3, row.started, sizeof row.started, &ind[2])) &&
         SQLOK(SQLBindParameter(stmt, 4, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                &row.duration_ms, 0, &ind[3])) &&
         SQLOK(BindText(stmt, 5, row.outcome, sizeof row.outcome, &ind[4])) &&
         SQLOK(SQLBindParameter(stmt, 6, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                &row.status, 0, &ind[5])) &&
         SQLOK(SQLBindParameter(stmt, 7, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                &row.bytes, 0, &ind[6])) &&
         SQLOK(BindText(stmt, 8, row.reason, sizeof row.reason, &ind[7]));
}

}  // namespace

bool OpenResultsTable(SQLHSTMT check_stmt, SQLHDBC update_conn, const char* table,
                      ResultsTable* results) {
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
  SQLFreeStmt(check_stmt, SQL_CLOSE);

  snprintf(results->name, sizeof results->name, "%s", table);
  snprintf(results->insert_text, sizeof results->insert_text,
           "insert into %s (entry_id, due, started, duration_ms, outcome, status, bytes, reason) "
           "values (?, ?, ?, ?, ?, ?, ?, ?)",
           table);
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &results->insert)) ||
      !SQLOK(SQLPrepare(results->insert, Sql(results->insert_text), SQL_NTS)) ||
      !BindRow(results)) {
    PrintFormat("Could not prepare the insert into results table %s.\r\n", table);
    return false;
  }
  results->prune_text = DialectOf(update_conn).prune_batch;
  results->enabled = true;
  return true;
}

bool InsertResult(ResultsTable* results, const ResultRow& row) {
  results->row = row;
  SQLLEN* ind = results->indicators;
  ind[5] = row.status != 0 ? 0 : SQL_NULL_DATA;
  ind[7] = row.reason[0] != '\0' ? SQL_NTS : SQL_NULL_DATA;
  SQLFreeStmt(results->insert, SQL_CLOSE);
  return SQLOK(SQLExecute(results->insert));
}

void PruneResults(ResultsTable* results, SQLHDBC update_conn, int keep_hours, time_t now) {
  if (!results->enabled || keep_hours == 0) return;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt))) return;
  char text[512];
  snprintf(text, sizeof text, results->prune_text, results->name, results->name);
  time_t cutoff_time = now - static_cast<time_t>(keep_hours) * 3600;
  char cutoff[20];
  LocalTimeText(cutoff_time, cutoff, sizeof cutoff);
  SQLLEN indicator = SQL_NTS;
  long long start = MonotonicUs();
  if (SQLOK(SQLPrepare(stmt, Sql(text), SQL_NTS)) &&
      SQLOK(BindTimestampText(stmt, 1, cutoff, sizeof cutoff, &indicator))) {
    for (;;) {
      SQLFreeStmt(stmt, SQL_CLOSE);
      if (!SQLOK(SQLExecute(stmt))) {
        NoteDatabaseError();
        break;
      }
      SQLLEN deleted = 0;
      if (!SQLOK(SQLRowCount(stmt, &deleted)) || deleted < kPruneBatch) break;
      if (MonotonicUs() - start >= kPruneBudgetMs * 1000LL) break;
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}
