// The schedule's connections: the two ODBC connections and their start-up
// checks (the schedule table, its optional columns, and with -l and -s the
// results table and the claims), and the select of the due entries, a page
// at a time where the driver would hold them all. The writes of ended hits
// are engine/db/hit_writes.h's. Every handle here belongs to the main thread
// for the life of the process; nothing is released on any end.
#ifndef JANTOR_ENGINE_DB_SCHEDULE_H_
#define JANTOR_ENGINE_DB_SCHEDULE_H_

#include <sql.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "engine/db/claims.h"
#include "engine/db/entry_call.h"
#include "engine/db/grouped_writes.h"
#include "engine/db/pauses.h"
#include "engine/db/results_table.h"
#include "engine/db/rollups.h"
#include "engine/db/run_state.h"

struct RunSettings;

// The due select a page at a time, where the driver reads a statement's
// whole result before handing out its first row (SQLite's and MariaDB's
// do; psqlODBC reads through a cursor instead): a cycle of a million due
// entries held them all, some 300 MB. The select runs as always with the
// driver's row limit; only when a page comes back full does a further
// select run, the same one passing over the ids the cycle has already
// fetched, which wait in a temporary table of the selection connection's
// own. An entry far behind is still due after its hit, and must not come
// back in the next page.
struct DuePages {
  static constexpr size_t kPageRows = 12288;  // a page's entries take 7 MB, the driver's rows 4
  // The driver keeps every cell of a page: where the table keeps runs a
  // row has half as many columns again, and a page as many cells in all.
  static constexpr size_t kPageRowsKeepingRuns = 8192;
  static constexpr size_t kNotedAtOnce = 250;  // ids a statement puts in the temporary table
  bool enabled = false;
  size_t rows = kPageRows;  // the rows of a page
  bool continued = false;   // this cycle has selected a further page
  char forget[128] = "";
  SQLHSTMT note = SQL_NULL_HSTMT;  // puts kNotedAtOnce ids into the table
  SQLHSTMT note_one = SQL_NULL_HSTMT;
  char noted[kNotedAtOnce][31] = {};
  SQLLEN indicators[kNotedAtOnce] = {};
};

struct Schedule {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC select_conn = SQL_NULL_HDBC;  // reads the due entries
  SQLHDBC update_conn = SQL_NULL_HDBC;  // writes next run times between fetches
  SQLHSTMT select_stmt = SQL_NULL_HSTMT;
  SQLHSTMT update_stmt = SQL_NULL_HSTMT;
  const SqlDialect* dialect = nullptr;  // the DBMS's, found once when both are connected
  ResultsTable results;                 // -l: its insert runs on the update connection
  Rollups rollups;                      // -l's hourly rollups, filled on the update connection
  Claims claims;  // -s: claims on the selection connection, reschedules on the update one
  DuePages pages;
  CallColumns calls;         // the entries' own web calls, read on the selection connection
  bool cron_column = false;  // i_cron: an entry's calendar schedule
  bool zone_column = false;  // i_zone: the time zone of its i_cron
  bool expect_column = false;  // i_expect: what a successful reply is
  bool splay_column = false;   // i_splay: the entry's offset from its schedule
  bool missed_column = false;  // i_missed: what runs missed while away come to
  bool paused_column = false;  // i_paused_until: the end of a pause
  RunState state;            // retries and failures, on the update connection
  Pauses pauses;             // the ends of pauses, on the update connection
  GroupedWrites groups;      // the reschedules of a group of hits, on the update connection
  // What the due select and the claims read after i_next where the table
  // has any optional column: the call flag, i_cron and i_zone, then where
  // it keeps runs their columns (NULL for those it lacks); "" for a table
  // without any, read as always.
  bool optional_columns() const {
    return calls.any() || cron_column || zone_column || state.columns.any() || expect_column ||
           splay_column || missed_column || paused_column;
  }
};

// Hook for drivers that need the cycle's timestamp literal in another form;
// the drivers in use take it as it is, so the text is left unchanged.
int ODBCDateDriverKludge2(int context, SQLHDBC connection, char* quoted_timestamp);

// Opens both connections and checks the schedule table (and with -l the
// results table, with -s that the database can share it); 0 when ready,
// else the exit status after the failure's message.
int OpenSchedule(const RunSettings* s, Schedule* db);

// Runs the select of the entries due at the cycle's present time (its
// quoted timestamp and day fraction) on the selection statement. select
// gets the statement's text, for the error line.
bool SelectDueEntries(const RunSettings* s, Schedule* db, const char* quoted_now,
                      const char* fraction, char* select, size_t select_size);

// Ends the page just read, letting the driver's copy of its rows go. After
// a page that filled its row limit SQLite's driver keeps the table's read
// lock, even once the result is closed, until the statement goes; then
// (full) the selection statement is made again. false when it cannot be.
bool EndDuePage(Schedule* db, bool full);

// After the last row of a page (the count ids of its entries): true when
// a further page was selected, passing over the entries selected so far;
// false when none follows (the page was not full) or its select failed,
// and then select holds the failed statement's text, or is empty.
bool NextDuePage(const RunSettings* s, Schedule* db, const char* quoted_now, const char* fraction,
                 const char* const* ids, size_t count, char* select, size_t select_size);

// Where the table has any optional column, the text the due select and
// the claims add after i_next (columns qualified by alias when not null).
std::string OptionalColumnsText(const Schedule* db, const char* alias);

// What the due select and the claims add to their conditions: where the
// table pauses entries, " and i_paused_until is null" (qualified by alias
// when not null), which leaves a paused entry out, whatever its i_next, at
// the cost of an index lookup; "" otherwise. A pause that has ended is
// cleared before the cycle selects (engine/db/pauses.h).
std::string DueConditionText(const Schedule* db, const char* alias);

#endif  // JANTOR_ENGINE_DB_SCHEDULE_H_
