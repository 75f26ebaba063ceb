#include "engine/watch/entry_render.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "engine/rules/hit_outcome.h"
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

constexpr char kGood[] = "#2f6db5";
constexpr char kBad[] = "#f0a030";
constexpr char kNone[] = "#ccc";

constexpr char kStyle[] =
    "h2{font-size:1.1em;margin:.8em 0 .3em}h3{font-size:1em;margin:1.2em 0 .3em}"
    "table.k{width:auto}table.k th{position:static;background:none;font-weight:normal;"
    "color:#555}svg{display:block;max-width:100%;height:auto}"
    "svg text{font:10px system-ui,sans-serif;fill:#555}"
    "td.ms{text-align:right}.o{padding:0 .3em}p.x{color:#555;margin:.2em 0}";

// The outcome of a word of the results table; kHitOutcomeCount for another.
int OutcomeOfWord(const std::string& word) {
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome)
    if (word == HitOutcomeWord(outcome)) return outcome;
  return kHitOutcomeCount;
}

// As the list's strip: good, bad or refused unsent.
const char* OutcomeClass(int outcome) {
  if (HitSucceeded(static_cast<HitOutcome>(outcome))) return "g";
  if (outcome == kHitBadHost || outcome == kHitBadRequest || outcome == kHitBadSchedule) return "r";
  return "b";
}

std::string Milliseconds(long long ms) { return StatusNumber(ms) + " ms"; }

// What a day or an hour came to, in words: its runs, its attempts and
// the failed ones by outcome.
std::string SpanTitle(const HistorySpan& span) {
  const HourCounts& c = span.counts;
  if (c.attempts == 0) return span.start + ": no attempts";
  std::string text = span.start + ": ";
  if (c.runs > 0) {
    text += StatusNumber(c.runs - c.failed_runs) + " of " + StatusNumber(c.runs) +
            (c.runs == 1 ? " run" : " runs") + " good (" +
            StatusShare(GoodRunShare(c.runs, c.failed_runs)) + "), ";
  } else {
    text += "no run began, ";
  }
  text += StatusNumber(c.attempts) + (c.attempts == 1 ? " attempt" : " attempts");
  std::string failed;
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome) {
    if (HitSucceeded(static_cast<HitOutcome>(outcome)) || c.outcomes[outcome] == 0) continue;
    failed += (failed.empty() ? "" : ", ") + std::string(HitOutcomeWord(outcome)) + " " +
              StatusNumber(c.outcomes[outcome]);
  }
  if (!failed.empty()) text += "; failed: " + failed;
  return text;
}

// The bars of the days: each as high as the chart, its good share blue
// below, the rest orange above; a day without runs a grey line.
void Bars(const std::vector<HistorySpan>& days, std::string* out) {
  constexpr int kWidth = 10, kHeight = 60;
  int width = static_cast<int>(days.size()) * kWidth;
  out->append(
      Format("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"bars\" width=\"%d\" "
             "height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\"><title>",
             width, kHeight + 2, width, kHeight + 2));
  out->append("Good runs a day, " + days.front().start + " to " + days.back().start);
  out->append("</title>");
  for (size_t i = 0; i < days.size(); ++i) {
    const HourCounts& c = days[i].counts;
    int x = static_cast<int>(i) * kWidth;
    out->append("<g><title>");
    Html(out, SpanTitle(days[i]));
    out->append("</title>");
    double share = GoodRunShare(c.runs, c.failed_runs);
    if (share < 0) {
      out->append(Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"3\" fill=\"%s\"/>", x,
                         kHeight - 2, kWidth - 2, kNone));
    } else {
      // A failure shows, however small its share.
      int good = static_cast<int>(share * kHeight);
      if (share < 1) good = std::min(good, kHeight - 2);
      out->append(Format("<rect x=\"%d\" y=\"0\" width=\"%d\" height=\"%d\" fill=\"%s\"/>", x,
                         kWidth - 2, kHeight, kBad));
      out->append(Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/>", x,
                         kHeight - good, kWidth - 2, good, kGood));
    }
    out->append("</g>");
  }
  out->append("</svg>");
}

// The response times of the spans: the median and the longest attempt of
// each, on a scale of powers of ten (a minute's timeouts beside 20 ms
// replies), the lines broken where a span had no attempt. Each column is
// titled with its figures.
void Chart(const std::vector<HistorySpan>& spans, const std::string& title, int column,
           std::string* out) {
  constexpr int kLeft = 44, kHeight = 120, kTop = 6;
  long long longest = 1000;
  for (const HistorySpan& span : spans) longest = std::max(longest, span.counts.duration_max_ms);
  int decades = static_cast<int>(std::ceil(std::log10(static_cast<double>(longest)) - 1e-9));
  auto y = [&](long long ms) {
    double place = std::log10(static_cast<double>(std::max(ms, 1LL))) / decades;
    return kTop + kHeight - static_cast<int>(std::lround(std::min(place, 1.0) * kHeight));
  };
  int width = kLeft + static_cast<int>(spans.size()) * column;
  out->append(
      Format("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"%d\" "
             "height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\"><title>",
             width, kHeight + kTop + 4, width, kHeight + kTop + 4));
  Html(out, title);
  out->append("</title>");
  for (int decade = 0; decade <= decades; ++decade) {
    long long ms = 1;
    for (int i = 0; i < decade; ++i) ms *= 10;
    std::string label = ms >= 1000 ? StatusNumber(ms / 1000) + " s" : StatusNumber(ms) + " ms";
    out->append(
        Format("<line x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\" stroke=\"#ddd\"/>"
               "<text x=\"0\" y=\"%d\">",
               kLeft, width, y(ms), y(ms), y(ms) + 3));
    out->append(label + "</text>");
  }
  // The lines, a polyline for each run of spans with attempts, and a dot
  // at each point, which shows a span alone too.
  for (int line = 0; line < 2; ++line) {
    std::string points, dots;
    auto flush = [&] {
      if (points.empty()) return;
      out->append(Format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%s\" points=\"",
                         line == 0 ? kBad : kGood, line == 0 ? "1" : "2"));
      out->append(points + "\"/>");
      points.clear();
    };
    for (size_t i = 0; i < spans.size(); ++i) {
      const HourCounts& c = spans[i].counts;
      long long ms = line == 0 ? c.duration_max_ms : DurationShareMs(c, 0.5);
      if (c.attempts == 0 || ms < 0) {
        flush();
        continue;
      }
      int x = kLeft + static_cast<int>(i) * column + column / 2;
      points += Format("%s%d,%d", points.empty() ? "" : " ", x, y(ms));
      dots += Format("<circle cx=\"%d\" cy=\"%d\" r=\"2\"/>", x, y(ms));
    }
    flush();
    out->append(Format("<g fill=\"%s\">", line == 0 ? kBad : kGood) + dots + "</g>");
  }
  for (size_t i = 0; i < spans.size(); ++i) {
    const HourCounts& c = spans[i].counts;
    std::string text = spans[i].start + ": ";
    if (c.attempts == 0) {
      text += "no attempts";
    } else {
      text += "median " + Milliseconds(DurationShareMs(c, 0.5)) + ", longest " +
              Milliseconds(c.duration_max_ms) + ", " + StatusNumber(c.attempts) +
              (c.attempts == 1 ? " attempt" : " attempts");
    }
    out->append(
        Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#fff\" "
               "fill-opacity=\"0\"><title>",
               kLeft + static_cast<int>(i) * column, kTop, column, kHeight));
    Html(out, text);
    out->append("</title></rect>");
  }
  out->append("</svg>");
}

void Fact(const char* name, const std::string& value, std::string* out) {
  out->append("<tr><th>");
  out->append(name);
  out->append("</th><td>");
  Html(out, value);
  out->append("</td></tr>");
}

std::string Latest(const StatusRow& row) {
  if (row.outcome.empty()) return "not hit yet";
  std::string text = row.outcome;
  if (row.status != 0) text += " " + std::to_string(row.status);
  if (row.duration_ms >= 0) text += ", " + Milliseconds(row.duration_ms);
  if (!row.last.empty()) text += ", began " + row.last;
  return text;
}

void Links(const std::string& path, const EntryHistory& history, std::string* out) {
  out->append("<nav>");
  if (history.more_newer) {
    out->append("<a rel=\"prev\" href=\"");
    Html(out, EntryLink(path, "before", history.newer_key));
    out->append("\">newer 100</a>");
  }
  if (history.more_older) {
    out->append("<a rel=\"next\" href=\"");
    Html(out, EntryLink(path, "after", history.older_key));
    out->append("\">older 100</a>");
  }
  out->append("</nav>");
}

Json SpanJson(const HistorySpan& span, const char* name) {
  const HourCounts& c = span.counts;
  double share = GoodRunShare(c.runs, c.failed_runs);
  long long median = DurationShareMs(c, 0.5);
  return {{name, span.start},
          {"attempts", c.attempts},
          {"runs", c.runs},
          {"failed_runs", c.failed_runs},
          {"uptime", share < 0 ? Json() : Json(share)},
          {"median_ms", median < 0 ? Json() : Json(median)},
          {"max_ms", c.attempts > 0 && c.duration_max_ms >= 0 ? Json(c.duration_max_ms) : Json()}};
}

}  // namespace

std::string EntryLink(const std::string& path, const char* direction, const StatusKey& key) {
  return path + "?" + direction + "=" + StatusKeyText(key);
}

void RenderEntryHtml(const StatusHeader& header, const StatusRow& row, const EntryHistory& history,
                     std::string* out) {
  out->clear();
  const std::string id = std::to_string(row.id), path = "/entry/" + id;
  RenderPageStart(header, "entry " + id + " of " + header.table, kStyle, out);
  out->append("<nav><a href=\"/\">all entries</a><a href=\"" + path + ".json\">JSON</a></nav>");
  out->append("<h2>Entry " + id + "</h2><table class=\"k\"><tbody>");
  Fact("target", StatusTarget(row), out);
  Fact("method", row.method.empty() ? std::string("GET") : row.method, out);
  Fact("schedule", StatusSchedule(row), out);
  Fact("next run", StatusNextRun(row, header.now), out);
  Fact("latest", Latest(row), out);
  Fact("failed runs in a row", std::to_string(row.failures), out);
  if (history.rollups)
    Fact("uptime",
         "24 h " + StatusShare(history.uptime.day) + " · 7 d " + StatusShare(history.uptime.week) +
             " · 30 d " + StatusShare(history.uptime.month),
         out);
  out->append("</tbody></table>");
  if (!history.results) {
    out->append(
        "<p>No history: jantor keeps a row for every hit with -l, and the hours of them with "
        "its table _hourly.</p>");
  } else if (!history.rollups) {
    out->append(
        "<p class=\"x\">No uptime or response times: they are kept in the results table's "
        "_hourly table, which this data source does not have.</p>");
  }
  if (history.rollups) {
    out->append("<h3>Good runs a day, the last 90 days</h3>");
    Bars(history.days, out);
    out->append("<p class=\"x\">" + history.days.front().start + " to " +
                history.days.back().start + ", today last.</p>");
    out->append("<h3>Response times a day, the last 90 days</h3>");
    Chart(history.days, "Median and longest attempt a day", 8, out);
    out->append("<h3>Response times an hour, the last 48 hours</h3>");
    Chart(history.hours, "Median and longest attempt an hour", 15, out);
    out->append("<p class=\"x\">From " + history.hours.front().start +
                ", the hour under way last.</p>");
  }
  if (history.results) {
    out->append("<h3>Latest attempts, newest first</h3>");
    Links(path, history, out);
    out->append(
        "<table class=\"a\"><thead><tr><th>began</th><th>attempt</th><th>outcome</th><th>status</th>"
        "<th>ms</th><th>reason</th></tr></thead><tbody>");
    for (const AttemptRow& attempt : history.attempts) {
      out->append("<tr><td>");
      Html(out, attempt.started);
      out->append("</td><td>" + std::to_string(attempt.attempt) + "</td><td><span class=\"o ");
      out->append(OutcomeClass(OutcomeOfWord(attempt.outcome)));
      out->append("\">");
      Html(out, attempt.outcome);
      out->append("</span></td><td>");
      if (attempt.status != 0) out->append(std::to_string(attempt.status));
      out->append("</td><td class=\"ms\">" + StatusNumber(attempt.duration_ms) + "</td><td>");
      Html(out, attempt.reason);
      out->append("</td></tr>");
    }
    out->append("</tbody></table>");
    if (history.attempts.empty()) out->append("<p>No attempts kept.</p>");
    Links(path, history, out);
  }
  out->append(
      "<footer><p>A run is an entry's scheduled hit and its retries; it is good when one of "
      "them ended ok or redirect. Runs are counted in the hour their first attempt began, and a "
      "retry of an hour after that counts as an attempt of its own hour only. Bars: the share of "
      "each day's runs that were good (blue), and failed (orange); a grey line, none. Response "
      "times: the median (blue) and the longest (orange) attempt of each day, or hour, on a "
      "scale of powers of ten. Uptime: the share of good runs over the last 24 hours, 7 days "
      "and 30 days; – for none.</p></footer></body></html>");
}

void RenderEntryJson(const StatusHeader& header, const StatusRow& row, const EntryHistory& history,
                     std::string* out) {
  const std::string path = "/entry/" + std::to_string(row.id) + ".json";
  Json document;
  document["jantor"] = header.version;
  document["table"] = header.table;
  Json entry = StatusEntryJson(row, header.now);
  if (history.rollups) AddUptimeJson(history.uptime, &entry);
  document["entry"] = std::move(entry);
  if (history.results) {
    Json attempts = Json::array();
    for (const AttemptRow& a : history.attempts)
      attempts.push_back({{"started", a.started},
                          {"attempt", a.attempt},
                          {"outcome", a.outcome},
                          {"status", a.status != 0 ? Json(a.status) : Json()},
                          {"duration_ms", a.duration_ms},
                          {"reason", a.reason.empty() ? Json() : Json(a.reason)}});
    document["attempts"] = std::move(attempts);
    document["newer"] =
        history.more_newer ? Json(EntryLink(path, "before", history.newer_key)) : Json();
    document["older"] =
        history.more_older ? Json(EntryLink(path, "after", history.older_key)) : Json();
  }
  if (history.rollups) {
    Json days = Json::array(), hours = Json::array();
    for (const HistorySpan& day : history.days) days.push_back(SpanJson(day, "day"));
    for (const HistorySpan& hour : history.hours) hours.push_back(SpanJson(hour, "hour"));
    document["days"] = std::move(days);
    document["hours"] = std::move(hours);
  }
  // A text of the tables that is not UTF-8 is written with U+FFFD in place
  // of its bad bytes rather than refused.
  *out = document.dump(-1, ' ', false, Json::error_handler_t::replace);
  out->push_back('\n');
}
