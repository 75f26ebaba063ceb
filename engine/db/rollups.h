// The hourly rollups of -l: where the results table T has a table
// T_hourly beside it, each hour of T's rows, once it is over, is summed up
// into one row per entry and hour (engine/rules/rollup.h) by the database
// itself, in one grouped statement, so that uptime and response times can
// be told over a year at the cost of a few thousand rows an entry, while
// -k keeps the rows themselves for a week. A table without T_hourly is
// used as it always was.
//
// The hours are filled between cycles on the update connection: no hit is
// in flight then, so an hour that has ended has all its rows (with -s,
// other daemons' hits may still be under way: an hour waits for their
// claims to run out), and -k, which runs next on the same connection,
// never deletes a row of an hour not yet filled. The hit path does not
// change. The newest hour in T_hourly marks how far the filling has come,
// and the table's key (entry, hour) makes the database refuse an hour
// filled twice: a restart fills the hours it missed, from there on, and
// no row is ever counted twice, whoever else fills the same table. -g
// deletes the rows older than its days. Every value reaches the database
// as a bound parameter; only the tables' names are placed into the text.
// A Rollups belongs to the main thread.
#ifndef JANTOR_ENGINE_DB_ROLLUPS_H_
#define JANTOR_ENGINE_DB_ROLLUPS_H_

#include <sql.h>

#include <ctime>
#include <string>

struct ResultsTable;
struct SqlDialect;

struct Rollups {
  bool enabled = false;
  char name[80] = "";     // T_hourly
  char results[64] = "";  // T
  bool attempt_column = false;
  // The one-hour fill, prepared at the start; its parameters are bound to
  // hour (the hour's start, twice) and end (the next hour's).
  SQLHSTMT fill = SQL_NULL_HSTMT;
  char hour[20] = "";
  char end[20] = "";
  SQLLEN indicators[4] = {};
  // Rows of T that began before this are in the rollups, or older than -g
  // keeps: -k may delete them, and nothing after. "" until the first fill
  // has looked (-k then deletes nothing).
  char filled_until[20] = "";
  bool manual_commit = false;  // the update connection stays in manual commit (see UseManualCommit)
};

// Looks for the results table's T_hourly through check_stmt (whose row
// limit the caller has set): without one, rollups stay off and true is
// returned. With one, checks that it has every column and prepares the
// fill on the update connection. false, after the line that says why,
// for a table that lacks a column or a fill that cannot be prepared.
bool OpenRollups(SQLHSTMT check_stmt, SQLHDBC update_conn, const ResultsTable& results,
                 Rollups* rollups);

// Fills the hours of T that began before complete_before (a moment by
// which every hit started in them has been written), in order, from the
// hour after the newest in T_hourly (or T's oldest row), never one older
// than keep_days (-g; 0 for all) allow; hours without rows cost one
// indexed read for all of them. Each hour is one statement and its own
// commit; after about two seconds the rest waits for the next cycle. With
// verbose, a line for each hour filled. A statement that fails is left
// for the next cycle (and counted as a database error), unless the hour
// turns out to be filled already, by another daemon.
void FillRollups(Rollups* rollups, SQLHDBC update_conn, time_t complete_before, int keep_days,
                 time_t now, bool verbose);

// Deletes the rollups older than keep_days (-g) before now, an hour at a
// time, for at most a couple of seconds; nothing when keep_days is 0.
void PruneRollups(Rollups* rollups, SQLHDBC update_conn, int keep_days, time_t now);

// The rollup's columns after entry and hour, in the order of HourCounts
// (engine/rules/rollup.h): "attempts, runs, failed_runs, ok, ...,
// duration_ms_sum, duration_ms_max, ms_under_10, ..."; summed, each as
// its sum over the rows a caller groups ("sum(attempts)", ...), the
// longest as its max().
std::string RollupColumnsText(bool summed);

// The same columns summed over the rows of the results table results,
// aliased r, grouped by the caller: a run's first attempt is one with
// attempt 1 (every row, where the table has no attempt); a good attempt
// after it ends a good run when the run began at or after run_floor (an
// expression over r: the start of the hour the attempt is counted in).
std::string ResultSumsText(const char* results, bool attempt_column, const std::string& run_floor);

// For one row r of the results: 1 when it is a run's first attempt, else
// 0; and 1 when it ends a good run that began at or after run_floor, else
// 0. Each run of the hour the rows are summed over is counted once by the
// one and, when good, once by the other (see ResultSumsText).
std::string RunStartText(bool attempt_column);
std::string GoodRunText(const char* results, bool attempt_column, const std::string& run_floor);

// The rollups' table of a results table, "" when the name would not fit.
std::string RollupTableName(const char* results);

#endif  // JANTOR_ENGINE_DB_ROLLUPS_H_
