// The columns that let an entry ask for its own web call (i_method,
// i_headers, i_body, and i_auth, how the call is authorized): which of
// them the schedule table has, found by name in the start-up check's
// result, and the reading of one entry's values for its hit. A table
// without any of them is read without them. The due select only says
// whether an entry has any such value; the values are read for each hit
// that has, by the entry's key, so that a cycle holds the bodies of its
// hits in flight only, never those of a whole page of due entries.
// Everything here belongs to the main thread.
#ifndef JANTOR_ENGINE_DB_ENTRY_CALL_H_
#define JANTOR_ENGINE_DB_ENTRY_CALL_H_

#include <sql.h>

#include <string>

struct Entry;

struct CallColumns {
  bool method = false;
  bool headers = false;
  bool body = false;
  bool auth = false;
  // "select i_method, i_headers, i_body from T where id = ?", with i_auth
  // after i_body where the table has it
  SQLHSTMT fetch = SQL_NULL_HSTMT;
  SQLBIGINT id = 0;  // its parameter
  SQLLEN id_indicator = 0;
  char text[512] = "";  // its text, for the error line
  bool any() const { return method || headers || body || auth; }
};

// One entry's values as read; a NULL reads as the empty text. A text longer
// than the checks allow is read only a little past that limit, which is
// enough for it to be refused.
struct EntryCallTexts {
  std::string method;
  std::string headers;
  std::string body;
  std::string auth;  // i_auth (engine/rules/auth.h)
};

// Notes which of the four columns the open result on stmt has (by name, in
// any letter case). Reads no row.
void FindCallColumns(SQLHSTMT stmt, CallColumns* columns);

// The call flag the due select (and the claims) read where the table has
// any of the optional columns: "case when i_method is null and ... then 0
// else 1 end", with the columns qualified by alias when it is not null;
// "0" where the table has no call columns. An entry whose flag is 0 is hit
// with a plain GET and costs no read of its own.
std::string CallFlagColumn(const CallColumns& columns, const char* alias);

// Prepares the read of an entry's values on connection; the columns the
// table lacks read as NULL. false when the statement cannot be prepared.
bool PrepareCallFetch(SQLHDBC connection, const char* table, CallColumns* columns);

// Reads the values of the entry whose key is key into *texts; an entry
// that is not found, or whose key is not whole (kKeyWhole), has none. false
// when the statement fails.
bool FetchEntryCall(CallColumns* columns, const Entry& entry, EntryCallTexts* texts);

#endif  // JANTOR_ENGINE_DB_ENTRY_CALL_H_
