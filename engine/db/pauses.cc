#include "engine/db/pauses.h"

#include <sqlext.h>

#include <cstdio>

#include "base/ll_string.h"
#include "engine/db/odbc_calls.h"

namespace {

bool Prepare(SQLHDBC connection, const std::string& text, SQLHSTMT* stmt) {
  std::string copy = text;
  return SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, connection, stmt)) &&
         SQLOK(SQLPrepare(*stmt, Sql(copy.data()), SQL_NTS));
}

// A read in manual commit holds a transaction open (on SQLite, a read
// lock) until it ends.
void EndRead(SQLHSTMT stmt, SQLHDBC connection, bool manual_commit) {
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (manual_commit) SQLEndTran(SQL_HANDLE_DBC, connection, SQL_COMMIT);
}

}  // namespace

bool OpenPauses(SQLHDBC update_conn, const char* table, bool keeps_retries, Pauses* pauses) {
  CopyText(pauses->table, table);
  pauses->keeps_retries = keeps_retries;
  for (int end_retry = 0; end_retry < (keeps_retries ? 2 : 1); ++end_retry) {
    pauses->resume_text[end_retry] =
        std::string("update ") + table + " set i_next = ?, i_paused_until = null" +
        (end_retry ? ", i_attempt = null, i_run = null" : "") +
        " where id = ? and i_paused_until = ?";
    SQLHSTMT& stmt = pauses->resume[end_retry];
    SQLLEN* ind = pauses->indicators;
    if (!Prepare(update_conn, pauses->resume_text[end_retry], &stmt) ||
        !SQLOK(BindTimestampText(stmt, 1, pauses->next, sizeof pauses->next, &ind[0])) ||
        !SQLOK(BindKey(stmt, 2, &pauses->id, &ind[1])) ||
        !SQLOK(BindTimestampText(stmt, 3, pauses->until, sizeof pauses->until, &ind[2])))
      return false;
  }
  // Only the rows with a pause are in the index on i_paused_until.
  pauses->count_text =
      std::string("select count(*) from ") + table + " where i_paused_until is not null";
  if (!Prepare(update_conn, pauses->count_text, &pauses->count)) return false;
  pauses->enabled = true;
  return true;
}

bool ReadEndedPauses(Pauses* pauses, SQLHDBC update_conn, bool manual_commit,
                     const std::string& columns, const char* quoted_now,
                     std::vector<Entry>* ended, std::string* failed) {
  ended->clear();
  std::string text = "select " + columns + " from " + pauses->table +
                     " where i_paused_until <= " + quoted_now;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt))) {
    *failed = text;
    return false;
  }
  bool read = Execute(stmt, text.data());
  Entry entry;
  while (read && ended->size() < kMostResumedAtOnce && SQLOK(SQLFetch(stmt))) {
    FetchEntry(stmt, &entry);
    ended->push_back(entry);
  }
  EndRead(stmt, update_conn, manual_commit);
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (!read) *failed = text;
  return read;
}

bool ResumeEntry(Pauses* pauses, SQLBIGINT id, const char* next, const char* until,
                 bool end_retry, bool* kept) {
  SQLHSTMT stmt = pauses->resume[end_retry && pauses->keeps_retries ? 1 : 0];
  CopyText(pauses->next, next);
  pauses->id = id;
  CopyText(pauses->until, until);
  SQLLEN* ind = pauses->indicators;
  ind[0] = ind[2] = SQL_NTS;
  ind[1] = 0;
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (!SQLOK(SQLExecute(stmt))) return false;
  SQLLEN rows = 0;
  *kept = SQLOK(SQLRowCount(stmt, &rows)) && rows > 0;
  return true;
}

bool CountPausedEntries(Pauses* pauses, SQLHDBC update_conn, bool manual_commit,
                        long long* count) {
  SQLHSTMT stmt = pauses->count;
  SQLFreeStmt(stmt, SQL_CLOSE);
  SQLBIGINT counted = 0;
  SQLLEN indicator = 0;
  bool read = SQLOK(SQLExecute(stmt)) && SQLOK(SQLFetch(stmt)) &&
              SQLOK(SQLGetData(stmt, 1, SQL_C_SBIGINT, &counted, 0, &indicator));
  EndRead(stmt, update_conn, manual_commit);
  if (read) *count = indicator == SQL_NULL_DATA ? 0 : counted;
  return read;
}
