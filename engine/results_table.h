// The results table of -l: one row for every hit, written by the update
// connection in the same transaction as the entry's reschedule, and rows
// older than -k hours deleted in short batches between cycles. Every value
// of a row reaches the database as a bound parameter; only the table's name,
// as the operator typed it, is placed into the statements' text. The
// ResultsTable belongs to the main thread; a ResultRow is filled by the
// thread that made the hit and handed over with it.
#ifndef JANTOR_ENGINE_RESULTS_TABLE_H_
#define JANTOR_ENGINE_RESULTS_TABLE_H_

#include <sql.h>
#include <sqlext.h>

#include <ctime>

// One hit, as the results table keeps it.
struct ResultRow {
  SQLBIGINT entry_id;
  char due[64];      // the entry's i_next as fetched
  char started[20];  // local time the hit began, "%Y-%m-%d %H:%M:%S"
  SQLINTEGER duration_ms;
  char outcome[16];   // the word of engine/hit_outcome.h
  SQLINTEGER status;  // the reply's status code; 0 stands for NULL
  SQLBIGINT bytes;
  char reason[160];  // "" stands for NULL
};

struct ResultsTable {
  bool enabled = false;
  char name[64] = "";
  char insert_text[512] = "";        // for the error line of a failed insert
  SQLHSTMT insert = SQL_NULL_HSTMT;  // prepared once, its parameters bound to row
  ResultRow row{};                   // what the next SQLExecute of insert sends
  SQLLEN indicators[8] = {};
  const char* prune_text = nullptr;  // the DBMS's batch delete, with two %s for the name
};

// Checks that table exists and has every column (reading one row at most,
// through stmt, whose row limit the caller has set), prepares the insert on
// the update connection and picks the batch delete for the DBMS. Returns
// true when ready; otherwise prints why ("Error - No such results table as
// ...", or the column that is missing) and returns false.
bool OpenResultsTable(SQLHSTMT check_stmt, SQLHDBC update_conn, const char* table,
                      ResultsTable* results);

// Inserts row through the prepared statement. false when the insert fails.
bool InsertResult(ResultsTable* results, const ResultRow& row);

// Deletes the rows that started more than keep_hours before now, a batch at
// a time, each batch its own statement and commit, for at most a couple of
// seconds. Runs on the update connection while no hit's transaction is
// open; does nothing when keep_hours is 0. Deletes that fail are left for
// the next cycle: old rows are not worth stopping the schedule for.
void PruneResults(ResultsTable* results, SQLHDBC update_conn, int keep_hours, time_t now);

#endif  // JANTOR_ENGINE_RESULTS_TABLE_H_
