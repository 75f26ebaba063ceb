/* How much memory an ODBC driver's result set takes: connects to DSN,
 * notes the resident size, executes STATEMENT, fetches every row (reading
 * each column as text, as jantor does), and prints the rise of the peak
 * resident size in KiB and the number of rows.
 * Usage: odbc_resultset DSN USER PASSWORD STATEMENT */
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <string.h>

static long status_kib(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  if (f == NULL) return -1;
  char line[256];
  long value = -1;
  size_t length = strlen(field);
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, field, length) == 0) sscanf(line + length, "%ld", &value);
  }
  fclose(f);
  return value;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: odbc_resultset DSN USER PASSWORD STATEMENT\n");
    return 2;
  }
  SQLHENV env;
  SQLHDBC connection;
  SQLHSTMT statement;
  SQLAllocEnv(&env);
  SQLAllocConnect(env, &connection);
  if (!SQL_SUCCEEDED(SQLConnect(connection, (SQLCHAR *)argv[1], SQL_NTS, (SQLCHAR *)argv[2],
                                SQL_NTS, (SQLCHAR *)argv[3], SQL_NTS))) {
    fprintf(stderr, "odbc_resultset: cannot connect to %s\n", argv[1]);
    return 1;
  }
  SQLAllocStmt(connection, &statement);
  long before = status_kib("VmRSS:");
  if (!SQL_SUCCEEDED(SQLExecDirect(statement, (SQLCHAR *)argv[4], SQL_NTS))) {
    fprintf(stderr, "odbc_resultset: the statement failed\n");
    return 1;
  }
  long rows = 0;
  char text[256];
  SQLLEN indicator;
  while (SQL_SUCCEEDED(SQLFetch(statement))) {
    for (SQLUSMALLINT column = 1; column <= 9; ++column) {
      SQLGetData(statement, column, SQL_C_CHAR, text, sizeof text, &indicator);
    }
    ++rows;
  }
  printf("%ld %ld\n", status_kib("VmHWM:") - before, rows);
  return 0;
}
