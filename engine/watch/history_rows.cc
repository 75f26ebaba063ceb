#include "engine/watch/history_rows.h"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "engine/db/odbc_calls.h"
#include "engine/db/rollups.h"
#include "engine/db/sql_dialect.h"

struct HistorySource {
  std::string results;  // -l's table; "" without -l
  std::string hourly;   // its rollups' table
  // What the tables were found to be on the connection of this number.
  unsigned long looked_on = 0;
  bool results_there = false;
  bool attempt_column = false;
  bool rollups = false;
  std::string hour_of;  // the dialect's start of an hour (%s), "" where unknown
  std::string day_of;   // and day of an hour
};

namespace {

struct StatementFree {
  void operator()(void* stmt) const { SQLFreeHandle(SQL_HANDLE_STMT, stmt); }
};

// One statement on the page thread's connection, with its parameters kept
// where the driver reads them until it has run.
class Statement {
 public:
  explicit Statement(SQLHDBC conn) : conn_(conn) {}
  void Time(const std::string& text) { params_.push_back({true, text, 0, 0}); }
  void Key(long long key) { params_.push_back({false, "", key, 0}); }
  // Prepares, binds and runs text; false with *why when any step fails.
  bool Run(std::string text, std::string* why) {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    if (!SQLOK(SQLAllocHandle(SQL_HANDLE_STMT, conn_, &handle))) {
      *why = "no statement";
      return false;
    }
    stmt_.reset(handle);
    // A page should not wait long for a busy database.
    SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
    bool ok = SQLOK(SQLPrepare(handle, Sql(text.data()), SQL_NTS));
    SQLUSMALLINT number = 1;
    for (Param& p : params_) {
      if (!ok) break;
      ok = p.time ? SQLOK(BindTimestampText(handle, number, p.text.data(),
                                            static_cast<SQLLEN>(p.text.size() + 1), &p.indicator))
                  : SQLOK(BindKey(handle, number, &p.key, &p.indicator));
      ++number;
    }
    if (ok && SQLOK(SQLExecute(handle))) return true;
    SQLCHAR state[6] = "", message[512] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    *why = SQLOK(SQLGetDiagRec(SQL_HANDLE_STMT, handle, 1, state, &native, message, sizeof message,
                               &length))
               ? "[" + std::string(reinterpret_cast<char*>(state)) + "] " +
                     std::string(reinterpret_cast<char*>(message))
               : "no diagnostic";
    return false;
  }
  bool Fetch() { return SQLOK(SQLFetch(stmt_.get())); }
  // Column number as text; NULL as "" (and *null true).
  std::string Text(SQLUSMALLINT number, bool* null = nullptr) {
    char value[512];
    SQLLEN indicator = 0;
    bool absent =
        !SQLOK(SQLGetData(stmt_.get(), number, SQL_C_CHAR, value, sizeof value, &indicator)) ||
        indicator == SQL_NULL_DATA;
    if (null != nullptr) *null = absent;
    return absent ? "" : value;
  }
  long long Number(SQLUSMALLINT number, long long absent) {
    bool null = false;
    std::string text = Text(number, &null);
    return null || text.empty() ? absent : strtoll(text.c_str(), nullptr, 10);
  }
  // The columns of HourCounts, from number first on (see RollupColumnsText).
  HourCounts Counts(SQLUSMALLINT first) {
    HourCounts counts;
    SQLUSMALLINT at = first;
    counts.attempts = Number(at++, 0);
    counts.runs = Number(at++, 0);
    counts.failed_runs = Number(at++, 0);
    for (long long& n : counts.outcomes) n = Number(at++, 0);
    counts.duration_sum_ms = Number(at++, 0);
    counts.duration_max_ms = Number(at++, -1);
    for (long long& n : counts.buckets) n = Number(at++, 0);
    return counts;
  }

 private:
  struct Param {
    bool time;
    std::string text;
    SQLBIGINT key;
    SQLLEN indicator;
  };
  SQLHDBC conn_;
  std::unique_ptr<void, StatementFree> stmt_;
  std::deque<Param> params_;  // a deque: a bound parameter never moves
};

std::string Formatted(const std::string& format, const char* column) {
  char text[256];
  snprintf(text, sizeof text, format.c_str(), column);
  return text;
}

std::string Hour(const std::string& hour, long long hours) {
  char text[20] = "";
  AddHours(hour.c_str(), hours, text, sizeof text);
  return text;
}

// Looks at the tables again on a connection not seen before: they may
// have been made, or dropped, since.
void LookAtTables(HistorySource* h, SQLHDBC conn, unsigned long number) {
  if (h->looked_on == number) return;
  auto readable = [conn](const std::string& text) {
    Statement probe(conn);
    std::string ignored;
    return probe.Run(text, &ignored);
  };
  h->results_there = readable("select * from " + h->results + " where 1 = 0");
  h->attempt_column =
      h->results_there && readable("select attempt from " + h->results + " where 1 = 0");
  h->rollups = h->results_there && !h->hourly.empty() &&
               readable("select * from " + h->hourly + " where 1 = 0");
  const SqlDialect& dialect = DialectOf(conn);
  h->hour_of = dialect.hour_of != nullptr ? dialect.hour_of : "";
  h->day_of = dialect.day_of;
  h->looked_on = number;
}

// The first hour whose rows are summed from the results, not read from
// the rollups: the one after the newest filled, or two before the one
// under way where the filling lags further (those between are left out).
bool FirstUnfilledHour(const HistorySource& h, SQLHDBC conn, const std::string& now_hour,
                       std::string* first, std::string* why) {
  Statement newest(conn);
  if (!newest.Run("select max(hour_start) from " + h.hourly, why)) return false;
  std::string filled = newest.Fetch() ? newest.Text(1).substr(0, 19) : "";
  std::string after = filled.empty() ? "" : Hour(filled, 1);
  *first = std::max(after, Hour(now_hour, -2));
  return true;
}

std::string Marks(size_t count) {
  std::string marks;
  for (size_t i = 0; i < count; ++i) marks += i == 0 ? "?" : ", ?";
  return marks;
}

bool Uptimes(HistorySource* h, SQLHDBC conn, const std::vector<long long>& ids, time_t now,
             std::vector<UptimeShares>* shares, std::string* why) {
  char now_hour[20];
  HourStartText(now, now_hour, sizeof now_hour);
  std::string first;
  if (!FirstUnfilledHour(*h, conn, now_hour, &first, why)) return false;
  const std::string day = Hour(now_hour, -23), week = Hour(now_hour, -167),
                    month = Hour(now_hour, -719);
  Statement read(conn);
  for (const std::string& from : {day, day, week, week}) read.Time(from);
  for (long long id : ids) read.Key(id);
  read.Time(month);
  read.Time(first);
  std::string floor = "?";
  if (h->hour_of.empty())
    read.Time(first);
  else
    floor = Formatted(h->hour_of, "r.started");
  for (long long id : ids) read.Key(id);
  read.Time(first);
  const std::string run = RunStartText(h->attempt_column);
  const std::string text =
      "select u.entry_id, sum(case when u.at >= ? then u.runs else 0 end), "
      "sum(case when u.at >= ? then u.failed else 0 end), "
      "sum(case when u.at >= ? then u.runs else 0 end), "
      "sum(case when u.at >= ? then u.failed else 0 end), sum(u.runs), sum(u.failed) from "
      "(select entry_id, hour_start as at, runs, failed_runs as failed from " +
      h->hourly + " where entry_id in (" + Marks(ids.size()) +
      ") and hour_start >= ? and hour_start < ? union all select r.entry_id, r.started, " + run +
      ", " + run + " - " + GoodRunText(h->results.c_str(), h->attempt_column, floor) + " from " +
      h->results + " r where r.entry_id in (" + Marks(ids.size()) +
      ") and r.started >= ?) u group by u.entry_id";
  if (!read.Run(text, why)) return false;
  std::map<long long, UptimeShares> found;
  while (read.Fetch()) {
    UptimeShares& s = found[read.Number(1, 0)];
    s.day = GoodRunShare(read.Number(2, 0), read.Number(3, 0));
    s.week = GoodRunShare(read.Number(4, 0), read.Number(5, 0));
    s.month = GoodRunShare(read.Number(6, 0), read.Number(7, 0));
  }
  shares->clear();
  for (long long id : ids) shares->push_back(found[id]);
  return true;
}

bool Attempts(const HistorySource& h, SQLHDBC conn, long long id, const AttemptsQuery& query,
              EntryHistory* entry, std::string* why) {
  Statement read(conn);
  read.Key(id);
  std::string text = "select r.started, " + std::string(h.attempt_column ? "r.attempt" : "1") +
                     ", r.outcome, r.status, r.duration_ms, r.reason, r.id from " + h.results +
                     " r where r.entry_id = ?";
  bool newer = query.direction == AttemptsQuery::kNewer;
  if (query.direction != AttemptsQuery::kNewest) {
    // A range of the start, where the index scan begins, and within it the
    // row value, which orders the rows of one second by key.
    const char* beyond = newer ? ">" : "<";
    text +=
        std::string(" and r.started ") + beyond + "= ? and (r.started, r.id) " + beyond + " (?, ?)";
    read.Time(query.key.next);
    read.Time(query.key.next);
    read.Key(query.key.id);
  }
  text += newer ? " order by r.started, r.id" : " order by r.started desc, r.id desc";
  text += " limit " + std::to_string(kAttemptsAPage + 1);
  if (!read.Run(text, why)) return false;
  std::vector<AttemptRow>& rows = entry->attempts;
  rows.clear();
  while (rows.size() <= static_cast<size_t>(kAttemptsAPage) && read.Fetch()) {
    AttemptRow row;
    row.started = read.Text(1).substr(0, 19);
    row.attempt = static_cast<int>(std::clamp<long long>(read.Number(2, 1), 0, 1 << 20));
    row.outcome = read.Text(3);
    row.status = static_cast<int>(std::clamp<long long>(read.Number(4, 0), 0, 1 << 20));
    row.duration_ms = read.Number(5, 0);
    row.reason = read.Text(6);
    row.id = read.Number(7, 0);
    rows.push_back(std::move(row));
  }
  bool more = rows.size() > static_cast<size_t>(kAttemptsAPage);
  if (more) rows.pop_back();
  if (newer) std::reverse(rows.begin(), rows.end());
  entry->more_older = newer || more;
  entry->more_newer = query.direction == AttemptsQuery::kOlder || (newer && more);
  if (newer && rows.empty()) {  // nothing newer: the newest, then
    AttemptsQuery newest;
    return Attempts(h, conn, id, newest, entry, why);
  }
  if (!rows.empty()) {
    entry->newer_key = {false, 0, rows.front().started, rows.front().id};
    entry->older_key = {false, 0, rows.back().started, rows.back().id};
  }
  if (rows.empty()) entry->more_older = entry->more_newer = false;
  return true;
}

bool Spans(const HistorySource& h, SQLHDBC conn, long long id, time_t now, EntryHistory* entry,
           std::string* why) {
  char now_hour[20];
  HourStartText(now, now_hour, sizeof now_hour);
  std::string first;
  if (!FirstUnfilledHour(h, conn, now_hour, &first, why)) return false;
  const std::string today = std::string(now_hour).substr(0, 10) + " 00:00:00";
  entry->days.clear();
  entry->hours.clear();
  std::map<std::string, size_t> day_at, hour_at;
  for (int i = kHistoryDays - 1; i >= 0; --i) {
    std::string day = Hour(today, -24LL * i).substr(0, 10);
    day_at[day] = entry->days.size();
    entry->days.push_back({day, {}});
  }
  for (int i = kHistoryHours - 1; i >= 0; --i) {
    std::string hour = Hour(now_hour, -i);
    hour_at[hour] = entry->hours.size();
    entry->hours.push_back({hour, {}});
  }
  auto add = [](std::map<std::string, size_t>& at, std::vector<HistorySpan>& spans,
                const std::string& start, const HourCounts& counts) {
    auto found = at.find(start);
    if (found != at.end()) spans[found->second].counts.Add(counts);
  };

  const std::string day_of = Formatted(h.day_of, "hour_start");
  Statement days(conn);
  days.Key(id);
  days.Time(entry->days.front().start + " 00:00:00");
  days.Time(first);
  if (!days.Run("select " + day_of + ", " + RollupColumnsText(true) + " from " + h.hourly +
                    " where entry_id = ? and hour_start >= ? and hour_start < ? group by " +
                    day_of + " order by 1",
                why))
    return false;
  while (days.Fetch()) add(day_at, entry->days, days.Text(1).substr(0, 10), days.Counts(2));

  Statement hours(conn);
  hours.Key(id);
  hours.Time(entry->hours.front().start);
  hours.Time(first);
  if (!hours.Run("select hour_start, " + RollupColumnsText(false) + " from " + h.hourly +
                     " where entry_id = ? and hour_start >= ? and hour_start < ?",
                 why))
    return false;
  while (hours.Fetch()) add(hour_at, entry->hours, hours.Text(1).substr(0, 19), hours.Counts(2));

  // The hours not yet filled, by the rollups' own sums; where the DBMS
  // has no start of an hour, row by row, their runs counted from first.
  Statement rows(conn);
  std::string group = "r.started", floor = "?";
  if (!h.hour_of.empty())
    group = floor = Formatted(h.hour_of, "r.started");
  else
    rows.Time(first);
  rows.Key(id);
  rows.Time(first);
  if (!rows.Run("select " + group + ", " +
                    ResultSumsText(h.results.c_str(), h.attempt_column, floor) + " from " +
                    h.results + " r where r.entry_id = ? and r.started >= ? group by " + group,
                why))
    return false;
  while (rows.Fetch()) {
    std::string hour = rows.Text(1).substr(0, 13) + ":00:00";
    HourCounts counts = rows.Counts(2);
    add(hour_at, entry->hours, hour, counts);
    add(day_at, entry->days, hour.substr(0, 10), counts);
  }
  return true;
}

}  // namespace

HistorySource* NewHistorySource(const RunSettings* settings) {
  auto* history = new HistorySource;
  if (OptionGiven(settings, 'l')) {
    history->results = settings->results;
    history->hourly = RollupTableName(settings->results);
  }
  return history;
}

void FreeHistorySource(HistorySource* history) { delete history; }

bool HistoryKept(const HistorySource* history) {
  return history != nullptr && !history->results.empty();
}

bool ReadUptimes(HistorySource* history, StatusSource* source, const std::vector<long long>& ids,
                 time_t now, std::vector<UptimeShares>* shares, std::string* why) {
  shares->clear();
  if (!HistoryKept(history) || ids.empty()) return true;
  return ReadThroughStatusSource(source, why, [&](SQLHDBC conn, unsigned long number) {
    LookAtTables(history, conn, number);
    return !history->rollups || Uptimes(history, conn, ids, now, shares, why);
  });
}

bool ReadEntryHistory(HistorySource* history, StatusSource* source, long long id,
                      const AttemptsQuery& query, time_t now, EntryHistory* entry,
                      std::string* why) {
  *entry = EntryHistory();
  if (!HistoryKept(history)) return true;
  return ReadThroughStatusSource(source, why, [&](SQLHDBC conn, unsigned long number) {
    LookAtTables(history, conn, number);
    entry->results = history->results_there;
    entry->rollups = history->rollups;
    if (entry->results && !Attempts(*history, conn, id, query, entry, why)) return false;
    if (!entry->rollups) return true;
    std::vector<UptimeShares> shares;
    if (!Uptimes(history, conn, {id}, now, &shares, why) ||
        !Spans(*history, conn, id, now, entry, why))
      return false;
    entry->uptime = shares[0];
    return true;
  });
}
