// What jantor keeps of an entry between its hits, in columns of the entry's
// own row: a pending retry (i_attempt, the attempt it will be, and i_run,
// the scheduled time of the run it belongs to), the runs in a row that
// ended failed (i_failures), the latest attempt's outcome (i_outcome), and
// for the status page the latest attempts (i_recent, their outcome letters,
// and of the latest its status, length and start: i_status, i_duration_ms,
// i_last); and the retry rule the user sets (i_retries, i_retry_delay). Each column
// is optional and found by name at start-up; a table without them is read
// and written without them. A run is the scheduled hit and its retries; a
// retry is a reschedule to a nearer time, so the due select, the claims
// and the results need no second path for it.
// The state is written by the statement that moves i_next, in its
// transaction, and only the columns that change: a hit that leaves the
// state as it was writes the reschedule it always wrote. Nothing of it
// lives only in memory, so a kill, a restart or another daemon finds the
// same state. The plan functions are pure and run on any thread; RunState
// and its statements belong to the main thread.
#ifndef JANTOR_ENGINE_DB_RUN_STATE_H_
#define JANTOR_ENGINE_DB_RUN_STATE_H_

#include <sql.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "engine/rules/entry.h"
#include "engine/rules/hit_outcome.h"
#include "engine/rules/retry.h"

// Which parts of the kept state a write changes (RunStateWrite::changes).
enum RunStateChange : unsigned {
  kRetryChanged = 1,     // i_attempt and i_run
  kFailuresChanged = 2,  // i_failures
  kOutcomeChanged = 4,   // i_outcome
  kLatestChanged = 8,    // i_recent, i_status, i_duration_ms and i_last
  kRunStateChangeSets = 16,
};

// Outcome letters i_recent keeps, the oldest dropped first.
enum : int { kRecentOutcomes = 60 };

struct RunStateColumns {
  bool retries = false;
  bool retry_delay = false;
  bool attempt = false;
  bool run = false;
  bool failures = false;
  bool outcome = false;
  bool recent = false;  // i_recent, i_status, i_duration_ms and i_last, all four
  bool any() const {
    return retries || retry_delay || attempt || run || failures || outcome || recent;
  }
  // Retries are made only where a pending one can be kept.
  bool keeps_retries() const { return retries && attempt && run; }
};

// The run an attempt belongs to, as its row says before the hit.
struct RunOfAttempt {
  RetryRule rule;   // no retries where the table cannot keep them
  int attempt;      // 1 for the scheduled hit, 2 for the first retry, ...
  char run[20];     // the run's scheduled time, "" when it is not read or cannot be
  time_t run_time;  // the same, -1
  // The scheduled time an interval schedule moves on from, where it is not
  // the row's i_next: that of a pending retry's run, read whatever became
  // of the rule since, so that its retry never shifts the schedule; "" for
  // i_next.
  char scheduled[20];
  // The pending retry this hit was due for is not made (its run's next
  // scheduled time came first): that run ended failed, and the hit is the
  // first attempt of the next one.
  bool lapsed;
  // A run that a claim noted in i_run and whose daemon did not write it: its
  // i_next holds that daemon's expired claim time, and the run goes on at
  // its own time (run, read whatever the rule).
  bool resumed;
};

struct RunState {
  RunStateColumns columns;
  char table[64] = "";  // the schedule table, as the operator typed it
  // i_recent with one letter more, the oldest dropped past kRecentOutcomes,
  // as the DBMS writes it (see SqlDialect::append_recent).
  const char* append_recent = "?";
  // The write of each set of changes, without claims and with them (where
  // the row must still hold the claim), prepared when first needed.
  SQLHSTMT writes[2][kRunStateChangeSets] = {};
  // What the next SQLExecute of a write sends.
  char next[20] = "";
  SQLINTEGER attempt = 0;
  char run[20] = "";
  SQLINTEGER failures = 0;
  char outcome[16] = "";
  char recent[2] = "";
  SQLINTEGER status = 0;
  SQLINTEGER duration_ms = 0;
  char last[20] = "";
  SQLBIGINT id = 0;
  char claim[20] = "";
  SQLLEN indicators[11] = {};
  char text[512] = "";  // the last write's statement, for the error line
  // A paused entry does not count as failing: where the table pauses
  // entries the count leaves them out.
  bool skips_paused = false;
  SQLHSTMT count_failing = SQL_NULL_HSTMT;
  SQLINTEGER failing_runs = 0;  // its parameter
  SQLLEN failing_indicator = 0;
};

// Notes which of the columns the open result on stmt has. Reads no row.
void FindRunStateColumns(SQLHSTMT stmt, RunStateColumns* columns);

// The columns a table with i_retries lacks to keep a pending retry ("i_attempt,
// i_run"); "" when it has them, or has no i_retries.
std::string MissingRetryColumns(const RunStateColumns& columns);

// What the due select and the claims read after the other optional
// columns, in Entry's order, qualified by alias when not null (NULL for
// the columns the table lacks); "" for a table without any, unless the
// columns after them are read (later). The latest attempts' columns are
// written, never read: a due page of a million rows need not hold their
// values.
std::string RunStateColumnsText(const RunStateColumns& columns, const char* alias,
                                bool later = false);

// The run the entry's due attempt belongs to: a pending retry's (a whole
// i_attempt from 2 on and a readable i_run), a resumed run's (no i_attempt,
// and a readable i_run other than i_next; its attempt 1), else a new run
// scheduled at i_next. Its time is read only where the rule allows retries,
// or the run is resumed; a pending or resumed run's time is read for
// scheduled whatever the rule says now.
void StartAttempt(const RunStateColumns& columns, const Entry& entry, RunOfAttempt* run);

// Gives the attempt's run the time run_time in place of the row's: its
// Idempotency-Key, and its i_run should it be retried.
void SetRunTime(time_t run_time, RunOfAttempt* run);

// Ends the pending retry's run unmade, failed, and makes the attempt the
// first of the run scheduled at next_run, which the schedule moves on from.
// REQUIRES: run is a pending retry's (attempt 2 or more).
void LapsePendingRun(time_t next_run, RunOfAttempt* run);

// What an attempt came to, as the kept state records it.
struct AttemptFacts {
  HitOutcome outcome;
  int status;  // 0 for none
  long long duration_ms;
  const char* started;  // "YYYY-MM-DD HH:MM:SS"
};

// The kept state after the attempt: a retry pending (retry set: attempt
// the next attempt's number) or the run ended, failed or not, after the
// lapsed run it replaced (if any) was counted failed; changes names what
// differs from the row as fetched.
void EndAttempt(const RunStateColumns& columns, const Entry& entry, const RunOfAttempt& run,
                const AttemptFacts& facts, bool retry, RunStateWrite* state);

// Whether any of count writes changes the kept state: those are written
// by WriteRunState, never in the grouped statements of the plain reschedule.
bool AnyRunStateChange(HitWrite* const* writes, size_t count);

// Writes write's reschedule with its changed state through the update
// connection; with a claim (not null) only while the row still holds it,
// *kept saying whether it did. false when the statement fails (state->text
// names it).
bool WriteRunState(RunState* state, SQLHDBC update_conn, const HitWrite& write, const char* claim,
                   bool* kept);

// The entries whose i_failures is at least failing_runs, counted by the
// table's index of it. false when the statement fails; then *count is as
// it was. Runs on the update connection between cycles; in manual commit
// (manual_commit) its read ends with a commit of its own.
bool CountFailingEntries(RunState* state, SQLHDBC update_conn, bool manual_commit, int failing_runs,
                         long long* count);

#endif  // JANTOR_ENGINE_DB_RUN_STATE_H_
