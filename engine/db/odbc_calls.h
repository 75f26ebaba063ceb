// The ODBC helpers every unit that runs statements uses: the success test,
// statement texts, binding a timestamp as text, a statement run at once,
// the commit mode and a transaction that puts it back, the temporary table
// of a cycle's ids, and the columns of a result. Plain functions over the
// caller's handles; a handle belongs to one thread at a time.
#ifndef JANTOR_ENGINE_DB_ODBC_CALLS_H_
#define JANTOR_ENGINE_DB_ODBC_CALLS_H_

#include <sql.h>

#include <cstddef>

struct SqlDialect;

// 1 for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO, 0 for every other code.
int SQLOK(int rc);

// The driver manager's statement texts are unsigned; ours are not.
inline SQLCHAR* Sql(char* text) { return reinterpret_cast<SQLCHAR*>(text); }

// Binds parameter number to a timestamp sent as text ("YYYY-MM-DD
// HH:MM:SS"): each driver turns it into its own timestamp type, and SQLite
// keeps the text as it is.
SQLRETURN BindTimestampText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size,
                            SQLLEN* indicator);

// Binds parameter number to a key, sent as a BIGINT; sets *indicator to 0.
SQLRETURN BindKey(SQLHSTMT stmt, SQLUSMALLINT number, SQLBIGINT* key, SQLLEN* indicator);

// Binds parameter number to an INTEGER; sets *indicator to 0 (a caller
// that sends NULL sets it to SQL_NULL_DATA before each execution).
SQLRETURN BindInteger(SQLHSTMT stmt, SQLUSMALLINT number, SQLINTEGER* value, SQLLEN* indicator);

// Binds parameter number to a VARCHAR text in a buffer of size bytes, sent
// up to its terminator; sets *indicator to SQL_NTS.
SQLRETURN BindText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size, SQLLEN* indicator);

// Makes the selection connection's temporary table of the ids a cycle has
// taken (see SqlDialect), named ids_table, with the key column of table;
// forget gets the statement that empties it. false when the DBMS has none
// or a statement fails.
bool MakeCycleIdsTable(SQLHDBC connection, const SqlDialect& dialect, const char* ids_table,
                       const char* table, char* forget, size_t forget_size);

// Closes the statement's open result set and runs text on it.
bool Execute(SQLHSTMT stmt, char* text);

// Turns the connection's automatic commit on or off.
bool SetAutocommit(SQLHDBC connection, bool on);

// Whether the open result on stmt has a column of that name, in any case.
bool ResultHasColumn(SQLHSTMT stmt, const char* name);

// A transaction on connection for the life of the guard: it leaves
// automatic commit when it begins (unless the connection stays in manual
// commit anyway, stays_manual) and returns to it when it ends, rolled back
// unless Commit succeeded.
class Transaction {
 public:
  Transaction(SQLHDBC connection, bool stays_manual);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  // Whether the transaction could begin (the commit mode could be set).
  bool begun() const { return begun_; }
  // Commits; false when the commit fails (the guard then rolls back).
  bool Commit();

 private:
  SQLHDBC connection_;
  bool stays_manual_;
  bool begun_;
  bool committed_ = false;
};

#endif  // JANTOR_ENGINE_DB_ODBC_CALLS_H_
