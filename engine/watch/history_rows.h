// What the status pages show of the history that -l keeps, read on the
// page thread's connection (engine/watch/status_rows.h): the uptime of a
// page of entries, and for an entry's own page its latest attempts, a page
// at a time from a key, and its last days and hours. Complete hours come
// from the hourly rollups (engine/db/rollups.h); the hours after the last
// one filled (the one under way, and two more at most while a fill waits
// for the end of a cycle) are summed from the results rows by the same
// rules, in the same statement where both are needed, so that no hour is
// counted twice or left out when one is filled meanwhile. Every read is
// by index: an entry's rollups by its key, its results by (entry_id,
// started); its cost does not grow with the tables. Nothing is read that
// a page must not show. Everything here belongs to the page thread.
#ifndef JANTOR_ENGINE_WATCH_HISTORY_ROWS_H_
#define JANTOR_ENGINE_WATCH_HISTORY_ROWS_H_

#include <ctime>
#include <string>
#include <vector>

#include "engine/command_line.h"
#include "engine/rules/rollup.h"
#include "engine/watch/status_rows.h"

enum : int {
  kAttemptsAPage = 100,
  kHistoryDays = 90,
  kHistoryHours = 48,
};

// One results row as the entry's page shows it.
struct AttemptRow {
  std::string started;  // "YYYY-MM-DD HH:MM:SS"
  int attempt = 1;
  std::string outcome;
  int status = 0;  // 0 for none
  long long duration_ms = 0;
  std::string reason;  // "" for none
  long long id = 0;    // the row's key
};

// Which attempts a page shows: the newest, or those older (after) or
// newer (before) than a row, by its start and key (StatusKey's "n." form).
struct AttemptsQuery {
  enum Direction { kNewest, kOlder, kNewer } direction = kNewest;
  StatusKey key;
};

// A day ("YYYY-MM-DD") or an hour ("YYYY-MM-DD HH:00:00") of an entry.
struct HistorySpan {
  std::string start;
  HourCounts counts;
};

struct EntryHistory {
  bool results = false;  // -l's table can be read: the attempts
  bool rollups = false;  // its hourly rollups too: the uptime, days and hours
  UptimeShares uptime;
  std::vector<AttemptRow> attempts;  // at most kAttemptsAPage, newest first
  bool more_older = false, more_newer = false;
  StatusKey older_key, newer_key;  // the oldest and the newest shown
  std::vector<HistorySpan> days;   // kHistoryDays of them, oldest first, today last
  std::vector<HistorySpan> hours;  // kHistoryHours, the hour under way last
};

struct HistorySource;

// The history of the settings' -l table; one without -l reads nothing.
HistorySource* NewHistorySource(const RunSettings* settings);
// Null does nothing.
void FreeHistorySource(HistorySource* history);

// Whether -l keeps results: the list's keys then link to their entries.
bool HistoryKept(const HistorySource* history);

// The uptime of each entry of ids, in their order, into *shares, where the
// hourly rollups are kept (*shares left empty where not). false when a
// statement fails, with *why.
bool ReadUptimes(HistorySource* history, StatusSource* source, const std::vector<long long>& ids,
                 time_t now, std::vector<UptimeShares>* shares, std::string* why);

// What the entry of key id's page shows of its history, as of now.
bool ReadEntryHistory(HistorySource* history, StatusSource* source, long long id,
                      const AttemptsQuery& query, time_t now, EntryHistory* entry,
                      std::string* why);

#endif  // JANTOR_ENGINE_WATCH_HISTORY_ROWS_H_
