#include "engine/watch/status_page.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string_view>

#include "base/ll_cpapi.h"
#include "engine/metrics.h"
#include "engine/version.h"
#include "engine/watch/entry_render.h"
#include "engine/watch/history_rows.h"
#include "engine/watch/status_render.h"
#include "engine/watch/status_rows.h"
#include "http/ll_target.h"

namespace {

// Requests waiting for the page thread at most; more are answered 503 at
// once, so that a burst of page loads cannot queue work for minutes. With
// the one being made, as many as the server lets wait for a later answer:
// the turns it keeps for the rest are what lets a scrape through while the
// database is slow.
constexpr size_t kWaitingMost = kAwaitingAtOnce - 1;
// The longest search text.
constexpr size_t kSearchMost = 100;

// Beside the content: nothing a page holds can run or fetch (the escaping
// already sees to the first; this is its second line), nothing is kept by
// a cache between the daemon and the browser.
constexpr char kPageHeaders[] =
    "Cache-Control: no-store\r\n"
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
    "form-action 'self'; "
    "frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n";
constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr char kJson[] = "application/json";
constexpr char kSvg[] = "image/svg+xml";

struct PageJob {
  unsigned long long ticket;
  std::string target;
};

// The requests waiting (guarded by mutex) and what the page thread owns.
struct Pages {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<PageJob> waiting;
  bool running = false;   // the page thread has started (set before any request is taken)
  bool stopping = false;  // the page thread is to end
  pthread_t thread;
  const RunSettings* settings = nullptr;
  HttpServer* server = nullptr;
  StatusSource* source = nullptr;    // the page thread's
  HistorySource* history = nullptr;  // the page thread's
};
// Never destroyed: the page thread waits on its condition variable until
// the process ends, and destroying one that a thread waits on at exit
// would block the exit.
Pages& pages = *new Pages;

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

bool IsPagePath(std::string_view target) {
  std::string_view path = PathOf(target);
  return path == "/" || path == "/entries.json" || path.starts_with("/badge/") ||
         path.starts_with("/entry/");
}

// The digits of a key: at most 18 of them, so that it fits; -1 otherwise.
long long KeyOfDigits(std::string_view digits) {
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return -1;
  return strtoll(std::string(digits).c_str(), nullptr, 10);
}

// The key of "/badge/<key>.svg"; -1 for any other path.
long long BadgeKey(std::string_view path) {
  constexpr std::string_view kStart = "/badge/", kEnd = ".svg";
  if (!path.starts_with(kStart) || !path.ends_with(kEnd)) return -1;
  return KeyOfDigits(path.substr(kStart.size(), path.size() - kStart.size() - kEnd.size()));
}

void Refuse(std::string* response, int status, const char* reason) {
  HttpResponse(response, status, reason, kHttpPlainText, std::string(reason) + "\n",
               "Cache-Control: no-store\r\n");
}

// Reads the page's parameters; false for one that is not as it must be.
bool ReadQuery(const HttpTarget& target, StatusQuery* query) {
  bool keyed = false;
  for (int i = 0; i < target.param_count; ++i) {
    std::string_view name = target.params[i].name, value = target.params[i].value;
    if (name == "failing") {
      if (value != "1" && value != "0" && !value.empty()) return false;
      query->failing_only = value == "1";
    } else if (name == "q") {
      if (value.size() > kSearchMost) return false;
      query->search = value;
    } else if (name == "after" || name == "before") {
      if (keyed || !ReadStatusKey(std::string(value), &query->key)) return false;
      keyed = true;
      query->direction = name == "after" ? StatusQuery::kAfter : StatusQuery::kBefore;
    }
    // Any other parameter (a tracker's, say) changes nothing.
  }
  return true;
}

StatusHeader HeaderNow() {
  StatusHeader header{JANTOR_VERSION,
                      pages.settings->table,
                      pages.settings->dsn,
                      pages.settings->failing_runs,
                      {},
                      {},
                      time(nullptr)};
  ReadMetricsSnapshot(&header.metrics);
  return header;
}

void Unavailable(std::string* response, const char* type, const StatusHeader& header,
                 const std::string& why) {
  std::string body;
  if (type == kHtml) {
    RenderStatusUnavailable(header, why, &body);
  } else {
    body = "The schedule cannot be read now: " + why + "\n";
    type = kHttpPlainText;
  }
  HttpResponse(response, 503, "Service Unavailable", type, body,
               "Cache-Control: no-store\r\nRetry-After: 10\r\n");
}

// The page of an entry, "/entry/<key>" or "/entry/<key>.json": 400 for a
// key that is none, 404 for one the table does not have.
void ServeEntry(std::string_view path, const StatusQuery& query, const StatusHeader& header,
                std::string* response) {
  std::string_view key_text = path.substr(strlen("/entry/"));
  bool json = key_text.ends_with(".json");
  if (json) key_text.remove_suffix(strlen(".json"));
  long long key = KeyOfDigits(key_text);
  // A page of attempts goes on from a results row's start and key.
  if (key < 0 || (query.direction != StatusQuery::kFirst && query.key.failing)) {
    Refuse(response, 400, "Bad Request");
    return;
  }
  std::string why, body;
  StatusRow row;
  bool found = false;
  if (!ReadStatusEntry(pages.source, key, &row, &found, &why)) {
    Unavailable(response, json ? kJson : kHtml, header, why);
    return;
  }
  if (!found) {
    Refuse(response, 404, "Not Found");
    return;
  }
  AttemptsQuery attempts;
  attempts.key = query.key;
  if (query.direction != StatusQuery::kFirst)
    attempts.direction =
        query.direction == StatusQuery::kAfter ? AttemptsQuery::kOlder : AttemptsQuery::kNewer;
  EntryHistory history;
  if (!ReadEntryHistory(pages.history, pages.source, key, attempts, header.now, &history, &why)) {
    Unavailable(response, json ? kJson : kHtml, header, why);
    return;
  }
  if (json) {
    RenderEntryJson(header, row, history, &body);
  } else {
    RenderEntryHtml(header, row, history, &body);
  }
  HttpResponse(response, 200, "OK", json ? kJson : kHtml, body, kPageHeaders);
}

// The window of a badge's ?uptime=: "24h", "7d" or "30d"; "" without
// one, null for another value.
const char* UptimeWindow(const HttpTarget& target) {
  const char* window = "";
  for (int i = 0; i < target.param_count; ++i) {
    if (std::string_view(target.params[i].name) != "uptime") continue;
    std::string_view value = target.params[i].value;
    window = nullptr;
    for (const char* known : {"24h", "7d", "30d"})
      if (value == known) window = known;
    if (window == nullptr) return nullptr;
  }
  return window;
}

void Serve(const std::string& text, std::string* response) {
  HttpTarget target;
  StatusQuery query;
  if (ReadHttpTarget(text.c_str(), &target) != kTargetRead || !ReadQuery(target, &query)) {
    Refuse(response, 400, "Bad Request");
    return;
  }
  std::string_view path = target.path;
  StatusHeader header = HeaderNow();
  std::string why, body;
  if (path == "/" || path == "/entries.json") {
    bool html = path == "/";
    StatusPage page;
    if (!ReadStatusTotals(pages.source, header.now, &header.totals, &why) ||
        !ReadStatusPage(pages.source, query, &page, &why)) {
      Unavailable(response, html ? kHtml : kJson, header, why);
      return;
    }
    page.history = HistoryKept(pages.history);
    std::vector<long long> ids;
    for (const StatusRow& row : page.rows) ids.push_back(row.id);
    if (!ReadUptimes(pages.history, pages.source, ids, header.now, &page.uptime, &why)) {
      Unavailable(response, html ? kHtml : kJson, header, why);
      return;
    }
    if (html) {
      RenderStatusHtml(header, query, page, &body);
    } else {
      RenderStatusJson(header, query, page, &body);
    }
    HttpResponse(response, 200, "OK", html ? kHtml : kJson, body, kPageHeaders);
    return;
  }
  if (path.starts_with("/entry/")) {
    ServeEntry(path, query, header, response);
    return;
  }
  long long key = BadgeKey(path);
  const char* window = UptimeWindow(target);
  if (key >= 0 && window == nullptr) {
    Refuse(response, 400, "Bad Request");
    return;
  }
  if (key < 0) {
    Refuse(response, 404, "Not Found");
    return;
  }
  StatusRow row;
  bool found = false;
  if (!ReadStatusEntry(pages.source, key, &row, &found, &why)) {
    Unavailable(response, kSvg, header, why);
    return;
  }
  if (!found) {
    Refuse(response, 404, "Not Found");
    return;
  }
  if (window[0] != '\0') {
    // The window's share; a badge of uptime needs the hourly rollups.
    std::vector<UptimeShares> shares;
    if (!ReadUptimes(pages.history, pages.source, {key}, header.now, &shares, &why)) {
      Unavailable(response, kSvg, header, why);
      return;
    }
    if (shares.empty()) {
      Refuse(response, 404, "Not Found");
      return;
    }
    const UptimeShares& s = shares[0];
    double share = window[0] == '2' ? s.day : window[0] == '7' ? s.week : s.month;
    RenderUptimeBadge(row, window, share, &body);
    HttpResponse(response, 200, "OK", kSvg, body, kPageHeaders);
    return;
  }
  RenderStatusBadge(row, &body);
  HttpResponse(response, 200, "OK", kSvg, body, kPageHeaders);
}

void* RunPages(void*) {
  for (;;) {
    PageJob job;
    {
      std::unique_lock<std::mutex> lock(pages.mutex);
      pages.wake.wait(lock, [] { return !pages.waiting.empty() || pages.stopping; });
      if (pages.stopping) break;
      job = std::move(pages.waiting.front());
      pages.waiting.pop_front();
    }
    // A request whose client has gone while it waited (or that was closed
    // at its deadline) costs no read: its connection is closed unanswered,
    // which frees its turn at once.
    if (!HttpClientWaiting(pages.server, job.ticket)) {
      HttpAnswer(pages.server, job.ticket, std::string());
      continue;
    }
    std::string response;
    Serve(job.target, &response);
    // A client that has gone, or waited past its deadline, loses its answer.
    HttpAnswer(pages.server, job.ticket, std::move(response));
  }
  FreeStatusSource(pages.source);
  pages.source = nullptr;
  FreeHistorySource(pages.history);
  pages.history = nullptr;
  return nullptr;
}

}  // namespace

bool StartStatusPages(const RunSettings* settings, HttpServer* server) {
  std::lock_guard<std::mutex> lock(pages.mutex);
  pages.settings = settings;
  pages.server = server;
  pages.source = NewStatusSource(settings);
  pages.history = NewHistorySource(settings);
  if (StartSignalFreeThread(&pages.thread, nullptr, RunPages, nullptr) != 0) return false;
  pages.running = true;
  return true;
}

void StopStatusPages() {
  {
    std::lock_guard<std::mutex> lock(pages.mutex);
    if (!pages.running) return;
    pages.running = false;  // later requests are answered 503
    pages.stopping = true;
    pages.wake.notify_one();
  }
  pthread_join(pages.thread, nullptr);
}

bool AnswerStatusRequest(const HttpRequestHead& request, std::string* response) {
  if (!IsPagePath(request.target)) return false;
  if (strcmp(request.method, "GET") != 0) {
    HttpResponse(response, 405, "Method Not Allowed", kHttpPlainText, "Method Not Allowed\n",
                 "Allow: GET\r\n");
    return true;
  }
  std::lock_guard<std::mutex> lock(pages.mutex);
  if (!pages.running || pages.waiting.size() >= kWaitingMost) {
    HttpResponse(response, 503, "Service Unavailable", kHttpPlainText,
                 "The status page is busy; try again in a moment.\n", "Retry-After: 1\r\n");
    return true;
  }
  pages.waiting.push_back({request.ticket, request.target});
  pages.wake.notify_one();
  HttpAnswerLater(response);
  return true;
}
