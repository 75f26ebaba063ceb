// The results table of -l: one row for every hit, written by the update
// connection in the same transaction as the entry's reschedule, and rows
// older than -k hours deleted in short batches between cycles. Every value
// of a row reaches the database as a bound parameter; only the tables'
// names, as the operator typed them, are placed into the statements' text. The
// ResultsTable belongs to the main thread; a ResultRow is filled by the
// thread that made the hit and handed over with it.
#ifndef JANTOR_ENGINE_DB_RESULTS_TABLE_H_
#define JANTOR_ENGINE_DB_RESULTS_TABLE_H_

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <ctime>

#include "engine/db/run_state.h"
#include "engine/rules/entry.h"

struct GroupedWrites;
struct SqlDialect;

struct ResultsTable {
  // Rows one statement inserts at most; a larger group takes several.
  static constexpr size_t kRowsMost = 32;
  bool enabled = false;
  // The table has the column attempt (1 for a run's scheduled hit, 2 for its
  // first retry, ...), which the inserts then fill; a table without it gets
  // the rows it always got.
  bool attempt_column = false;
  char name[64] = "";
  char insert_text[512] = "";  // the one-row insert, for the error line of a failed insert
  // The inserts of 1 to kRowsMost rows, on the update connection: the one-row
  // insert prepared at the start, each other count when it first comes up.
  // Their parameters are bound to rows.
  SQLHSTMT inserts[kRowsMost + 1] = {};
  ResultRow rows[kRowsMost] = {};  // what the next SQLExecute of an insert sends
  SQLLEN indicators[kRowsMost][9] = {};
  const char* prune_text = nullptr;  // the DBMS's batch delete (SqlDialect::prune_batch)
  // The update connection stays in manual commit from the start: each write
  // and each batch of the prune ends with its own commit (see UseManualCommit).
  bool manual_commit = false;
  // PostgreSQL: the reschedules of a group and its rows in one statement
  // under automatic commit (see WriteMovesAndRows), prepared for each change
  // set and count when it first comes up; false once one has failed.
  bool one_statement = false;
  SQLHSTMT moves[kRunStateChangeSets][kRowsMost + 1] = {};
};

// Checks that table exists and has every column (reading one row at most,
// through stmt, whose row limit the caller has set), prepares the insert on
// the update connection and picks the batch delete for the DBMS. Returns
// true when ready;
// otherwise prints why ("Error - No such results table as ...", or the
// column that is missing) and returns false.
bool OpenResultsTable(SQLHSTMT check_stmt, SQLHDBC update_conn, const SqlDialect& dialect,
                      const char* table, ResultsTable* results);

// Puts the update connection into manual commit for good, where the writes
// are not in one statement: switching it for every write cost MariaDB two
// round trips a write. Nothing else may then run on the connection
// without a commit of its own, so the caller leaves it alone when the
// claims of -s reschedule there too. false (automatic commit stays)
// when the driver will not switch.
bool UseManualCommit(ResultsTable* results, SQLHDBC update_conn);

// Inserts the result rows of count writes, kRowsMost to a statement, in the
// caller's transaction. false when a statement fails (or cannot be prepared).
bool InsertResults(ResultsTable* results, SQLHDBC update_conn, HitWrite* const* writes,
                   size_t count);
// The same for rows of no write (the runs a cycle passed over).
bool InsertResultRows(ResultsTable* results, SQLHDBC update_conn, const ResultRow* rows,
                      size_t count);

// Whether WriteMovesAndRows may write these (sorted by SortByChanges):
// one_statement is on, and every chunk fits one statement (ChunkFits).
bool CanWriteInOneStatement(const ResultsTable& results, HitWrite* const* writes, size_t count);

// The reschedules of count writes (sorted by SortByChanges), with their
// kept state, and their rows, a chunk to a statement, each statement
// committed on its own. false when one fails (or cannot be prepared),
// after which one_statement is off and the writes from that statement's
// first on are left undone; *done counts those written.
bool WriteMovesAndRows(ResultsTable* results, GroupedWrites* groups, SQLHDBC update_conn,
                       HitWrite* const* writes, size_t count, size_t* done);

// Deletes the rows that started more than keep_hours before now, a batch at
// a time, each batch its own statement and commit, for at most a couple of
// seconds. Runs on the update connection while no hit's transaction is
// open; does nothing when keep_hours is 0. Deletes that fail are left for
// the next cycle: old rows are not worth stopping the schedule for. Where
// keep_from is not null (the hourly rollups' filled_until), no row that
// started at or after it is deleted, and with "" none at all.
void PruneResults(ResultsTable* results, SQLHDBC update_conn, int keep_hours, time_t now,
                  const char* keep_from = nullptr);

#endif  // JANTOR_ENGINE_DB_RESULTS_TABLE_H_
