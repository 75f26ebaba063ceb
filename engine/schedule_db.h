// The schedule's statements: the two ODBC connections and their start-up
// checks, the select of the due entries, the entry as fetched, and the
// writes that move an entry on (its reschedule, with -l its result row, in
// one transaction). Every handle here belongs to the main thread for the
// life of the process; nothing is released on any end. The text helpers
// (PrepareUpdate and what it calls) touch no handle and may run on any
// thread.
#ifndef JANTOR_ENGINE_SCHEDULE_DB_H_
#define JANTOR_ENGINE_SCHEDULE_DB_H_

#include <sql.h>

#include <array>
#include <cstddef>
#include <ctime>
#include <string>

#include "engine/claims.h"
#include "engine/command_line.h"
#include "engine/entry_call.h"
#include "engine/results_table.h"

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
  static constexpr size_t kPageRows = 16384;   // a page's entries take 9 MB, the driver's rows 5
  static constexpr size_t kNotedAtOnce = 250;  // ids a statement puts in the temporary table
  bool enabled = false;
  bool continued = false;  // this cycle has selected a further page
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
  ResultsTable results;  // -l: its insert runs on the update connection
  Claims claims;         // -s: claims on the selection connection, reschedules on the update one
  DuePages pages;
  CallColumns calls;  // the entries' own web calls, read on the selection connection
  bool cron_column = false;  // i_cron: an entry's calendar schedule
  bool zone_column = false;  // i_zone: the time zone of its i_cron
  // What the due select and the claims read after i_next where the table
  // has any optional column: the call flag, i_cron and i_zone (NULL for
  // those it lacks); "" for a table without any, read as always.
  bool optional_columns() const { return calls.any() || cron_column || zone_column; }
};

// 1 for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO, 0 for every other code.
int SQLOK(int rc);

// Hook for drivers that need the cycle's timestamp literal in another form;
// the drivers in use take it as it is, so the text is left unchanged.
int ODBCDateDriverKludge2(int context, SQLHDBC connection, char* quoted_timestamp);

// Opens both connections and checks the schedule table (and with -l the
// results table, with -s that the database can share it); 0 when ready,
// else the exit status after the failure's message.
int OpenSchedule(const RunSettings* s, Schedule* db);

// The driver manager's statement texts are unsigned; ours are not.
inline SQLCHAR* Sql(char* text) { return reinterpret_cast<SQLCHAR*>(text); }

// Binds parameter number to a timestamp sent as text ("YYYY-MM-DD
// HH:MM:SS"): each driver turns it into its own timestamp type, and SQLite
// keeps the text as it is.
SQLRETURN BindTimestampText(SQLHSTMT stmt, SQLUSMALLINT number, char* text, SQLLEN size,
                            SQLLEN* indicator);

// moment as local time in the form the table keeps i_next in,
// "YYYY-MM-DD HH:MM:SS" (out needs 20 bytes).
void LocalTimeText(time_t moment, char* out, size_t size);

// Makes the selection connection's temporary table of the ids a cycle has
// taken (see SqlDialect), named ids_table, with the key column of table;
// forget gets the statement that empties it. false when the DBMS has none
// or a statement fails.
bool MakeCycleIdsTable(SQLHDBC connection, const char* ids_table, const char* table, char* forget,
                       size_t forget_size);

// Closes the statement's open result set and runs text on it.
bool Execute(SQLHSTMT stmt, char* text);

// Turns the connection's automatic commit on or off.
bool SetAutocommit(SQLHDBC connection, bool on);

// Runs the select of the entries due at the cycle's present time (its
// quoted timestamp and day fraction) on the selection statement. select
// gets the statement's text, for the error line.
bool SelectDueEntries(const RunSettings* s, Schedule* db, const char* quoted_now,
                      const char* fraction, char* select, size_t select_size);

// One due entry as fetched: every column as text, NULL as the empty text.
struct Entry {
  char id[31];
  char user[63];
  char password[63];
  char port[31];
  char object[127];
  char host[127];
  char timeout[31];
  char interval[31];
  char next[63];
  // Where the table has the columns of an entry's own web call: "1" when
  // this entry's row has a value in one of them, "0" when none (a plain
  // GET, with nothing more to read); "" otherwise.
  char call[4];
  char cron[128];  // i_cron: a five-field cron expression; "" for the interval
  char zone[64];   // i_zone: the IANA zone of cron; "" for the daemon's own
};

// The entry's columns in the order every select of them names them, each
// with its capacity, terminator included.
struct EntryField {
  char* text;
  size_t capacity;
};
std::array<EntryField, 12> EntryFields(Entry* entry);

// Reads the current row's columns into *entry (the optional ones only
// where the statement selects them).
void FetchEntry(SQLHSTMT stmt, Entry* entry);

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

// The writes that move one entry on after its hit.
struct HitWrite {
  char update[1024];  // the reschedule
  bool key_ok;        // the update may be executed (its key is a number)
  SQLBIGINT id;       // the entry's key, for the statements that bind it
  char next[20];      // the next run time that update writes
  char claim[20];     // with -s, the claim time the row must still hold
  ResultRow row;      // with -l, the hit's result row
};

// Where the table has any optional column, the text the due select and
// the claims add after i_next (columns qualified by alias when not null).
std::string OptionalColumnsText(const Schedule* db, const char* alias);

// Whether the open result on stmt has a column of that name, in any case.
bool ResultHasColumn(SQLHSTMT stmt, const char* name);

// Writes the reschedule's text for entry into write->update (the date
// scanners print their lines on the way) and sets write->key_ok. The next
// run is the stored i_next plus the interval; a stored time that cannot be
// read is rescheduled from present.
void PrepareUpdate(const RunSettings* s, const Entry& entry, time_t present, HitWrite* write);

// The same to a next run time of the caller's ("YYYY-MM-DD HH:MM:SS").
void PrepareUpdateTo(const RunSettings* s, const Entry& entry, const char* next, HitWrite* write);

// Writes the hits' reschedules (and result rows) through the update
// connection; with -s a reschedule whose claim has gone (expired and taken
// by another daemon) changes nothing and is counted, not failed. Returns
// true when all were written; otherwise failed gets the text of the first
// statement that failed, and every write that could be made has been made.
bool WriteHits(Schedule* db, HitWrite* const* writes, size_t count, char* failed,
               size_t failed_size);

#endif  // JANTOR_ENGINE_SCHEDULE_DB_H_
