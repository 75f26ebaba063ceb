#include "engine/db/run_state.h"

#include <sqlext.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/ll_string.h"
#include "engine/db/odbc_calls.h"

namespace {

// The attempt a pending retry may be: the second to the last there can be.
int PendingAttempt(const char* text) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || digits > 2 || text[digits] != '\0') return 0;
  int attempt = atoi(text);
  return attempt >= 2 && attempt <= kMostRetries + 1 ? attempt : 0;
}

// A count of failed runs as stored; NULL, or anything but a number, is 0.
int StoredFailures(const char* text) { return std::max(ParseInt(text), 0); }

// "update T set i_next = ?[, i_attempt = ?, i_run = ?][, i_failures = ?]
// [, i_outcome = ?] where id = ?[ and i_next = ?]" into state->text.
void WriteText(RunState* state, unsigned changes, bool claimed) {
  std::string text = std::string("update ") + state->table + " set i_next = ?";
  if (changes & kRetryChanged) text += ", i_attempt = ?, i_run = ?";
  if (changes & kFailuresChanged) text += ", i_failures = ?";
  if (changes & kOutcomeChanged) text += ", i_outcome = ?";
  if (changes & kLatestChanged)
    text += std::string(", i_recent = ") + state->append_recent +
            ", i_status = ?, i_duration_ms = ?, i_last = ?";
  text += claimed ? " where id = ? and i_next = ?" : " where id = ?";
  CopyText(state->text, text.c_str());
}

// The write of changes prepared on the update connection, with every
// parameter bound to state's values.
bool PrepareWrite(RunState* state, SQLHDBC update_conn, unsigned changes, bool claimed) {
  WriteText(state, changes, claimed);
  SQLHSTMT& stmt = state->writes[claimed][changes];
  SQLLEN* ind = state->indicators;
  SQLUSMALLINT number = 1;
  bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &stmt)) &&
               SQLOK(SQLPrepare(stmt, Sql(state->text), SQL_NTS)) &&
               SQLOK(BindTimestampText(stmt, number++, state->next, sizeof state->next, &ind[0]));
  if (ready && (changes & kRetryChanged))
    ready = SQLOK(BindInteger(stmt, number++, &state->attempt, &ind[1])) &&
            SQLOK(BindTimestampText(stmt, number++, state->run, sizeof state->run, &ind[2]));
  if (ready && (changes & kFailuresChanged))
    ready = SQLOK(BindInteger(stmt, number++, &state->failures, &ind[3]));
  if (ready && (changes & kOutcomeChanged))
    ready = SQLOK(BindText(stmt, number++, state->outcome, sizeof state->outcome, &ind[4]));
  if (ready && (changes & kLatestChanged))
    ready = SQLOK(BindText(stmt, number++, state->recent, sizeof state->recent, &ind[7])) &&
            SQLOK(BindInteger(stmt, number++, &state->status, &ind[8])) &&
            SQLOK(BindInteger(stmt, number++, &state->duration_ms, &ind[9])) &&
            SQLOK(BindTimestampText(stmt, number++, state->last, sizeof state->last, &ind[10]));
  if (ready) ready = SQLOK(BindKey(stmt, number++, &state->id, &ind[5]));
  if (ready && claimed)
    ready = SQLOK(BindTimestampText(stmt, number++, state->claim, sizeof state->claim, &ind[6]));
  if (!ready && stmt != SQL_NULL_HSTMT) {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    stmt = SQL_NULL_HSTMT;
  }
  return ready;
}

}  // namespace

void FindRunStateColumns(SQLHSTMT stmt, RunStateColumns* columns) {
  columns->retries = ResultHasColumn(stmt, "i_retries");
  columns->retry_delay = ResultHasColumn(stmt, "i_retry_delay");
  columns->attempt = ResultHasColumn(stmt, "i_attempt");
  columns->run = ResultHasColumn(stmt, "i_run");
  columns->failures = ResultHasColumn(stmt, "i_failures");
  columns->outcome = ResultHasColumn(stmt, "i_outcome");
  // The latest attempt's columns go together: a table with only some of
  // them keeps none.
  columns->recent = ResultHasColumn(stmt, "i_recent") && ResultHasColumn(stmt, "i_status") &&
                    ResultHasColumn(stmt, "i_duration_ms") && ResultHasColumn(stmt, "i_last");
}

std::string MissingRetryColumns(const RunStateColumns& columns) {
  if (!columns.retries) return "";
  std::string missing;
  if (!columns.attempt) missing = "i_attempt";
  if (!columns.run) missing += missing.empty() ? "i_run" : ", i_run";
  return missing;
}

std::string RunStateColumnsText(const RunStateColumns& columns, const char* alias, bool later) {
  if (!columns.any() && !later) return "";
  std::string prefix = alias != nullptr ? std::string(alias) + "." : "";
  std::string text;
  for (auto [present, name] :
       {std::pair{columns.retries, "i_retries"}, std::pair{columns.retry_delay, "i_retry_delay"},
        std::pair{columns.attempt, "i_attempt"}, std::pair{columns.run, "i_run"},
        std::pair{columns.failures, "i_failures"}, std::pair{columns.outcome, "i_outcome"}})
    text += ", " + (present ? prefix + name : std::string("null"));
  return text;
}

void StartAttempt(const RunStateColumns& columns, const Entry& entry, RunOfAttempt* run) {
  run->rule = RetryRuleOf(entry.retries, entry.retry_delay);
  if (!columns.keeps_retries()) run->rule.retries = 0;
  run->attempt = 1;
  run->run_time = -1;
  run->run[0] = '\0';
  run->scheduled[0] = '\0';
  run->lapsed = false;
  run->resumed = false;
  // A claim notes i_run from i_next: while they agree, this is the claimed
  // run itself, and comparing the texts spares the common case a mktime.
  if (columns.keeps_retries() && entry.attempt[0] == '\0' && entry.run[0] != '\0' &&
      strcmp(entry.run, entry.next) != 0) {
    run->run_time = StoredTime(entry.run);
    run->resumed = run->run_time != -1;
    if (run->resumed) {
      LocalTimeText(run->run_time, run->run, sizeof run->run);
      CopyText(run->scheduled, run->run);
      return;
    }
  }
  // A pending retry's i_next is the retry's time, not the run's: the run's
  // own time places the next run even where the rule was taken away since.
  // Only where the hit's write clears the pending state, or every run
  // would count from the same time.
  int pending = columns.keeps_retries() ? PendingAttempt(entry.attempt) : 0;
  time_t pending_run = pending != 0 ? StoredTime(entry.run) : -1;
  if (pending_run != -1) LocalTimeText(pending_run, run->scheduled, sizeof run->scheduled);
  // Only a run that may be retried needs its time: reading it costs every
  // hit a mktime, which takes the C library's lock of the time zone.
  if (run->rule.retries == 0) return;
  run->run_time = pending_run;
  if (run->run_time != -1)
    run->attempt = pending;
  else
    run->run_time = StoredTime(entry.next);
  if (run->run_time != -1) LocalTimeText(run->run_time, run->run, sizeof run->run);
}

void SetRunTime(time_t run_time, RunOfAttempt* run) {
  run->run_time = run_time;
  LocalTimeText(run_time, run->run, sizeof run->run);
}

void LapsePendingRun(time_t next_run, RunOfAttempt* run) {
  run->lapsed = true;
  run->attempt = 1;
  SetRunTime(next_run, run);
  CopyText(run->scheduled, run->run);
}

void EndAttempt(const RunStateColumns& columns, const Entry& entry, const RunOfAttempt& run,
                const AttemptFacts& facts, bool retry, RunStateWrite* state) {
  HitOutcome outcome = facts.outcome;
  state->changes = 0;
  state->attempt = retry ? run.attempt + 1 : 0;
  CopyText(state->run, retry ? run.run : "");
  bool was_pending = entry.attempt[0] != '\0' || entry.run[0] != '\0';
  if (columns.keeps_retries() && (retry || was_pending)) state->changes |= kRetryChanged;
  int before = StoredFailures(entry.failures);
  if (run.lapsed) before = std::min(before, INT_MAX - 1) + 1;
  state->failures = HitSucceeded(outcome) ? 0 : retry ? before : std::min(before, INT_MAX - 1) + 1;
  // A run counts when it ends: a pending retry leaves the count alone (but
  // for the lapsed run before it). Otherwise it is written unless the row
  // holds that very number, so that a NULL (or a text that is no number)
  // becomes 0 at the first success.
  char failures[16];
  snprintf(failures, sizeof failures, "%d", static_cast<int>(state->failures));
  if (columns.failures && (!retry || run.lapsed) && strcmp(entry.failures, failures) != 0)
    state->changes |= kFailuresChanged;
  CopyText(state->outcome, HitOutcomeWord(outcome));
  if (columns.outcome && strcmp(entry.outcome, state->outcome) != 0)
    state->changes |= kOutcomeChanged;
  state->recent[0] = HitOutcomeLetter(outcome);
  state->recent[1] = '\0';
  state->status = facts.status;
  state->duration_ms =
      static_cast<SQLINTEGER>(std::clamp<long long>(facts.duration_ms, 0, INT_MAX));
  CopyText(state->last, facts.started);
  if (columns.recent) state->changes |= kLatestChanged;
}

bool AnyRunStateChange(HitWrite* const* writes, size_t count) {
  return std::any_of(writes, writes + count, [](HitWrite* w) { return w->state.changes != 0; });
}

bool WriteRunState(RunState* state, SQLHDBC update_conn, const HitWrite& write, const char* claim,
                   bool* kept) {
  unsigned changes = write.state.changes % kRunStateChangeSets;
  bool claimed = claim != nullptr;
  SQLHSTMT& stmt = state->writes[claimed][changes];
  if (stmt == SQL_NULL_HSTMT && !PrepareWrite(state, update_conn, changes, claimed))
    return false;  // state->text names the statement
  CopyText(state->next, write.next);
  state->attempt = write.state.attempt;
  CopyText(state->run, write.state.run);
  state->failures = write.state.failures;
  CopyText(state->outcome, write.state.outcome);
  CopyText(state->recent, write.state.recent);
  state->status = write.state.status;
  state->duration_ms = write.state.duration_ms;
  CopyText(state->last, write.state.last);
  state->id = write.id;
  CopyText(state->claim, claimed ? claim : "");
  SQLLEN* ind = state->indicators;
  ind[0] = ind[4] = ind[6] = SQL_NTS;
  ind[1] = state->attempt != 0 ? 0 : SQL_NULL_DATA;
  ind[2] = state->run[0] != '\0' ? SQL_NTS : SQL_NULL_DATA;
  ind[3] = ind[5] = ind[9] = 0;
  ind[7] = ind[10] = SQL_NTS;
  ind[8] = state->status != 0 ? 0 : SQL_NULL_DATA;
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (!SQLOK(SQLExecute(stmt))) {
    // The error line names the statement that failed.
    WriteText(state, changes, claimed);
    return false;
  }
  SQLLEN rows = 0;
  *kept = !claimed || (SQLOK(SQLRowCount(stmt, &rows)) && rows > 0);
  return true;
}

bool CountFailingEntries(RunState* state, SQLHDBC update_conn, bool manual_commit, int failing_runs,
                         long long* count) {
  if (state->count_failing == SQL_NULL_HSTMT) {
    std::string text =
        std::string("select count(*) from ") + state->table +
        " where i_failures > 0 and i_failures >= ?" +  // the first term, for a partial index
        (state->skips_paused ? " and i_paused_until is null" : "");
    state->failing_indicator = 0;
    bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &state->count_failing)) &&
                 SQLOK(SQLPrepare(state->count_failing, Sql(text.data()), SQL_NTS)) &&
                 SQLOK(BindInteger(state->count_failing, 1, &state->failing_runs,
                                   &state->failing_indicator));
    if (!ready) {
      if (state->count_failing != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, state->count_failing);
      state->count_failing = SQL_NULL_HSTMT;
      return false;
    }
  }
  state->failing_runs = failing_runs;
  SQLHSTMT stmt = state->count_failing;
  SQLFreeStmt(stmt, SQL_CLOSE);
  SQLBIGINT counted = 0;
  SQLLEN indicator = 0;
  bool read = SQLOK(SQLExecute(stmt)) && SQLOK(SQLFetch(stmt)) &&
              SQLOK(SQLGetData(stmt, 1, SQL_C_SBIGINT, &counted, 0, &indicator));
  SQLFreeStmt(stmt, SQL_CLOSE);
  // A read in manual commit holds a transaction open (on SQLite, a read
  // lock) until it ends.
  if (manual_commit) SQLEndTran(SQL_HANDLE_DBC, update_conn, SQL_COMMIT);
  if (read) *count = indicator == SQL_NULL_DATA ? 0 : counted;
  return read;
}
