#include "engine/db/odbc_calls.h"

#include <sqlext.h>
#include <strings.h>

#include <cstdio>

#include "engine/db/sql_dialect.h"

int SQLOK(int rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLRETURN BindTimestampText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size,
                            SQLLEN* indicator) {
  *indicator = SQL_NTS;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_TYPE_TIMESTAMP, 19, 0,
                          text, size, indicator);
}

SQLRETURN BindKey(SQLHSTMT stmt, SQLUSMALLINT number, SQLBIGINT* key, SQLLEN* indicator) {
  *indicator = 0;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, key, 0,
                          indicator);
}

SQLRETURN BindInteger(SQLHSTMT stmt, SQLUSMALLINT number, SQLINTEGER* value, SQLLEN* indicator) {
  *indicator = 0;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, value, 0,
                          indicator);
}

SQLRETURN BindText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size, SQLLEN* indicator) {
  *indicator = SQL_NTS;
  return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                          static_cast<SQLULEN>(size - 1), 0, text, size, indicator);
}

bool MakeCycleIdsTable(SQLHDBC connection, const SqlDialect& dialect, const char* ids_table,
                       const char* table, char* forget, size_t forget_size) {
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

Transaction::Transaction(SQLHDBC connection, bool stays_manual)
    : connection_(connection),
      stays_manual_(stays_manual),
      begun_(stays_manual || SetAutocommit(connection, false)) {}

Transaction::~Transaction() {
  if (!begun_) return;
  if (!committed_) SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_ROLLBACK);
  if (!stays_manual_) SetAutocommit(connection_, true);
}

bool Transaction::Commit() {
  committed_ = begun_ && SQLOK(SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_COMMIT));
  return committed_;
}
