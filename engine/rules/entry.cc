#include "engine/rules/entry.h"

#include <sqlext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ll_cpapi.h"
#include "base/ll_datetime.h"
#include "base/ll_string.h"
#include "engine/command_line.h"
#include "engine/rules/splay.h"

namespace {

// Largest moment written back: one the table's timestamp columns and the
// date scanners all accept, and that is never due.
constexpr char kLatestNextRun[] = "9999-12-31 23:59:59";

// The stored time as the date scanners read it, with their words muted
// when mute is set.
time_t ScanStoredTime(const char* text, bool mute) {
  struct tm record;
  memset(&record, 0, sizeof record);
  record.tm_isdst = -1;
  int date_ok, time_ok;
  {
    MutedOutput trace_words(mute);
    date_ok = ScanODBCDate(0, text, &record, 1);
    time_ok = ScanODBCTime(0, text, &record, 0);
  }
  // The date scanner leaves the daylight-saving flag of the day's midnight
  // in the record. On the days the clocks change that flag is wrong for
  // the stored time, and mktime would move it by an hour in every cycle; the
  // stored text is a wall-clock time, so let mktime find its own flag.
  record.tm_isdst = -1;
  return (date_ok && time_ok) ? mktime(&record) : static_cast<time_t>(-1);
}

// The next run time: the stored i_next plus the interval. A stored time
// that cannot be read (or placed on the calendar) is rescheduled from the
// cycle's present time instead, so the entry is neither lost nor hit in
// every cycle for ever.
void NextRunText(const Entry& entry, time_t present, int verbose, int quiet, char* out,
                 size_t out_size) {
  time_t stored = ScanStoredTime(entry.next, quiet != 0);
  if (stored == static_cast<time_t>(-1)) {
    stored = present;
    if (verbose)
      PrintFormat("Unreadable next run time -%s- - rescheduled from now.\r\n", entry.next);
  }
  long long interval = ParseInt(entry.interval);
  long long next = static_cast<long long>(stored) + interval;
  if (entry.splay[0] != '\0' && next == static_cast<time_t>(next))
    next = PlaceIntervalRun(entry.id, entry.splay, interval, static_cast<time_t>(next));
  struct tm broken;
  time_t next_time = static_cast<time_t>(next);
  if (localtime_r(&next_time, &broken) == nullptr || broken.tm_year > 9999 - 1900) {
    snprintf(out, out_size, "%s", kLatestNextRun);
    return;
  }
  strftime(out, out_size, "%Y-%m-%d %H:%M:%S", &broken);
}

// The id goes into the one-row update unquoted, so only a number may: any
// other text (NULL, a number cut to the field, or "1 or 1=1" in a table
// whose id column holds text) would fail the statement at best, and at
// worst move the next run of entries that were never hit. Such an update
// counts as failed.
bool IsKeyNumber(const char* id, size_t capacity) {
  size_t length = strlen(id);
  if (length + 1 >= capacity) return false;  // may have been cut
  constexpr char kDigits[] = "0123456789";
  const char* at = id + (id[0] == '-' ? 1 : 0);
  size_t whole = strspn(at, kDigits);
  if (whole == 0) return false;
  at += whole;
  if (*at == '.') {  // a key kept in a floating-point column
    size_t fraction = strspn(at + 1, kDigits);
    if (fraction == 0) return false;
    at += 1 + fraction;
  }
  return *at == '\0';
}

}  // namespace

std::string EntryColumnsText(const char* alias, const char* next) {
  static constexpr const char* kColumns[] = {"id",        "i_user",     "i_pass",
                                             "i_port",    "i_object",   "i_host",
                                             "i_timeout", "i_interval", "i_next"};
  std::string prefix = alias != nullptr ? std::string(alias) + "." : "";
  std::string text;
  for (const char* column : kColumns) {
    if (!text.empty()) text += ", ";
    text += next != nullptr && strcmp(column, "i_next") == 0 ? std::string(next) : prefix + column;
  }
  return text;
}

std::array<EntryField, 22> EntryFields(Entry* e) {
  return {{{e->id, sizeof e->id},
           {e->user, sizeof e->user},
           {e->password, sizeof e->password},
           {e->port, sizeof e->port},
           {e->object, sizeof e->object},
           {e->host, sizeof e->host},
           {e->timeout, sizeof e->timeout},
           {e->interval, sizeof e->interval},
           {e->next, sizeof e->next},
           {e->call, sizeof e->call},
           {e->cron, sizeof e->cron},
           {e->zone, sizeof e->zone},
           {e->retries, sizeof e->retries},
           {e->retry_delay, sizeof e->retry_delay},
           {e->attempt, sizeof e->attempt},
           {e->run, sizeof e->run},
           {e->failures, sizeof e->failures},
           {e->outcome, sizeof e->outcome},
           {e->expect, sizeof e->expect},
           {e->splay, sizeof e->splay},
           {e->missed, sizeof e->missed},
           {e->paused_until, sizeof e->paused_until}}};
}

void ReadEntryKey(Entry* entry) {
  entry->key = strtoll(entry->id, nullptr, 10);
  // Whole: the number's own decimal text, so that a statement that binds
  // it names the very row the text names.
  char digits[24];
  snprintf(digits, sizeof digits, "%lld", static_cast<long long>(entry->key));
  if (!IsKeyNumber(entry->id, sizeof entry->id))
    entry->key_kind = kKeyRefused;
  else if (strcmp(digits, entry->id) == 0)
    entry->key_kind = kKeyWhole;
  else
    entry->key_kind = kKeyNumber;
}

void FetchEntry(SQLHSTMT stmt, Entry* entry) {
  SQLSMALLINT columns = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns))) columns = 0;
  SQLUSMALLINT number = 1;
  for (const EntryField& c : EntryFields(entry)) {
    // A failed read must not leave the previous entry's text behind.
    c.text[0] = '\0';
    if (number > columns && number > 9) continue;
    SQLLEN indicator = 0;
    SQLGetData(stmt, number++, SQL_C_CHAR, c.text, static_cast<SQLLEN>(c.capacity), &indicator);
    if (indicator == SQL_NULL_DATA) c.text[0] = '\0';
    c.text[c.capacity - 1] = '\0';
  }
  ReadEntryKey(entry);
}

void PrepareUpdate(const RunSettings* s, const Entry& entry, time_t present, HitWrite* write) {
  NextRunText(entry, present, s->verbose, s->quiet, write->next, sizeof write->next);
  PrepareUpdateTo(s, entry, write->next, write);
}

void PrepareUpdateTo(const RunSettings* s, const Entry& entry, const char* next, HitWrite* write) {
  if (next != write->next) CopyText(write->next, next);
  snprintf(write->update, sizeof write->update, "update %s set i_next = '%s' where id = %s",
           s->table, write->next, entry.id);
  Entry judged;
  const Entry* keyed = &entry;
  if (entry.key_kind == kKeyUnread) {  // an entry made by hand, not fetched
    CopyText(judged.id, entry.id);
    ReadEntryKey(&judged);
    keyed = &judged;
  }
  write->key_ok = keyed->key_kind != kKeyRefused;
  write->key_whole = keyed->key_kind == kKeyWhole;
  write->id = keyed->key;
}

time_t StoredTime(const char* text) { return ScanStoredTime(text, true); }

void LocalTimeText(time_t moment, char* out, size_t size) {
  struct tm local;
  localtime_r(&moment, &local);
  strftime(out, size, "%Y-%m-%d %H:%M:%S", &local);
}
