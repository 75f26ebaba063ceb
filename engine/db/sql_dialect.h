// The few statements that SQLite, PostgreSQL and MariaDB write differently,
// kept together in one table keyed by the name the driver reports for its
// DBMS (SQLGetInfo, SQL_DBMS_NAME), with every other choice that depends on
// the DBMS: no other unit looks at a DBMS's name. Everything else is written
// once. The table is constant; DialectOf only asks the connection it is
// given.
#ifndef JANTOR_ENGINE_DB_SQL_DIALECT_H_
#define JANTOR_ENGINE_DB_SQL_DIALECT_H_

#include <sql.h>

struct SqlDialect {
  const char* dbms;  // the reported name, or "" for any other DBMS
  // Deletes up to kPruneBatch rows (%2$d) of a results table (%1$s) whose
  // started is before the one parameter. Another DBMS gets a plain delete.
  const char* prune_batch;
  // SELECT ... FOR UPDATE SKIP LOCKED, which sharing a table (-s) needs:
  // from this server version on ("" for every version; null for none), and
  // only for a version text that holds skip_locked_version_holds when that
  // is not null.
  const char* skip_locked_from;
  const char* skip_locked_version_holds;
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
  // page then sifts the paths itself).
  const char* path_of_object;
  // i_recent with the one parameter's letter after it, cut to its last 60:
  // the database keeps the strip, so that a cycle need not read it. Where
  // unknown, the latest letter alone.
  const char* append_recent;
  // An entry's key in a grouped write (see engine/db/grouped_writes.h). On
  // PostgreSQL cast to an integer type, as the bare number in the one-row
  // reschedule is, so that a key column of text fails in the group as it
  // does alone.
  const char* key_parameter;
  // A chunk of writes that change the entries' kept state goes as one
  // statement (engine/db/grouped_writes.h). SQLite, in the process, writes
  // them a row at a time faster than it evaluates the cases of one.
  bool groups_kept_state;
  // A WITH of the reschedules before the results' insert, so that a group
  // of hits and their rows are one statement (see WriteMovesAndRows).
  bool writes_in_one_statement;
  // The update connection spaces its write-ahead log's checkpoints for -l
  // (see SpaceCheckpoints).
  bool spaces_checkpoints;
  // The driver (psqlODBC) reads a result through a cursor when told to, in
  // place of holding all of it; the due entries then come a hundred at a time.
  bool reads_through_cursor;
  // The start of the hour of a timestamp column (%s) as a value that
  // compares with the column, for the status page's sums of the results
  // of the hours not yet rolled up; null where unknown (the page then
  // sums those rows by their own time). And the day of an hour's start
  // (%s), by which the hourly rollups are summed into days.
  const char* hour_of;
  const char* day_of;
};

enum : int { kPruneBatch = 1000 };

// The dialect of the DBMS behind connection; the plain one when the name is
// unknown or cannot be read. Found once per connection, by its opener.
const SqlDialect& DialectOf(SQLHDBC connection);

// Whether the DBMS of that dialect and version (as SQL_DBMS_VER reports
// it) skips locked rows.
bool SkipsLockedRows(const SqlDialect& dialect, const char* version);

#endif  // JANTOR_ENGINE_DB_SQL_DIALECT_H_
