// The page of one entry (/entry/ID), as a user sees it in a real browser:
// its bars and charts drawn and titled, its latest attempts paged by key
// both ways, nothing from the tables running or leaking (credentials,
// header lines, bodies, query strings), its JSON, and the answers to keys
// that are none or that the table lacks. The history is the daemon's
// results table with its hourly rollups: days planted as a year's daemon
// leaves them, and the latest attempts as rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/service_support.h"
#include "support/browser.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using servicetest::Ask;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

const char* const kSecrets[] = {"pa55word-SECRET", "tok-SECRET-1", "body-SECRET-2", "abc-SECRET-3",
                                "alice"};
const char kPlantedHost[] = "127.0.0.9\"><img src=x onerror=\"window.__jantor_pwned=1\">";
const char kPlantedPath[] = "/<script>window.__jantor_pwned=1</script>&\"'?token=abc-SECRET-3";
const char kPlantedReason[] = "<img src=x onerror=\"window.__jantor_pwned=1\">";

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// The local date days before today, "YYYY-MM-DD".
std::string DaysAgo(int days) { return LocalTimestamp(-86400L * days).substr(0, 10); }

std::string Body(const std::string& answer) {
  size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

// An hour of rollups: its runs, failed runs and timeouts (the rest ok),
// the attempts' durations in the bucket of under ms.
void AddHour(const TestDb& db, int entry, const std::string& hour, int runs, int failed, int ms) {
  std::string bucket = "ms_under_" + std::to_string(ms);
  ASSERT_TRUE(Exec(db,
                   "insert into hit_results_hourly (entry_id, hour_start, attempts, runs, "
                   "failed_runs, ok, redirect, client_error, server_error, no_status, "
                   "unreachable, timeout, too_large, tls, bad_host, error, bad_request, "
                   "bad_schedule, unexpected, no_token, duration_ms_sum, duration_ms_max, "
                   "ms_under_10, ms_under_25, ms_under_50, ms_under_100, ms_under_250, "
                   "ms_under_500, ms_under_1000, ms_under_2500, ms_under_5000, "
                   "ms_under_10000, ms_under_30000, ms_under_60000, ms_over_60000) "
                   "values (" +
                       std::to_string(entry) + ", '" + hour + "', " + std::to_string(runs) + ", " +
                       std::to_string(runs) + ", " + std::to_string(failed) + ", " +
                       std::to_string(runs - failed) + ", 0, 0, 0, 0, 0, " +
                       std::to_string(failed) + ", 0, 0, 0, 0, 0, 0, 0, 0, " +
                       std::to_string(runs * ms / 2) + ", " + std::to_string(ms - 1) +
                       ", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)"));
  ASSERT_TRUE(Exec(db, "update hit_results_hourly set " + bucket +
                           " = attempts where "
                           "entry_id = " +
                           std::to_string(entry) + " and hour_start = '" + hour + "'"));
}

class EntryPage : public testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::BrowserAvailable()) GTEST_SKIP() << "no headless chromium here";
    db_ = testsupport::MakeDbForCurrentTest("sqlite");
    testsupport::CreateShippedScheduleTable(db_);
    testsupport::CreateShippedResultsTable(db_);
  }
  void TearDown() override {
    if (daemon_ == nullptr) return;
    const auto& result = daemon_->Stop();
    EXPECT_EQ(result.status, 0) << result.out.substr(0, 2000);
  }
  void Start() {
    std::vector<std::string> args = db_.Args();
    for (const char* a : {"-i", "60", "-q", "-l", "hit_results"}) args.push_back(a);
    daemon_ = std::make_unique<servicetest::ServingDaemon>(args, "entry", 60000);
    port_ = daemon_->port();
    ASSERT_GE(servicetest::Series(daemon_->first_scrape(), "jantor_cycles_total"), 1);
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  TestDb db_;
  int port_ = 0;
  std::unique_ptr<servicetest::ServingDaemon> daemon_;
};

TEST_F(EntryPage, ABrowserSeesTheBarsTheChartsAndEveryAttemptPageByPage) {
  ASSERT_TRUE(Exec(db_,
                   "insert into schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, "
                   "i_timeout, i_interval, i_next, i_method, i_headers, i_body) values (7, "
                   "'alice', 'pa55word-SECRET', 80, " +
                       Quote(kPlantedPath) + ", " + Quote(kPlantedHost) + ", 30, 3600, '" +
                       LocalTimestamp(7200) +
                       "', 'POST', 'X-Token: tok-SECRET-1', 'body-SECRET-2')"));
  // 250 attempts a minute apart, the newest a minute ago, every tenth a
  // timeout with a planted reason; three share a second where the first
  // page ends, which only their keys put in order.
  std::string rows;
  for (int i = 0; i < 250; ++i) {
    int seconds = i >= 99 && i <= 101 ? 100 * 60 : (i + 1) * 60;
    bool failed = i % 10 == 0;
    rows += std::string(i == 0 ? "" : ", ") + "(7, NULL, '" + LocalTimestamp(-seconds) + "', " +
            std::to_string(100 + i) + (failed ? ", 'timeout', NULL" : ", 'ok', 200") + ", 10, " +
            (failed ? Quote(kPlantedReason) : std::string("NULL")) + ", 1)";
  }
  ASSERT_TRUE(Exec(db_,
                   "insert into hit_results (entry_id, due, started, duration_ms, outcome, "
                   "status, bytes, reason, attempt) values " +
                       rows));
  // Days of rollups three and ten days ago.
  AddHour(db_, 7, DaysAgo(3) + " 12:00:00", 24, 2, 250);
  AddHour(db_, 7, DaysAgo(10) + " 12:00:00", 10, 0, 100);
  Start();

  testsupport::BrowserOptions options;
  options.text = {"svg.bars > g > title", "svg.chart > title", "svg.chart rect > title",
                  "table.a tbody tr td:first-child", "table.k td"};
  options.click = "a[rel=next]";
  auto seen = testsupport::OpenInBrowser(Url("/entry/7"), options);
  ASSERT_TRUE(seen.ok) << seen.error;
  const auto& page = seen.page;
  for (auto& entry : page.console) ADD_FAILURE() << entry.level << ": " << entry.message;
  EXPECT_FALSE(page.pwned);
  EXPECT_EQ(page.scripts, 0);
  EXPECT_EQ(page.title, "jantor: entry 7 of schedule_2");

  // A bar for each day, today last, each titled with its counts.
  const auto& bars = page.text.at("svg.bars > g > title");
  ASSERT_EQ(bars.size(), 90u);
  EXPECT_EQ(bars[89].substr(0, 10), DaysAgo(0));
  EXPECT_EQ(bars[86], DaysAgo(3) + ": 22 of 24 runs good (91.66%), 24 attempts; failed: timeout 2");
  EXPECT_EQ(bars[79], DaysAgo(10) + ": 10 of 10 runs good (100%), 10 attempts");
  EXPECT_EQ(bars[50], DaysAgo(39) + ": no attempts");
  // Both charts, each column titled; a day's median within its bucket.
  EXPECT_EQ(page.text.at("svg.chart > title"),
            (std::vector<std::string>{"Median and longest attempt a day",
                                      "Median and longest attempt an hour"}));
  const auto& columns = page.text.at("svg.chart rect > title");
  ASSERT_EQ(columns.size(), 90u + 48u);
  EXPECT_EQ(columns[79], DaysAgo(10) + ": median 75 ms, longest 99 ms, 10 attempts");
  // The uptime among the facts: the last day's 250 runs, 25 of them failed.
  const auto& facts = page.text.at("table.k td");
  EXPECT_NE(std::find(facts.begin(), facts.end(), "24 h 90.00% · 7 d 90.14% · 30 d 90.49%"),
            facts.end());

  // The attempts, newest first, from the table in the order of their
  // starts and keys; the next page starts where this one ended.
  std::vector<std::string> order;
  for (auto& row : Query(db_,
                         "select started from hit_results where entry_id = 7 order by "
                         "started desc, id desc"))
    order.push_back(row[0].substr(0, 19));
  const auto& first = page.text.at("table.a tbody tr td:first-child");
  EXPECT_EQ(first, std::vector<std::string>(order.begin(), order.begin() + 100));
  ASSERT_TRUE(seen.clicked.has_value());
  EXPECT_NE(seen.clicked->url.find("/entry/7?after=n."), std::string::npos) << seen.clicked->url;
  EXPECT_FALSE(seen.clicked->pwned);
  testsupport::BrowserOptions back;
  back.text = {"table.a tbody tr td:first-child"};
  back.click = "a[rel=prev]";
  auto older = testsupport::OpenInBrowser(seen.clicked->url, back);
  ASSERT_TRUE(older.ok) << older.error;
  EXPECT_EQ(older.page.text.at("table.a tbody tr td:first-child"),
            std::vector<std::string>(order.begin() + 100, order.begin() + 200));
  ASSERT_TRUE(older.clicked.has_value());
  EXPECT_NE(older.clicked->html.find(order[0]), std::string::npos) << "newer leads back";
  EXPECT_EQ(older.clicked->html.find(order[150]), std::string::npos);

  // The planted texts are there, as text.
  EXPECT_NE(page.html.find("&lt;script&gt;window.__jantor_pwned=1&lt;/script&gt;"),
            std::string::npos);
  EXPECT_NE(page.html.find("&lt;img src=x onerror="), std::string::npos);

  // The JSON holds the same, and no more (see EntryHistory for its figures).
  std::string json = Ask(port_, "GET /entry/7.json HTTP/1.0\r\n\r\n");
  ASSERT_EQ(json.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << json.substr(0, 300);
  std::string texts = page.html + seen.clicked->html + older.clicked->html + json;

  // The list links the key to the page and shows the uptime.
  std::string list = Ask(port_, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_NE(list.find("<a href=\"/entry/7\">7</a>"), std::string::npos);
  EXPECT_NE(list.find("<td class=\"u\">90.00%</td>"), std::string::npos);
  std::string badge = Ask(port_, "GET /badge/7.svg?uptime=30d HTTP/1.0\r\n\r\n");
  EXPECT_NE(badge.find("jantor 7 uptime 30d: 90.49%"), std::string::npos) << badge;
  texts += list + badge + Ask(port_, "GET /entries.json HTTP/1.0\r\n\r\n");
  for (const char* secret : kSecrets) EXPECT_EQ(texts.find(secret), std::string::npos) << secret;

  const std::pair<std::string, std::string> cases[] = {
      {"/entry/8", "404"},
      {"/entry/8.json", "404"},
      {"/entry/abc", "400"},
      {"/entry/7x", "400"},
      {"/entry/", "400"},
      {"/entry/-7", "400"},
      {"/entry/7.svg", "400"},
      {"/entry/7?after=f.3.9", "400"},
      {"/entry/7?after=n.1.1", "400"},
      {"/badge/7.svg?uptime=1y", "400"},
      {"/entry/7.json?before=n.20270601120000.3", "200"},
  };
  for (auto& [target, status] : cases)
    EXPECT_EQ(Ask(port_, "GET " + target + " HTTP/1.0\r\n\r\n").substr(0, 12), "HTTP/1.1 " + status)
        << target;
}

// An entry a year's daemon has watched, for the screenshot in doc/: 90
// days of rollups, a slower week and a bad day among them, the last 48
// hours an hour at a time, and its latest attempts. doc/entry-page.png is
// a copy of what this test leaves in the test folder.
TEST_F(EntryPage, AYearsEntryDrawsItsDaysAndHours) {
  ASSERT_TRUE(Exec(db_,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                   "i_interval, i_next, i_method, i_retries, i_outcome, i_status, "
                   "i_duration_ms, i_last, i_failures) values (42, 443, '/v1/invoices/run', "
                   "'https://billing.example.com', 30, 60, '" +
                       LocalTimestamp(40) + "', 'POST', 2, 'ok', 200, 180, '" +
                       LocalTimestamp(-20) + "', 0)"));
  for (int day = 89; day >= 2; --day) {
    int failed = day == 20 ? 96 : day % 17 == 0 ? 3 : day % 5 == 0 ? 1 : 0;
    AddHour(db_, 42, DaysAgo(day) + " 12:00:00", 1440, failed,
            day >= 40 && day <= 46 ? 1000
            : day < 30             ? 500
                                   : 250);
  }
  for (int hour = 47; hour >= 1; --hour) {
    char text[20];
    time_t at = time(nullptr) - 3600L * hour;
    strftime(text, sizeof text, "%Y-%m-%d %H:00:00", localtime(&at));
    AddHour(db_, 42, text, 60, hour == 30 ? 4 : 0, hour >= 20 && hour <= 24 ? 500 : 250);
  }
  std::string rows;
  for (int i = 0; i < 12; ++i)
    rows += std::string(i == 0 ? "" : ", ") + "(42, NULL, '" + LocalTimestamp(-60 * i - 20) +
            "', " + std::to_string(150 + (i * 37) % 90) +
            (i == 5 ? ", 'server-error', 503, 10, NULL, 1)" : ", 'ok', 200, 10, NULL, 1)");
  ASSERT_TRUE(Exec(db_,
                   "insert into hit_results (entry_id, due, started, duration_ms, outcome, "
                   "status, bytes, reason, attempt) values " +
                       rows));
  Start();
  testsupport::BrowserOptions options;
  options.text = {"svg.bars > g > title", "svg.chart polyline"};
  options.width = 1000;
  options.height = 700;
  options.screenshot = std::string(JANTOR_TEST_WORK) + "/entry-page.png";
  auto seen = testsupport::OpenInBrowser(Url("/entry/42"), options);
  ASSERT_TRUE(seen.ok) << seen.error;
  for (auto& entry : seen.page.console) ADD_FAILURE() << entry.level << ": " << entry.message;
  const auto& bars = seen.page.text.at("svg.bars > g > title");
  ASSERT_EQ(bars.size(), 90u);
  EXPECT_EQ(bars[69], DaysAgo(20) +
                          ": 1,344 of 1,440 runs good (93.33%), 1,440 attempts; "
                          "failed: timeout 96");
  // A line of medians and one of the longest, unbroken, in each chart.
  EXPECT_EQ(seen.page.text.at("svg.chart polyline").size(), 4u);
}

// On each database, what the JSON of an entry's page and of the list say
// of its history: the uptime over the rollups and the rows of the hours
// not yet filled (a retry among them), its days and hours, and its
// attempts, walked by the older links and back by the newer ones, however
// many share a second.
class EntryHistory : public testing::TestWithParam<std::string> {};

TEST_P(EntryHistory, TheJsonCountsEachRunOnceAndPagesEveryAttempt) {
  TestDb db = testsupport::MakeDbForCurrentTest(GetParam());
  testsupport::CreateShippedScheduleTable(db);
  testsupport::CreateShippedResultsTable(db);
  // The retry below and its first attempt in the hour under way.
  if (time(nullptr) % 3600 < 60) sleep(60);
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                   "i_interval, i_next) values (7, 80, '/p', 'h.test', 30, 60, '" +
                       LocalTimestamp(7200) + "')"));
  // 150 runs a minute apart over the hours before, every tenth a timeout,
  // three sharing a second; then a run failed at first and good at its
  // retry, seconds ago.
  std::string rows;
  for (int i = 0; i < 150; ++i) {
    int seconds = i >= 49 && i <= 51 ? 50 * 60 : (i + 1) * 60;
    rows += std::string(i == 0 ? "" : ", ") + "(7, NULL, '" + LocalTimestamp(-seconds - 60) +
            "', " + std::to_string(100 + i) + (i % 10 == 0 ? ", 'timeout', NULL" : ", 'ok', 200") +
            ", 10, NULL, 1)";
  }
  rows += ", (7, NULL, '" + LocalTimestamp(-50) + "', 30, 'server-error', 503, 10, NULL, 1)";
  rows += ", (7, NULL, '" + LocalTimestamp(-40) + "', 40, 'ok', 200, 10, NULL, 2)";
  ASSERT_TRUE(Exec(db,
                   "insert into hit_results (entry_id, due, started, duration_ms, outcome, "
                   "status, bytes, reason, attempt) values " +
                       rows));
  AddHour(db, 7, DaysAgo(3) + " 12:00:00", 24, 2, 250);
  AddHour(db, 7, DaysAgo(10) + " 12:00:00", 10, 0, 100);
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "60", "-l", "hit_results"});
  servicetest::ServingDaemon jantor(args, "history");

  auto get = [&](const std::string& path) {
    std::string answer = Ask(jantor.port(), "GET " + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << path << ": " << answer.substr(0, 300);
    return nlohmann::json::parse(Body(answer), nullptr, false);
  };
  // 151 runs of the last hours, 15 failed; 24 and 10 more, 2 failed.
  auto list = get("/entries.json");
  ASSERT_EQ(list["entries"].size(), 1u);
  auto entry = get("/entry/7.json");
  for (auto& e : {list["entries"][0], entry["entry"]}) {
    EXPECT_NEAR(e["uptime_24h"].get<double>(), 136.0 / 151, 1e-9) << e;
    EXPECT_NEAR(e["uptime_7d"].get<double>(), 158.0 / 175, 1e-9) << e;
    EXPECT_NEAR(e["uptime_30d"].get<double>(), 168.0 / 185, 1e-9) << e;
  }
  ASSERT_EQ(entry["days"].size(), 90u);
  EXPECT_EQ(entry["days"][86]["runs"], 24);
  EXPECT_EQ(entry["days"][86]["failed_runs"], 2);
  EXPECT_EQ(entry["days"][79]["median_ms"], 75);
  long long runs = 0, attempts = 0;
  for (auto& hour : entry["hours"]) {
    runs += hour["runs"].get<long long>();
    attempts += hour["attempts"].get<long long>();
  }
  EXPECT_EQ(runs, 151);
  EXPECT_EQ(attempts, 152);

  std::vector<std::string> order, walked, back;
  for (auto& row : Query(db,
                         "select started from hit_results where entry_id = 7 order by "
                         "started desc, id desc"))
    order.push_back(row[0].substr(0, 19));
  std::string path = "/entry/7.json", last;
  for (int pages = 0; pages < 5 && !path.empty(); ++pages) {
    auto page = get(path);
    for (auto& a : page["attempts"]) walked.push_back(a["started"].get<std::string>());
    last = path;
    path = page["older"].is_string() ? page["older"].get<std::string>() : "";
  }
  EXPECT_EQ(walked, order);
  for (path = last; !path.empty() && back.size() < order.size() * 2;) {
    auto page = get(path);
    std::vector<std::string> starts;
    for (auto& a : page["attempts"]) starts.push_back(a["started"].get<std::string>());
    back.insert(back.begin(), starts.begin(), starts.end());
    path = page["newer"].is_string() ? page["newer"].get<std::string>() : "";
  }
  EXPECT_EQ(back, order);
  const auto& r = jantor.Stop();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Databases, EntryHistory, testing::Values("sqlite", "postgres", "mariadb"));

}  // namespace
