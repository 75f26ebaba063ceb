// The few statements that SQLite, PostgreSQL and MariaDB write differently,
// kept together in one table keyed by the name the driver reports for its
// DBMS (SQLGetInfo, SQL_DBMS_NAME). Everything else is written once. The
// table is constant; DialectOf only asks the connection it is given.
#ifndef JANTOR_ENGINE_SQL_DIALECT_H_
#define JANTOR_ENGINE_SQL_DIALECT_H_

#include <sql.h>

struct SqlDialect {
  const char* dbms;  // the reported name, or "" for any other DBMS
  // Deletes up to kPruneBatch rows of a results table (both %s) whose
  // started is before the one parameter. Another DBMS gets a plain delete.
  const char* prune_batch;
  // SELECT ... FOR UPDATE SKIP LOCKED, which sharing a table (-s) needs.
  bool skip_locked;
  // UPDATE ... FROM ... RETURNING, which claims a batch in one statement.
  bool update_returning;
  // An update's row count is the rows it changed, not those it matched.
  bool counts_changed_rows;
  // A temporary table of the selection connection's own that holds the ids
  // a cycle has taken (the claims', or the due select's pages'), so that
  // its later statements pass them over: made with the key's type (%s: the
  // temporary table, then the schedule table), indexed (%s: the temporary
  // table twice; null when made with its index) and emptied. Null where
  // neither claims nor pages are needed.
  const char* cycle_ids_table;
  const char* cycle_ids_index;
  const char* forget_cycle_ids;
  // i_object up to its '?': the status page searches paths, never the
  // query strings, which often carry a token. Null where unknown (the
  // page then searches the whole object).
  const char* path_of_object;
  // i_recent with the one parameter's letter after it, cut to its last 60:
  // the database keeps the strip, so that a cycle need not read it. Where
  // unknown, the latest letter alone.
  const char* append_recent;
};

enum : int { kPruneBatch = 1000 };

// The dialect of the DBMS behind connection; the plain one when the name is
// unknown or cannot be read.
const SqlDialect& DialectOf(SQLHDBC connection);

// Whether the DBMS of that name and version (as SQL_DBMS_NAME and
// SQL_DBMS_VER report them) skips locked rows: PostgreSQL, and MariaDB
// from 10.6 on.
bool SkipsLockedRows(const char* name, const char* version);

#endif  // JANTOR_ENGINE_SQL_DIALECT_H_
