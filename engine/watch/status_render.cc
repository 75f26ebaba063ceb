#include "engine/watch/status_render.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "base/ll_ascii.h"
#include "engine/metrics.h"
#include "engine/rules/hit_outcome.h"
#include "http/ll_hosttext.h"
#include "http/ll_html.h"

namespace {

using Json = nlohmann::json;

void Html(std::string* out, std::string_view text) { AppendHtmlEscaped(out, text); }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

// A fraction of the day as "HH:MM"; one that is no number (NaN) as stored.
std::string DayTime(double fraction, const std::string& stored) {
  if (std::isnan(fraction)) return stored;
  int minutes = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 1440 + 0.5);
  return Format("%02d:%02d", minutes / 60, minutes % 60);
}

std::string LocalText(time_t moment) {
  struct tm local;
  localtime_r(&moment, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string Thousands(long long number) {
  // The magnitude as unsigned, which holds that of the least number too.
  unsigned long long magnitude = static_cast<unsigned long long>(number);
  if (number < 0) magnitude = 0 - magnitude;
  std::string digits = std::to_string(magnitude), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (number < 0 ? "-" : "") + out;
}

// A query parameter's value as a link writes it: unreserved bytes as they
// are, every other one as %XX.
std::string UrlEncoded(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (IsLetter(static_cast<char>(c)) || IsDigit(static_cast<char>(c)) || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += Format("%%%02X", c);
    }
  }
  return out;
}

bool Good(int outcome) { return outcome == kHitOk || outcome == kHitRedirect; }

// A cell's class: good, bad or refused (never sent), so that colour is
// never the only difference: each cell also shows its letter.
const char* CellClass(int outcome) {
  if (Good(outcome)) return "g";
  if (outcome == kHitBadHost || outcome == kHitBadRequest || outcome == kHitBadSchedule) return "r";
  return "b";
}

std::string Latest(const StatusRow& row) {
  if (row.outcome.empty()) return "not hit yet";
  std::string text = row.outcome;
  if (row.status != 0) text += " " + std::to_string(row.status);
  if (row.duration_ms >= 0) text += ", " + Thousands(row.duration_ms) + " ms";
  return text;
}

// The title of the strip's cell at, counting from the oldest of letters.
std::string CellTitle(const StatusRow& row, size_t at) {
  int outcome = HitOutcomeOfLetter(row.recent[at]);
  size_t before = row.recent.size() - 1 - at;
  if (before == 0) {
    std::string text = row.last.empty() ? "" : row.last + ": ";
    text += HitOutcomeWord(outcome);
    if (row.status != 0) text += ", status " + std::to_string(row.status);
    if (row.duration_ms >= 0) text += ", " + Thousands(row.duration_ms) + " ms";
    return text;
  }
  return std::string(HitOutcomeWord(outcome)) + ", " + std::to_string(before) +
         (before == 1 ? " attempt" : " attempts") + " before the latest";
}

constexpr char kStyle[] =
    "body{font:14px/1.4 system-ui,sans-serif;margin:0 1em;color:#111;background:#fff}"
    "h1{font-size:1.2em;margin:.6em 0 .2em}header p{margin:.2em 0}"
    "nav{margin:.6em 0;display:flex;flex-wrap:wrap;gap:.8em;align-items:center}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:.25em .5em;border-bottom:1px solid #ddd;vertical-align:top}"
    "th{background:#f3f3f3;position:sticky;top:0}"
    "td.t{word-break:break-all;min-width:14em}td.n{white-space:nowrap}"
    "tr.f td:first-child{border-left:4px solid #c65d00}"
    ".s{white-space:nowrap;font:10px/1 monospace}"
    ".s span{display:inline-block;width:.85em;text-align:center;border-right:1px solid #fff;"
    "padding:2px 0}"
    ".g{background:#2f6db5;color:#fff}.b{background:#f0a030;color:#000;font-weight:bold}"
    ".r{background:#888;color:#fff;text-decoration:underline}"
    "@media (max-width:700px){td.m,th.m,td.w,th.w{display:none}}"
    "@media (min-width:1800px){body{font-size:18px}}";

void Header(const StatusHeader& h, std::string* out) {
  out->append("<header><h1>jantor ");
  Html(out, h.version);
  out->append("</h1><p>table <b>");
  Html(out, h.table);
  out->append("</b> on data source <b>");
  Html(out, h.dsn);
  out->append("</b></p><p>");
  if (h.metrics.last_cycle_end > 0) {
    out->append("last cycle ended " + LocalText(h.metrics.last_cycle_end) + " and took " +
                Format("%.2f", h.metrics.last_cycle_seconds) + " s");
  } else {
    out->append("no cycle has ended yet");
  }
  out->append(" · ");
  if (h.totals.entries >= 0) out->append(Thousands(h.totals.entries) + " entries · ");
  out->append(Thousands(h.metrics.due_entries) + " due in the last cycle");
  if (h.totals.failing >= 0) {
    out->append(" · " + Thousands(h.totals.failing) + " failing (" +
                Thousands(h.metrics.entries_failing) + " of them " +
                std::to_string(h.failing_runs) + " runs in a row or more)");
  }
  out->append("</p><p>hits in the last hour:");
  bool any = false;
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome) {
    if (h.metrics.last_hour[outcome] == 0) continue;
    out->append(any ? ", " : " ");
    out->append(std::string(HitOutcomeWord(outcome)) + " " +
                Thousands(h.metrics.last_hour[outcome]));
    any = true;
  }
  if (!any) out->append(" none");
  out->append("</p></header>");
}

void Start(const StatusHeader& h, const char* style, std::string* out) {
  RenderPageStart(h, h.table, style, out);
}

// An uptime cell, and its style.
constexpr char kUptimeStyle[] = "td.u{white-space:nowrap;text-align:right}";
void UptimeCell(double share, std::string* out) {
  out->append("<td class=\"u\">");
  out->append(StatusShare(share));
  out->append("</td>");
}

void Row(const StatusRow& row, time_t now, bool linked, const UptimeShares* uptime,
         std::string* out) {
  out->append(row.failures > 0 ? "<tr class=\"f\"><td>" : "<tr><td>");
  if (linked) {
    out->append("<a href=\"/entry/" + std::to_string(row.id) + "\">" + std::to_string(row.id) +
                "</a>");
  } else {
    out->append(std::to_string(row.id));
  }
  out->append("</td><td class=\"t\">");
  Html(out, StatusTarget(row));
  out->append("</td><td class=\"m\">");
  Html(out, row.method.empty() ? std::string("GET") : row.method);
  out->append("</td><td class=\"w\">");
  Html(out, StatusSchedule(row));
  out->append("</td><td class=\"n\">");
  Html(out, StatusNextRun(row, now));
  out->append("</td><td>");
  Html(out, Latest(row));
  out->append("</td><td class=\"s\">");
  for (size_t at = 0; at < row.recent.size(); ++at) {
    int outcome = HitOutcomeOfLetter(row.recent[at]);
    if (outcome == kHitOutcomeCount) continue;
    out->append("<span class=\"");
    out->append(CellClass(outcome));
    out->append("\" title=\"");
    Html(out, CellTitle(row, at));
    out->append("\">");
    out->push_back(row.recent[at]);
    out->append("</span>");
  }
  out->append("</td><td>");
  out->append(std::to_string(row.failures));
  out->append("</td>");
  if (uptime != nullptr) {
    UptimeCell(uptime->day, out);
    UptimeCell(uptime->week, out);
    UptimeCell(uptime->month, out);
  }
  out->append("</tr>");
}

void Links(const StatusQuery& query, const StatusPage& page, std::string* out) {
  out->append("<nav>");
  auto link = [&](const char* rel, const char* direction, const StatusKey& key, const char* words) {
    out->append(std::string("<a rel=\"") + rel + "\" href=\"");
    Html(out, StatusLink("/", query, direction, key));
    out->append("\">");
    out->append(words);
    out->append("</a>");
  };
  if (page.more_before) link("prev", "before", page.before_key, "previous 100");
  if (page.more_after)
    link("next", "after", page.after_key,
         page.window_ended && page.rows.size() < kRowsAPage ? "search on" : "next 100");
  out->append("</nav>");
}

}  // namespace

void RenderPageStart(const StatusHeader& header, std::string_view title, std::string_view style,
                     std::string* out) {
  out->append(
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"30\"><link rel=\"icon\" href=\"data:,\">"
      "<title>jantor: ");
  Html(out, title);
  out->append("</title><style>");
  out->append(kStyle);
  out->append(style);
  out->append("</style></head><body>");
  Header(header, out);
}

std::string StatusNumber(long long number) { return Thousands(number); }

std::string StatusShare(double share) {
  if (share < 0) return "–";
  if (share >= 1) return "100%";
  // Cut, not rounded: a share with a failure in it never reads 100.00%.
  return Format("%.2f%%", std::floor(share * 10000) / 100);
}

nlohmann::json StatusEntryJson(const StatusRow& row, time_t now) {
  Json entry;
  entry["id"] = row.id;
  entry["target"] = StatusTarget(row);
  entry["method"] = row.method.empty() ? std::string("GET") : row.method;
  entry["schedule"] = StatusSchedule(row);
  entry["next"] = row.next.empty() ? Json() : Json(row.next);
  entry["due"] = StatusNextRun(row, now) == "due";
  entry["retry"] =
      row.attempt >= 2 ? Json{{"retry", row.attempt - 1}, {"of", row.retries}} : Json();
  entry["outcome"] = row.outcome.empty() ? Json() : Json(row.outcome);
  entry["status"] = row.status != 0 ? Json(row.status) : Json();
  entry["duration_ms"] = row.duration_ms >= 0 ? Json(row.duration_ms) : Json();
  entry["latest_at"] = row.last.empty() ? Json() : Json(row.last);
  Json recent = Json::array();
  for (char letter : row.recent) {
    int outcome = HitOutcomeOfLetter(letter);
    if (outcome != kHitOutcomeCount) recent.push_back(HitOutcomeWord(outcome));
  }
  entry["recent"] = std::move(recent);
  entry["failures"] = row.failures;
  return entry;
}

void AddUptimeJson(const UptimeShares& uptime, nlohmann::json* entry) {
  auto share = [](double value) { return value < 0 ? Json() : Json(value); };
  (*entry)["uptime_24h"] = share(uptime.day);
  (*entry)["uptime_7d"] = share(uptime.week);
  (*entry)["uptime_30d"] = share(uptime.month);
}

std::string StatusTarget(const StatusRow& row) {
  HostText parsed;
  std::string scheme = "http", host = row.host;
  int port = 0;
  if (ParseHostText(row.host.c_str(), &parsed, nullptr) == kHostTextParsed) {
    scheme = parsed.tls ? "https" : "http";
    host = parsed.ipv6 ? "[" + std::string(parsed.name) + "]" : parsed.name;
    port = atoi(parsed.port);
  }
  // The port tried first: the host text's own, else the scheme's; a plain
  // host's i_port is where jantor goes when port 80 refuses, and is what the
  // operator wrote down for it.
  if (port == 0) port = scheme == "https" ? 443 : row.port != 0 ? row.port : 80;
  return scheme + "://" + host + ":" + std::to_string(port) + row.path;
}

std::string StatusSchedule(const StatusRow& row) {
  std::string text;
  if (!row.cron.empty()) {
    text = row.cron + ", " + (row.zone.empty() ? std::string("local time") : row.zone);
  } else {
    text = "every " + Thousands(row.interval) + " s";
  }
  // Written as negations, so that a bound that is no number shows too.
  if (!(row.start <= 0) || !(row.stop >= 1))
    text += ", " + DayTime(row.start, row.start_text) + "–" + DayTime(row.stop, row.stop_text);
  return text;
}

std::string StatusNextRun(const StatusRow& row, time_t now) {
  // A pause that has ended is cleared at the next cycle; until then the
  // entry shows its schedule as it stands.
  if (!row.paused_until.empty() && row.paused_until > LocalText(now))
    return "paused until " + row.paused_until;
  if (row.attempt >= 2)
    return "retry " + std::to_string(row.attempt - 1) + " of " + std::to_string(row.retries) +
           " at " + row.next;
  if (row.next.empty()) return "never";
  return row.next <= LocalText(now) ? "due" : row.next;
}

std::string StatusLink(const char* path, const StatusQuery& query, const char* direction,
                       const StatusKey& key) {
  std::string link = path;
  char separator = '?';
  auto add = [&](const std::string& name, const std::string& value) {
    link += separator + name + "=" + value;
    separator = '&';
  };
  if (query.failing_only) add("failing", "1");
  if (!query.search.empty()) add("q", UrlEncoded(query.search));
  add(direction, StatusKeyText(key));
  return link;
}

void RenderStatusHtml(const StatusHeader& header, const StatusQuery& query, const StatusPage& page,
                      std::string* out) {
  out->clear();
  bool uptime = !page.uptime.empty();
  Start(header, uptime ? kUptimeStyle : "", out);
  out->append(
      "<nav><a href=\"/\">all entries</a><a href=\"/?failing=1\">failing only</a>"
      "<form method=\"get\" action=\"/\"><input name=\"q\" maxlength=\"100\" "
      "placeholder=\"host or path holds\" value=\"");
  Html(out, query.search);
  out->append("\"><button>find</button></form><a href=\"/entries.json\">JSON</a></nav>");
  if (page.looked >= 0) {
    out->append("<p>Entries whose host or path holds “");
    Html(out, query.search);
    out->append("”: " + Thousands(static_cast<long long>(page.rows.size())) + " on this page, of " +
                Thousands(page.looked) + " looked through" +
                (page.window_ended ? " (a search looks through " + Thousands(kSearchWindow) +
                                         " entries a page at most)"
                                   : "") +
                ".</p>");
  }
  Links(query, page, out);
  out->append(
      "<table><thead><tr><th>key</th><th>target</th><th class=\"m\">method</th>"
      "<th class=\"w\">schedule</th><th>next run</th><th>latest</th><th>latest attempts, "
      "newest last</th><th>failed runs</th>");
  if (uptime) out->append("<th>uptime 24 h</th><th>7 d</th><th>30 d</th>");
  out->append("</tr></thead><tbody>");
  for (size_t i = 0; i < page.rows.size(); ++i)
    Row(page.rows[i], header.now, page.history, uptime ? &page.uptime[i] : nullptr, out);
  out->append("</tbody></table>");
  if (page.rows.empty()) out->append("<p>No entries.</p>");
  Links(query, page, out);
  out->append(
      "<footer><p>Letters of the latest attempts: k ok, r redirect, c client-error, s "
      "server-error, n no-status, u unreachable, t timeout, l too-large, x tls, h bad-host, e "
      "error, q bad-request, b bad-schedule");
  if (ExpectsReplies()) out->append(", w unexpected");
  if (FetchesTokens()) out->append(", a no-token");
  out->append("; a bold one failed, an underlined one was refused unsent.");
  if (page.pauses)
    out->append(
        " A paused entry is not hit until the time its next run shows; the runs its pause "
        "passes over are skipped, not made.");
  out->append("</p>");
  if (uptime)
    out->append(
        "<p>Uptime: the share of good runs (a run that ended ok or redirect, at its first "
        "attempt or a retry) over the last 24 hours, 7 days and 30 days; – for none.</p>");
  out->append("</footer></body></html>");
}

void RenderStatusJson(const StatusHeader& header, const StatusQuery& query, const StatusPage& page,
                      std::string* out) {
  Json document;
  document["jantor"] = header.version;
  document["table"] = header.table;
  Json& entries = document["entries"] = Json::array();
  for (size_t i = 0; i < page.rows.size(); ++i) {
    const StatusRow& row = page.rows[i];
    Json entry = StatusEntryJson(row, header.now);
    if (page.pauses)
      entry["paused_until"] = !row.paused_until.empty() && row.paused_until > LocalText(header.now)
                                  ? Json(row.paused_until)
                                  : Json();
    if (!page.uptime.empty()) AddUptimeJson(page.uptime[i], &entry);
    entries.push_back(std::move(entry));
  }
  document["next"] =
      page.more_after ? Json(StatusLink("/entries.json", query, "after", page.after_key)) : Json();
  document["previous"] = page.more_before
                             ? Json(StatusLink("/entries.json", query, "before", page.before_key))
                             : Json();
  if (page.looked >= 0) document["looked_through"] = page.looked;
  // A text of the table that is not UTF-8 is written with U+FFFD in place
  // of its bad bytes rather than refused.
  *out = document.dump(-1, ' ', false, Json::error_handler_t::replace);
  out->push_back('\n');
}

namespace {

// A badge of a label on grey and a message on colour.
void Badge(const std::string& label, const std::string& message, const char* colour,
           std::string* out) {
  // About 7 px a character of an 11 px sans-serif, and 10 px of margin.
  auto width = [](const std::string& text) {
    size_t characters = 0;
    for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
    return static_cast<int>(characters) * 7 + 10;
  };
  int left = width(label), right = width(message);
  out->clear();
  out->append(
      Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"20\" "
             "role=\"img\" aria-label=\"",
             left + right));
  Html(out, label + ": " + message);
  out->append("\"><title>");
  Html(out, label + ": " + message);
  out->append(
      Format("</title><rect width=\"%d\" height=\"20\" fill=\"#555\"/>"
             "<rect x=\"%d\" width=\"%d\" height=\"20\" fill=\"%s\"/>"
             "<g fill=\"#fff\" font-family=\"DejaVu Sans,Verdana,sans-serif\" "
             "font-size=\"11\"><text x=\"5\" y=\"14\">",
             left, left, right, colour));
  Html(out, label);
  out->append(Format("</text><text x=\"%d\" y=\"14\">", left + 5));
  Html(out, message);
  out->append("</text></g></svg>\n");
}

}  // namespace

void RenderUptimeBadge(const StatusRow& row, const char* window, double share, std::string* out) {
  const char* colour = share < 0 ? "#888" : share >= 0.99 ? "#2f6db5" : "#c65d00";
  Badge("jantor " + std::to_string(row.id) + " uptime " + window,
        share < 0 ? std::string("no runs") : StatusShare(share), colour, out);
}

void RenderStatusBadge(const StatusRow& row, std::string* out) {
  int outcome = kHitOutcomeCount;
  for (int o = 0; o < kHitOutcomeCount; ++o)
    if (row.outcome == HitOutcomeWord(o)) outcome = o;
  std::string label = "jantor " + std::to_string(row.id);
  std::string message;
  const char* colour = "#888";
  if (outcome == kHitOutcomeCount) {
    message = "not hit yet";
  } else if (Good(outcome) && row.failures == 0) {
    message = std::string("✓ ") + HitOutcomeWord(outcome);
    colour = "#2f6db5";
  } else {
    message = std::string("✕ ") + HitOutcomeWord(outcome);
    if (row.failures > 0) message += ", " + std::to_string(row.failures) + " failed runs";
    colour = "#c65d00";
  }
  Badge(label, message, colour, out);
}

void RenderStatusUnavailable(const StatusHeader& header, const std::string& why, std::string* out) {
  out->clear();
  Start(header, "", out);
  out->append("<p><b>The schedule cannot be read now:</b> ");
  Html(out, why);
  out->append(
      "</p><p>The hits go on; this page tries again when it is next loaded.</p>"
      "</body></html>");
}
