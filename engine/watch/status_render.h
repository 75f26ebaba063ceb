// The status page's documents, made from what engine/watch/status_rows.h read:
// the HTML page (one self-contained document, readable without script,
// nothing fetched from elsewhere, every text from the table escaped), the
// same rows as JSON, and one entry's badge as SVG. Pure functions of their
// arguments: any thread may call them at once.
#ifndef JANTOR_ENGINE_WATCH_STATUS_RENDER_H_
#define JANTOR_ENGINE_WATCH_STATUS_RENDER_H_

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "engine/metrics.h"
#include "engine/watch/status_rows.h"

// What the top of the page says of the daemon.
struct StatusHeader {
  const char* version;
  const char* table;
  const char* dsn;
  int failing_runs;  // -f
  MetricsSnapshot metrics;
  StatusTotals totals;
  time_t now;
};

void RenderStatusHtml(const StatusHeader& header, const StatusQuery& query, const StatusPage& page,
                      std::string* out);
void RenderStatusJson(const StatusHeader& header, const StatusQuery& query, const StatusPage& page,
                      std::string* out);
void RenderStatusBadge(const StatusRow& row, std::string* out);
// The badge of an entry's share of good runs over window ("24h", "7d",
// "30d"); share -1 for none.
void RenderUptimeBadge(const StatusRow& row, const char* window, double share, std::string* out);

// A page that says the rows cannot be had now, and why.
void RenderStatusUnavailable(const StatusHeader& header, const std::string& why, std::string* out);

// Appends the start of a page, to the end of the daemon's header: the
// title after "jantor: ", and style after the rules every page shares.
void RenderPageStart(const StatusHeader& header, std::string_view title, std::string_view style,
                     std::string* out);

// An entry's fields as the JSON gives them, and its uptime added to them
// (uptime_24h, uptime_7d, uptime_30d: shares from 0 to 1, null for none).
nlohmann::json StatusEntryJson(const StatusRow& row, time_t now);
void AddUptimeJson(const UptimeShares& uptime, nlohmann::json* entry);

std::string StatusNumber(long long number);  // "1,234,567"
std::string StatusShare(double share);       // "99.86%", "100%"; "–" for -1

// The parts of a row as the page words them.
std::string StatusTarget(const StatusRow& row);               // "https://host:443/path"
std::string StatusSchedule(const StatusRow& row);             // "every 300 s, 06:00-18:00"
std::string StatusNextRun(const StatusRow& row, time_t now);  // "due", "retry 2 of 3 at ..."

// The link to a page of the same query, going after (or before) key.
std::string StatusLink(const char* path, const StatusQuery& query, const char* direction,
                       const StatusKey& key);

#endif  // JANTOR_ENGINE_WATCH_STATUS_RENDER_H_
