#include "engine/db/entry_call.h"

#include <sqlext.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "engine/db/odbc_calls.h"
#include "engine/rules/auth.h"
#include "engine/rules/entry.h"
#include "http/ll_webcall.h"

namespace {

// Reads column number of the current row as text, up to a little past most
// bytes. false when the driver fails the read.
bool ReadText(SQLHSTMT stmt, SQLUSMALLINT number, size_t most, std::string* out) {
  out->clear();
  char piece[16384];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt, number, SQL_C_CHAR, piece, sizeof piece, &indicator);
    if (rc == SQL_NO_DATA) return true;
    if (!SQLOK(rc)) return false;
    if (indicator == SQL_NULL_DATA) return true;
    size_t got = indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof piece)
                     ? sizeof piece - 1
                     : static_cast<size_t>(indicator);
    out->append(piece, got);
    // SQL_SUCCESS: that was the last piece.
    if (rc == SQL_SUCCESS || out->size() > most) return true;
  }
}

}  // namespace

void FindCallColumns(SQLHSTMT stmt, CallColumns* columns) {
  columns->method = ResultHasColumn(stmt, "i_method");
  columns->headers = ResultHasColumn(stmt, "i_headers");
  columns->body = ResultHasColumn(stmt, "i_body");
  columns->auth = ResultHasColumn(stmt, "i_auth");
}

std::string CallFlagColumn(const CallColumns& columns, const char* alias) {
  if (!columns.any()) return "0";
  std::string prefix = alias != nullptr ? std::string(alias) + "." : "";
  std::string tests;
  for (auto [present, name] :
       {std::pair{columns.method, "i_method"}, std::pair{columns.headers, "i_headers"},
        std::pair{columns.body, "i_body"}, std::pair{columns.auth, "i_auth"}}) {
    if (!present) continue;
    tests += (tests.empty() ? "" : " and ") + prefix + name + " is null";
  }
  return "case when " + tests + " then 0 else 1 end";
}

bool PrepareCallFetch(SQLHDBC connection, const char* table, CallColumns* columns) {
  snprintf(columns->text, sizeof columns->text, "select %s, %s, %s%s from %s where id = ?",
           columns->method ? "i_method" : "null", columns->headers ? "i_headers" : "null",
           columns->body ? "i_body" : "null", columns->auth ? ", i_auth" : "", table);
  return SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, connection, &columns->fetch)) &&
         SQLOK(SQLPrepare(columns->fetch, Sql(columns->text), SQL_NTS)) &&
         SQLOK(BindKey(columns->fetch, 1, &columns->id, &columns->id_indicator));
}

bool FetchEntryCall(CallColumns* columns, const Entry& entry, EntryCallTexts* texts) {
  texts->method.clear();
  texts->headers.clear();
  texts->body.clear();
  texts->auth.clear();
  if (entry.key_kind != kKeyWhole) return true;
  columns->id = entry.key;
  columns->id_indicator = 0;
  SQLHSTMT stmt = columns->fetch;
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (!SQLOK(SQLExecute(stmt))) return false;
  SQLRETURN rc = SQLFetch(stmt);
  bool read =
      rc == SQL_NO_DATA || (SQLOK(rc) && ReadText(stmt, 1, 16, &texts->method) &&
                            ReadText(stmt, 2, kWebCallHeaderBytesMost, &texts->headers) &&
                            ReadText(stmt, 3, kWebCallBodyMost, &texts->body) &&
                            (!columns->auth || ReadText(stmt, 4, kAuthTextMost, &texts->auth)));
  SQLFreeStmt(stmt, SQL_CLOSE);
  return read;
}
