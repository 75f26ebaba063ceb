#include "engine/db/rollups.h"

#include <sqlext.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/ll_cpapi.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/results_table.h"
#include "engine/metrics.h"
#include "engine/rules/hit_outcome.h"
#include "engine/rules/rollup.h"

namespace {

// Hours are filled, and old ones deleted, for at most this long between
// two cycles; the rest waits for the next pause. The statement under way
// always ends, so each pause fills one hour at least.
constexpr long long kFillBudgetMs = 2000;
constexpr long long kPruneBudgetMs = 2000;
// Before any hour jantor's tables can hold.
constexpr char kEarliest[] = "1000-01-01 00:00:00";

struct StatementFree {
  void operator()(void* stmt) const { SQLFreeHandle(SQL_HANDLE_STMT, stmt); }
};
using Statement = std::unique_ptr<void, StatementFree>;

// Ends the transaction a statement on a connection in manual commit has
// opened; a read's too, so that no snapshot stays open between cycles.
bool EndTransaction(const Rollups& r, SQLHDBC conn, bool commit) {
  return !r.manual_commit ||
         SQLOK(SQLEndTran(SQL_HANDLE_DBC, conn, commit ? SQL_COMMIT : SQL_ROLLBACK));
}

// Runs text, whose parameters are the timestamps of times, and reads the
// first column of its one row into value (up to the seconds); false when
// the statement fails, and value "" when the column is NULL.
bool ReadTime(const Rollups& r, SQLHDBC conn, const std::string& text,
              std::initializer_list<const char*> times, char (&value)[20]) {
  value[0] = '\0';
  SQLHSTMT handle = SQL_NULL_HSTMT;
  if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, conn, &handle))) return false;
  Statement stmt(handle);
  std::string statement = text;
  char bound[4][20];
  SQLLEN indicators[4];
  SQLUSMALLINT number = 1;
  for (const char* time : times) {
    snprintf(bound[number - 1], sizeof bound[0], "%s", time);
    if (!SQLOK(BindTimestampText(handle, number, bound[number - 1], sizeof bound[0],
                                 &indicators[number - 1])))
      return false;
    ++number;
  }
  char read[64] = "";
  SQLLEN indicator = 0;
  bool ok = SQLOK(SQLExecDirect(handle, Sql(statement.data()), SQL_NTS));
  if (ok && SQLOK(SQLFetch(handle)) &&
      SQLOK(SQLGetData(handle, 1, SQL_C_CHAR, read, sizeof read, &indicator)) &&
      indicator != SQL_NULL_DATA)
    snprintf(value, sizeof value, "%.19s", read);
  SQLFreeStmt(handle, SQL_CLOSE);
  return EndTransaction(r, conn, true) && ok;
}

// The fill of one hour: its sums, grouped by entry, into T_hourly.
std::string FillText(const Rollups& r) {
  return std::string("insert into ") + r.name + " (entry_id, hour_start, " +
         RollupColumnsText(false) + ") select r.entry_id, ?, " +
         ResultSumsText(r.results, r.attempt_column, "?") + " from " + r.results +
         " r where r.started >= ? and r.started < ? group by r.entry_id";
}

// Whether T_hourly has rows of the hour: another daemon filled it.
bool HourFilled(const Rollups& r, SQLHDBC conn, const char* hour) {
  char found[20];
  return ReadTime(r, conn,
                  std::string("select max(hour_start) from ") + r.name + " where hour_start = ?",
                  {hour}, found) &&
         found[0] != '\0';
}

}  // namespace

std::string RollupTableName(const char* results) {
  std::string name = std::string(results) + "_hourly";
  return name.size() < sizeof Rollups::name ? name : "";
}

std::string RollupColumnsText(bool summed) {
  auto column = [summed](const char* name, bool maximum = false) {
    if (!summed) return std::string(name);
    return (maximum ? "max(" : "sum(") + std::string(name) + ")";
  };
  std::string text = column("attempts") + ", " + column("runs") + ", " + column("failed_runs");
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome)
    text += ", " + column(RollupOutcomeColumn(outcome));
  text += ", " + column("duration_ms_sum") + ", " + column("duration_ms_max", true);
  for (int bucket = 0; bucket < kDurationBuckets; ++bucket)
    text += ", " + column(RollupBucketColumn(bucket));
  return text;
}

std::string RunStartText(bool attempt_column) {
  return attempt_column ? "case when coalesce(r.attempt, 1) <= 1 then 1 else 0 end" : "1";
}

std::string GoodRunText(const char* results, bool attempt_column, const std::string& run_floor) {
  const std::string good = "r.outcome in ('ok', 'redirect')";
  if (!attempt_column) return "case when " + good + " then 1 else 0 end";
  // A good attempt ends its run: a good run of this hour when the run's
  // first attempt (the entry's latest before it) began in the hour too.
  return "case when " + good + " and (coalesce(r.attempt, 1) <= 1 or exists (select 1 from " +
         results + " s where s.entry_id = r.entry_id and s.started >= " + run_floor +
         " and s.started <= r.started and coalesce(s.attempt, 1) <= 1)) then 1 else 0 end";
}

std::string ResultSumsText(const char* results, bool attempt_column, const std::string& run_floor) {
  const std::string runs = "sum(" + RunStartText(attempt_column) + ")";
  std::string text = "count(*), " + runs + ", " + runs + " - sum(" +
                     GoodRunText(results, attempt_column, run_floor) + ")";
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome)
    text += std::string(", sum(case when r.outcome = '") + HitOutcomeWord(outcome) +
            "' then 1 else 0 end)";
  text += ", sum(r.duration_ms), max(r.duration_ms)";
  for (int bucket = 0; bucket < kDurationBuckets; ++bucket) {
    std::string range;
    if (bucket > 0) range = "r.duration_ms >= " + std::to_string(kDurationBounds[bucket - 1]);
    if (bucket < kDurationBuckets - 1)
      range += (range.empty() ? "" : " and ") + std::string("r.duration_ms < ") +
               std::to_string(kDurationBounds[bucket]);
    text += ", sum(case when " + range + " then 1 else 0 end)";
  }
  return text;
}

bool OpenRollups(SQLHSTMT check_stmt, SQLHDBC update_conn, const ResultsTable& results,
                 Rollups* r) {
  std::string name = RollupTableName(results.name);
  if (name.empty()) return true;
  std::string probe = "select * from " + name + " where 1 = 0";
  if (!Execute(check_stmt, probe.data())) return true;  // no rollups: the results as they were
  const std::string columns = "entry_id, hour_start, " + RollupColumnsText(false);
  for (size_t at = 0; at < columns.size();) {
    size_t comma = columns.find(", ", at);
    std::string column = columns.substr(at, comma == std::string::npos ? comma : comma - at);
    if (!ResultHasColumn(check_stmt, column.c_str())) {
      SQLFreeStmt(check_stmt, SQL_CLOSE);
      PrintFormat("Error - hourly rollups table %s has no column %s.\r\n", name.c_str(),
                  column.c_str());
      return false;
    }
    at = comma == std::string::npos ? columns.size() : comma + 2;
  }
  SQLFreeStmt(check_stmt, SQL_CLOSE);
  snprintf(r->name, sizeof r->name, "%s", name.c_str());
  snprintf(r->results, sizeof r->results, "%s", results.name);
  r->attempt_column = results.attempt_column;
  std::string text = FillText(*r);
  // The hour's start in the select list, as the floor of its runs (where
  // the table has attempts), and as the first bound of its rows.
  std::vector<char*> bound = {r->hour};
  if (r->attempt_column) bound.push_back(r->hour);
  bound.push_back(r->hour);
  bound.push_back(r->end);
  bool ready = SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, update_conn, &r->fill)) &&
               SQLOK(SQLPrepare(r->fill, Sql(text.data()), SQL_NTS));
  for (size_t i = 0; i < bound.size() && ready; ++i)
    ready = SQLOK(BindTimestampText(r->fill, static_cast<SQLUSMALLINT>(i + 1), bound[i],
                                    sizeof r->hour, &r->indicators[i]));
  if (!ready) {
    PrintFormat("Could not prepare the fill of hourly rollups table %s.\r\n", r->name);
    return false;
  }
  r->enabled = true;
  return true;
}

void FillRollups(Rollups* r, SQLHDBC conn, time_t complete_before, int keep_days, time_t now,
                 bool verbose) {
  if (!r->enabled) return;
  long long start = MonotonicUs();
  char complete[20], from[20] = "", newest[20], next[20];
  HourStartText(complete_before, complete, sizeof complete);
  char horizon[20];
  snprintf(horizon, sizeof horizon, "%s", kEarliest);
  if (keep_days > 0)
    HourStartText(now - static_cast<time_t>(keep_days) * 86400, horizon, sizeof horizon);
  if (!ReadTime(*r, conn, std::string("select max(hour_start) from ") + r->name, {}, newest)) {
    NoteDatabaseError();
    return;
  }
  if (newest[0] == '\0' || !AddHours(newest, 1, from, sizeof from))
    snprintf(from, sizeof from, "%s", kEarliest);
  if (strcmp(from, horizon) < 0) snprintf(from, sizeof from, "%s", horizon);
  const std::string first_row =
      std::string("select min(started) from ") + r->results + " where started >= ? and started < ?";
  for (;;) {
    if (strcmp(from, complete) >= 0) break;
    if (!ReadTime(*r, conn, first_row, {from, complete}, next)) {
      NoteDatabaseError();
      break;
    }
    if (next[0] == '\0') {
      snprintf(from, sizeof from, "%s", complete);
      break;
    }
    // The hour of the next row, and the one after it.
    snprintf(r->hour, sizeof r->hour, "%.13s:00:00", next);
    if (!AddHours(r->hour, 1, r->end, sizeof r->end)) break;
    long long hour_start = MonotonicUs();
    SQLFreeStmt(r->fill, SQL_CLOSE);
    bool filled = SQLOK(SQLExecute(r->fill));
    SQLLEN entries = 0;
    if (filled) SQLRowCount(r->fill, &entries);
    filled = EndTransaction(*r, conn, filled) && filled;
    if (!filled) {
      // Another daemon sharing the table may have filled it first.
      if (!HourFilled(*r, conn, r->hour)) {
        NoteDatabaseError();
        snprintf(from, sizeof from, "%s", r->hour);
        break;
      }
    } else if (verbose) {
      PrintFormat("Filled %s for the hour from %s: %lld entries in %.2f s.\r\n", r->name, r->hour,
                  static_cast<long long>(entries),
                  static_cast<double>(MonotonicUs() - hour_start) / 1e6);
    }
    snprintf(from, sizeof from, "%s", r->end);
    if (MonotonicUs() - start >= kFillBudgetMs * 1000LL) break;
  }
  // Up to from, every hour has been looked at: filled, or without rows.
  snprintf(r->filled_until, sizeof r->filled_until, "%s", from);
}

void PruneRollups(Rollups* r, SQLHDBC conn, int keep_days, time_t now) {
  if (!r->enabled || keep_days == 0) return;
  char cutoff[20], oldest[20];
  HourStartText(now - static_cast<time_t>(keep_days) * 86400, cutoff, sizeof cutoff);
  long long start = MonotonicUs();
  const std::string read_oldest = std::string("select min(hour_start) from ") + r->name;
  std::string text = std::string("delete from ") + r->name + " where hour_start = ?";
  for (;;) {
    if (!ReadTime(*r, conn, read_oldest, {}, oldest)) {
      NoteDatabaseError();
      return;
    }
    if (oldest[0] == '\0' || strcmp(oldest, cutoff) >= 0) return;
    SQLHSTMT handle = SQL_NULL_HSTMT;
    if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, conn, &handle))) return;
    Statement stmt(handle);
    SQLLEN indicator = SQL_NTS;
    bool deleted = SQLOK(BindTimestampText(handle, 1, oldest, sizeof oldest, &indicator)) &&
                   SQLOK(SQLExecDirect(handle, Sql(text.data()), SQL_NTS));
    if (!EndTransaction(*r, conn, deleted) || !deleted) {
      NoteDatabaseError();
      return;
    }
    if (MonotonicUs() - start >= kPruneBudgetMs * 1000LL) return;
  }
}
