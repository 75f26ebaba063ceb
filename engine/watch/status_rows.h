// What the status page shows of the schedule, read through an ODBC
// connection of the page thread's own (never the cycle's): a page of
// entries in the page's order (failing first, most failed runs first; then
// by next run), found by key from the page before or after it, never by
// counting rows off; one entry for a badge; and the table's totals. Each
// page costs a bounded number of indexed reads, whatever the table's size.
// Nothing is read that the page must not show: no credentials, no header
// lines, no body. Everything here belongs to the page thread.
#ifndef JANTOR_ENGINE_WATCH_STATUS_ROWS_H_
#define JANTOR_ENGINE_WATCH_STATUS_ROWS_H_

#include <sql.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "engine/command_line.h"
#include "engine/rules/rollup.h"

enum : int {
  kRowsAPage = 100,
  // Entries a search looks through at most for one page: a few tens of
  // milliseconds of a database's time, whatever the table's size.
  kSearchWindow = 10000,
};

// One entry as the page shows it; texts as the table holds them (but the
// object, cut before its query string, which often carries a token).
struct StatusRow {
  long long id = 0;
  std::string host;    // i_host as stored: may hold a scheme and a port
  int port = 0;        // i_port; 0 for none
  std::string path;    // i_object up to its '?'
  std::string method;  // i_method; "" for a plain GET
  long long interval = 0;
  std::string cron, zone;
  // i_start and i_stop as stored, shown for one that is no number
  std::string start_text, stop_text;
  double start = 0, stop = 1;  // the daily window
  std::string next;            // i_next, "YYYY-MM-DD HH:MM:SS"
  int retries = 0;             // i_retries as a number, 0 for none
  int attempt = 0;             // i_attempt: a pending retry's attempt, 0 for none
  int failures = 0;
  std::string outcome;   // i_outcome, "" when never hit
  std::string recent;    // i_recent's letters, newest last
  int status = 0;        // i_status, 0 for none
  int duration_ms = -1;  // i_duration_ms, -1 for none
  std::string last;      // i_last
  std::string paused_until;  // i_paused_until, "" for none
};

// Where a page begins or ends in the page's order: the failing part
// (failures > 0, by failures down and key down), then the rest (by next
// run and key). Written into links as "f.<failures>.<key>" or
// "n.<YYYYMMDDHHMMSS>.<key>".
struct StatusKey {
  bool failing = false;
  int failures = 0;
  std::string next;  // "YYYY-MM-DD HH:MM:SS"
  long long id = 0;
};
std::string StatusKeyText(const StatusKey& key);
// false for a text that is no key.
bool ReadStatusKey(const std::string& text, StatusKey* key);

struct StatusQuery {
  bool failing_only = false;
  std::string search;  // host or path holds it; "" for all
  enum Direction { kFirst, kAfter, kBefore } direction = kFirst;
  StatusKey key;  // for kAfter and kBefore
};

struct StatusPage {
  std::vector<StatusRow> rows;  // at most kRowsAPage, in the page's order
  bool more_after = false;      // a page follows, after after_key
  bool more_before = false;     // a page comes before, before before_key
  StatusKey after_key, before_key;
  long long looked = -1;      // entries a search looked through; -1 for no search
  bool window_ended = false;  // the search stopped at its window, not at the table's end
  bool pauses = false;        // the table has i_paused_until
  // With -l the results are kept: each key links to its entry's page.
  bool history = false;
  // With -l's hourly rollups, each row's shares of good runs, in the rows'
  // order; empty without them.
  std::vector<UptimeShares> uptime;
};

struct StatusTotals {
  long long entries = -1;  // -1 when not known
  long long failing = -1;  // entries with a failed run last
};

struct StatusSource;

// The source of the settings' data source and table, not yet connected.
StatusSource* NewStatusSource(const RunSettings* settings);

// Closes the source's connection, if it has one, and frees it. Null does
// nothing.
void FreeStatusSource(StatusSource* source);

// Reads the page the query asks for. false when the database cannot be
// reached or a statement fails: *why says so (never a password), and the
// connection is dropped, to be made again by the next read.
bool ReadStatusPage(StatusSource* source, const StatusQuery& query, StatusPage* page,
                    std::string* why);

// Reads the entry of key id; *found false when there is none.
bool ReadStatusEntry(StatusSource* source, long long id, StatusRow* row, bool* found,
                     std::string* why);

// Runs read on the source's connection, made first where there is none;
// each connection made has a number one more than the one before, so
// that a reader can tell a new one, which may reach tables that have
// changed. A failure drops the connection, as a page's does.
bool ReadThroughStatusSource(
    StatusSource* source, std::string* why,
    const std::function<bool(SQLHDBC connection, unsigned long number)>& read);

// The totals, counted at most once a minute (the count of every entry is
// the one read that grows with the table).
bool ReadStatusTotals(StatusSource* source, time_t now, StatusTotals* totals, std::string* why);

#endif  // JANTOR_ENGINE_WATCH_STATUS_ROWS_H_
