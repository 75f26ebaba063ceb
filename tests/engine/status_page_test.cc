// The status page of -m, as a user sees it in a real browser: the failing
// entries first, the strip of latest attempts with its titles, paging by key,
// nothing from the table running or leaking (credentials, header lines,
// bodies, query strings), the JSON and the badges, and the answers to
// requests that are not pages.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "engine/hostile_support.h"
#include "engine/service_support.h"
#include "support/browser.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using servicetest::Ask;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

// Texts the page must never show: a password, a header value, a body and a
// query string's token.
const char* const kSecrets[] = {"pa55word-SECRET", "tok-SECRET-1", "body-SECRET-2", "abc-SECRET-3"};
// What a planted text would set if it ran.
const char kPlantedHost[] = "127.0.0.9\"><img src=x onerror=\"window.__jantor_pwned=1\">";
const char kPlantedPath[] = "/<script>window.__jantor_pwned=1</script>&\"'?x=1";

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

class StatusPage : public testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::BrowserAvailable()) GTEST_SKIP() << "no headless chromium here";
    db_ = testsupport::MakeDbForCurrentTest("sqlite");
    testsupport::CreateShippedScheduleTable(db_);
  }
  void TearDown() override {
    if (daemon_ == nullptr) return;
    const auto& result = daemon_->Stop();
    EXPECT_EQ(result.status, 0) << result.out.substr(0, 2000);
  }
  void Add(int id, int port, const std::string& host, const std::string& object,
           const std::string& next, const std::string& more_columns = "",
           const std::string& more_values = "") {
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next" +
                         more_columns + ") values (" + std::to_string(id) + ", " +
                         std::to_string(port) + ", " + Quote(object) + ", " + Quote(host) +
                         ", 30, 3600, '" + next + "'" + more_values + ")"));
  }
  // Runs jantor with -m until its first cycle has ended.
  void Start() {
    std::vector<std::string> args = db_.Args();
    for (const char* a : {"-i", "60", "-q"}) args.push_back(a);
    daemon_ = std::make_unique<servicetest::ServingDaemon>(args, "status", 60000);
    port_ = daemon_->port();
    ASSERT_GE(servicetest::Series(daemon_->first_scrape(), "jantor_cycles_total"), 1);
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The page order as the table says it: failing entries by failures down
  // and key down, then the others by next run and key.
  std::vector<std::string> Order() {
    std::vector<std::string> ids;
    for (auto& r : Query(db_,
                         "select id from schedule_2 where i_failures > 0 "
                         "order by i_failures desc, id desc"))
      ids.push_back(r[0]);
    for (auto& r : Query(db_,
                         "select id from schedule_2 where (i_failures is null or "
                         "i_failures <= 0) and i_next is not null order by i_next, id"))
      ids.push_back(r[0]);
    return ids;
  }

  TestDb db_;
  int port_ = 0;
  std::unique_ptr<servicetest::ServingDaemon> daemon_;
};

TEST_F(StatusPage, ABrowserSeesTheFailingFirstTheStripsAndNothingFromTheTableRuns) {
  testsupport::LoopbackPeer ok(
      [](int fd) {
        testsupport::ReadUntil(fd, "\r\n\r\n");
        testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nfine");
      },
      8);
  testsupport::LoopbackPeer busy(
      [](int fd) {
        testsupport::ReadUntil(fd, "\r\n\r\n");
        testsupport::SendAll(fd, "HTTP/1.0 503 Busy\r\n\r\n");
      },
      8);
  const std::string due = LocalTimestamp(-100), later = LocalTimestamp(7200);
  Add(1, ok.port(), "127.0.0.1", "/ok", due);
  Add(2, testsupport::UnusedPort(), "127.0.0.1", "/refused", due, ", i_failures", ", 5");
  Add(3, testsupport::UnusedPort(), "127.0.0.1", "/refused-too", due, ", i_failures", ", 2");
  Add(4, ok.port(), "127.0.0.1", "/never", later);
  Add(5, ok.port(), "https://example.test", "/daily", later, ", i_cron, i_zone",
      ", '0 9 * * mon-fri', 'Europe/Berlin'");
  Add(6, busy.port(), "127.0.0.1", "/retrying", due, ", i_retries, i_retry_delay", ", 3, 600");
  Add(7, ok.port(), kPlantedHost, kPlantedPath, later);
  Add(8, ok.port(), "127.0.0.1", "/hook?token=abc-SECRET-3", due,
      ", i_user, i_pass, i_method, i_headers, i_body",
      ", 'alice', 'pa55word-SECRET', 'POST', 'X-Token: tok-SECRET-1', 'body-SECRET-2'");
  for (int id = 100; id < 260; ++id) Add(id, ok.port(), "127.0.0.1", "/many", later);
  Start();

  testsupport::BrowserOptions options;
  options.text = {"tbody tr td:first-child"};
  options.attr = {{"td.s span", "title"}};
  options.click = "a[rel=next]";
  options.screenshot = std::string(JANTOR_TEST_WORK) + "/status-page.png";
  auto seen = testsupport::OpenInBrowser(Url("/"), options);
  ASSERT_TRUE(seen.ok) << seen.error;
  const auto& page = seen.page;
  for (auto& entry : page.console) ADD_FAILURE() << entry.level << ": " << entry.message;
  EXPECT_FALSE(page.pwned);
  EXPECT_EQ(page.scripts, 0);
  EXPECT_EQ(page.title, "jantor: schedule_2");

  // The failing entries first, most failed runs first; then by next run.
  std::vector<std::string> order = Order();
  ASSERT_EQ(order.size(), 168u);  // so that the second page is the last one
  const auto& keys = page.text.at("tbody tr td:first-child");
  ASSERT_EQ(keys.size(), 100u);
  EXPECT_EQ(keys[0], "2");  // 6 failed runs now
  EXPECT_EQ(keys[1], "3");
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.end()),
            std::vector<std::string>(order.begin(), order.begin() + 100));
  // Every cell of the strips tells what it was.
  const auto& titles = page.attr.at({"td.s span", "title"});
  EXPECT_GE(titles.size(), 5u);
  for (auto& title : titles) EXPECT_TRUE(title && !title->empty());
  EXPECT_NE(page.html.find("unreachable"), std::string::npos);
  EXPECT_NE(page.html.find("retry 1 of 3 at "), std::string::npos);
  EXPECT_NE(page.html.find("0 9 * * mon-fri, Europe/Berlin"), std::string::npos);
  // The planted texts are there, as text.
  EXPECT_NE(std::find(keys.begin(), keys.end(), "7"), keys.end());
  EXPECT_NE(page.html.find("&lt;script&gt;window.__jantor_pwned=1&lt;/script&gt;"),
            std::string::npos);

  // The next page starts where this one ended, read by key.
  ASSERT_TRUE(seen.clicked.has_value());
  EXPECT_NE(seen.clicked->url.find("after="), std::string::npos);
  EXPECT_EQ(seen.clicked->console.size(), 0u);
  EXPECT_FALSE(seen.clicked->pwned);
  testsupport::BrowserOptions back;
  back.text = {"tbody tr td:first-child"};
  back.click = "a[rel=prev]";
  auto next = testsupport::OpenInBrowser(seen.clicked->url, back);
  ASSERT_TRUE(next.ok) << next.error;
  const auto& next_keys = next.page.text.at("tbody tr td:first-child");
  EXPECT_EQ(std::vector<std::string>(next_keys.begin(), next_keys.end()),
            std::vector<std::string>(order.begin() + 100, order.end()));
  ASSERT_TRUE(next.clicked.has_value());
  EXPECT_NE(next.clicked->html.find(">2</td>"), std::string::npos) << "previous leads back";

  // The JSON of the same rows, and a badge for each: well-formed, and none
  // of them holds a secret.
  std::string json = Ask(port_, "GET /entries.json HTTP/1.0\r\n\r\n");
  ASSERT_EQ(json.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << json.substr(0, 200);
  auto document = nlohmann::json::parse(json.substr(json.find("\r\n\r\n") + 4));
  ASSERT_EQ(document["entries"].size(), 100u);
  EXPECT_EQ(document["entries"][0]["id"], 2);
  EXPECT_EQ(document["entries"][0]["failures"], 6);
  EXPECT_TRUE(document["next"].is_string());
  std::string texts = page.html + seen.clicked->html + json;
  for (int id : {1, 2, 6, 7, 8}) {
    std::string badge = Ask(port_, "GET /badge/" + std::to_string(id) + ".svg HTTP/1.0\r\n\r\n");
    ASSERT_EQ(badge.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << badge.substr(0, 200);
    std::string file =
        std::string(JANTOR_TEST_WORK) + "/badge-" + std::to_string(getpid()) + ".svg";
    {
      FILE* out = fopen(file.c_str(), "w");
      ASSERT_NE(out, nullptr);
      std::string body = badge.substr(badge.find("\r\n\r\n") + 4);
      fwrite(body.data(), 1, body.size(), out);
      fclose(out);
    }
    EXPECT_EQ(testsupport::Shell("xmllint --noout '" + file + "' 2>/dev/null"), 0) << badge;
    texts += badge;
  }
  for (const char* secret : kSecrets) EXPECT_EQ(texts.find(secret), std::string::npos) << secret;
  EXPECT_EQ(texts.find("alice"), std::string::npos);
}

// Entries with long histories, as a daemon leaves them: a strip holds the
// latest 60 attempts, each with its title, the newest with its facts. The
// screenshot is the README's (doc/status-page.png is a copy of it).
TEST_F(StatusPage, AStripShowsTheLatestSixtyAttempts) {
  const std::string later = LocalTimestamp(1800);
  const std::string history = std::string(40, 'k') + "ssk" + std::string(12, 'k') + "tuuuu";
  struct Kept {
    int id;
    const char* host;
    const char* object;
    std::string recent;
    int failures;
    const char* outcome;
    const char* status;
  };
  const Kept kept[] = {
      {1, "https://billing.example.com", "/v1/invoices/run", history, 4, "unreachable", "NULL"},
      {2, "reports.internal", "/daily", std::string(58, 'k') + "cc", 2, "client-error", "404"},
      {3, "hooks.example.org", "/tick", std::string(60, 'k'), 0, "ok", "200"},
      {4, "app.internal", "/health", std::string(30, 'k') + "r", 0, "redirect", "302"},
      {5, "cache.internal", "/warm", "kkkkkkkkks" + std::string(20, 'k'), 0, "ok", "204"},
  };
  for (const Kept& k : kept)
    Add(k.id, 80, k.host, k.object, later,
        ", i_recent, i_failures, i_outcome, i_status, i_duration_ms, i_last",
        ", '" + k.recent + "', " + std::to_string(k.failures) + ", '" + k.outcome + "', " +
            k.status + ", 87, '" + LocalTimestamp(-60) + "'");
  Add(6, 80, "new.internal", "/first", later, ", i_cron", ", '*/15 8-18 * * mon-fri'");
  Start();
  testsupport::BrowserOptions options;
  options.attr = {{"tr:first-child td.s span", "title"}};
  options.text = {"tbody tr td:first-child"};
  options.width = 1200;
  options.height = 420;
  options.screenshot = std::string(JANTOR_TEST_WORK) + "/status-page-readme.png";
  auto seen = testsupport::OpenInBrowser(Url("/"), options);
  ASSERT_TRUE(seen.ok) << seen.error;
  for (auto& entry : seen.page.console) ADD_FAILURE() << entry.level << ": " << entry.message;
  const auto& keys = seen.page.text.at("tbody tr td:first-child");
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.end()),
            (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  const auto& titles = seen.page.attr.at({"tr:first-child td.s span", "title"});
  ASSERT_EQ(titles.size(), 60u);
  EXPECT_EQ(*titles[0], "ok, 59 attempts before the latest");
  EXPECT_EQ(*titles[40], "server-error, 19 attempts before the latest");
  // The newest: when it began, then what it came to.
  EXPECT_TRUE(titles[59]->ends_with(": unreachable, 87 ms")) << *titles[59];
  EXPECT_EQ(titles[59]->substr(0, 10), LocalTimestamp(-60).substr(0, 10));
}

TEST_F(StatusPage, RequestsThatAreNoPageGetTheirStatus) {
  Add(1, testsupport::UnusedPort(), "127.0.0.1", "/x", LocalTimestamp(3600));
  Start();
  const std::pair<std::string, std::string> cases[] = {
      {"GET /nothing HTTP/1.0\r\n\r\n", "404"},
      {"GET /badge/1.svg HTTP/1.0\r\n\r\n", "200"},
      {"GET /badge/2.svg HTTP/1.0\r\n\r\n", "404"},
      {"GET /badge/x.svg HTTP/1.0\r\n\r\n", "404"},
      {"GET /badge/1.png HTTP/1.0\r\n\r\n", "404"},
      {"GET /?after=bad HTTP/1.0\r\n\r\n", "400"},
      {"GET /?after=n.20261208100000.1&before=n.20261208100000.1 HTTP/1.0\r\n\r\n", "400"},
      {"GET /?q=%zz HTTP/1.0\r\n\r\n", "400"},
      {"GET /?q=" + std::string(101, 'a') + " HTTP/1.0\r\n\r\n", "400"},
      {"GET /?failing=yes HTTP/1.0\r\n\r\n", "400"},
      {"GET /?failing=1&utm_source=x HTTP/1.0\r\n\r\n", "200"},
      {"GET /?q=%25_! HTTP/1.0\r\n\r\n", "200"},
      {"POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "405"},
      {"GET /entries.json?before=f.3.9 HTTP/1.0\r\n\r\n", "200"},
      {"GET /" + std::string(1100, 'a') + " HTTP/1.0\r\n\r\n", "400"},
  };
  for (auto& [request, status] : cases) {
    std::string answer = Ask(port_, request);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + status) << request.substr(0, 80);
  }
  // A search is of hosts and paths, never of query strings.
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_object = '/path?token=findme' where id = 1"));
  std::string found = Ask(port_, "GET /entries.json?q=findme HTTP/1.0\r\n\r\n");
  EXPECT_NE(found.find("\"entries\":[]"), std::string::npos) << found;
  found = Ask(port_, "GET /entries.json?q=pat HTTP/1.0\r\n\r\n");
  EXPECT_NE(found.find("\"id\":1"), std::string::npos) << found;
}

// Values that a table can hold but no operator means are shown as they
// are: the least integer as an interval, and a NaN as the start of the
// daily window (as stored), next to a window of every day's kind. Negating
// the one or making an integer of the other is undefined, which a
// sanitizer build aborts on.
TEST_F(StatusPage, OddValuesAreShownAsTheyAre) {
  const std::string later = LocalTimestamp(7200);
  Add(1, 80, "h.test", "/least", later);
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_interval = -9223372036854775808 where id = 1"));
  Add(2, 80, "h.test", "/nan", later, ", i_start, i_stop", ", 'nan', 0.75");
  Add(3, 80, "h.test", "/window", later, ", i_start, i_stop", ", 0.25, 0.75");
  Start();
  std::string answer = Ask(port_, "GET /entries.json HTTP/1.0\r\n\r\n");
  ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 300);
  auto document = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
  std::map<long long, std::string> schedules;
  for (auto& entry : document["entries"])
    schedules[entry["id"].get<long long>()] = entry["schedule"].get<std::string>();
  EXPECT_EQ(schedules, (std::map<long long, std::string>{{1, "every -9,223,372,036,854,775,808 s"},
                                                         {2, "every 3,600 s, nan–18:00"},
                                                         {3, "every 3,600 s, 06:00–18:00"}}));
}

// The data source file of this process's tests.
std::string OdbcIni() { return getenv("ODBCINI") != nullptr ? getenv("ODBCINI") : ""; }

// On a DBMS that jantor does not know, whose driver gives it no way to cut
// a path at its '?' (SQLite's, reporting another name), a search still
// finds hosts and paths, and never a text that only a query string holds:
// else a series of searches would spell out its token.
TEST(StatusSearch, NeverLooksPastAPathsQuestionMarkOnAnUnknownDbms) {
#ifndef JANTOR_RENAMED_DBMS_DRIVER
  GTEST_SKIP() << "no SQLite ODBC driver to rename";
#else
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateShippedScheduleTable(db);
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next) values (1, 9, '/path?token=findme', 'h.test', 30, 3600, '" +
                       LocalTimestamp(3600) + "'), (2, 9, '/other', 'findme.test', 30, 3600, '" +
                       LocalTimestamp(3600) + "')"));
  TestDb renamed = db;
  renamed.dsn = "u" + db.dsn.substr(1);  // as long: a data source's name has 32 bytes at most
  {
    std::ofstream ini(OdbcIni(), std::ios::app);
    ini << "[" << renamed.dsn << "]\nDriver=" << JANTOR_RENAMED_DBMS_DRIVER
        << "\nDatabase=" << db.path << "\nTimeout=5000\n";
  }
  std::vector<std::string> args = renamed.Args();
  args.insert(args.end(), {"-i", "60"});
  servicetest::ServingDaemon jantor(args, "renamed");
  if (jantor.first_scrape().empty()) {
    const auto& r = jantor.Stop();
    FAIL() << r.out << r.err;
  }
  const std::pair<std::string, std::vector<long long>> cases[] = {
      {"findme", {2}}, {"token%3Df", {}}, {"h%3Ftoken", {}}, {"/path", {1}}, {"h.te", {1}}};
  for (const auto& [search, expected] : cases) {
    std::string answer = Ask(jantor.port(), "GET /entries.json?q=" + search + " HTTP/1.0\r\n\r\n");
    ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u)
        << search << ": " << answer.substr(0, 300);
    auto document = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
    std::vector<long long> found;
    for (auto& entry : document["entries"]) found.push_back(entry["id"].get<long long>());
    EXPECT_EQ(found, expected) << search;
  }
  const auto& r = jantor.Stop();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
#endif
}

// A write lock on an SQLite file, taken through a connection of the test's
// own (as another program's long write takes it) until Release: meanwhile
// every read of the page waits.
struct HeldSqliteLock {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool held = false;

  explicit HeldSqliteLock(const TestDb& db) {
    SQLAllocEnv(&env);
    SQLAllocConnect(env, &dbc);
    auto* dsn = reinterpret_cast<SQLCHAR*>(const_cast<char*>(db.dsn.c_str()));
    held = SQL_SUCCEEDED(SQLConnect(dbc, dsn, SQL_NTS, nullptr, 0, nullptr, 0)) &&
           Run("begin exclusive");
  }
  ~HeldSqliteLock() {
    Release();
    SQLFreeConnect(dbc);
    SQLFreeEnv(env);
  }
  bool Run(const char* sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocStmt(dbc, &stmt);
    bool ok = SQL_SUCCEEDED(
        SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS));
    SQLFreeStmt(stmt, SQL_DROP);
    return ok;
  }
  void Release() {
    if (!held) return;
    Run("rollback");
    SQLDisconnect(dbc);
    held = false;
  }
};

// While the database keeps the page waiting, more page requests than the
// endpoint serves at once neither keep a scrape waiting nor hold its
// connection; and a request whose client left before the page thread came
// to it is never run against the database. The driver writes every
// statement that the daemon runs, with its values, to a log, where each
// request's search text shows whether it was run.
TEST(StatusPageLoad, AScrapeGoesAheadOfWaitingPagesAndAGoneClientCostsNoRead) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateShippedScheduleTable(db);
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next) values (1, 9, '/p', 'h.test', 30, 3600, '" +
                       LocalTimestamp(3600) + "')"));
  const std::string log =
      std::string(JANTOR_TEST_WORK) + "/statements-" + std::to_string(getpid()) + ".log";
  unlink(log.c_str());
  std::string ini = OdbcIni();
  ASSERT_EQ(testsupport::Shell(std::string(JANTOR_SOURCE_DIR) + "/scripts/odbc-dsn.sh '" +
                               ini.substr(0, ini.rfind('/')) + "' '" + db.dsn + "' sqlite '" +
                               db.path + "' Timeout=5000 'Tracefile=" + log + "'"),
            0);
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "60"});
  servicetest::ServingDaemon jantor(args, "load");
  const int port = jantor.port();

  HeldSqliteLock lock(db);
  ASSERT_TRUE(lock.held);
  auto request = [&](const std::string& search) {
    int fd = servicetest::Connect(port);
    EXPECT_GE(fd, 0);
    testsupport::SendAll(fd, "GET /entries.json?q=" + search + " HTTP/1.0\r\n\r\n");
    return fd;
  };
  // The first is read at once and waits for the lock; the gone one and the
  // rest wait for the page thread. Those that find its queue full are
  // refused at once, and read and closed as a browser would, until no
  // answer has come for half a second.
  std::vector<std::pair<std::string, int>> pages;
  pages.push_back({"kept-00", request("kept-00")});
  close(request("gone-client"));
  for (int i = 1; i <= 20; ++i) {
    std::string search = (i < 10 ? "kept-0" : "kept-") + std::to_string(i);
    pages.push_back({search, request(search)});
  }
  for (int round = 0; round < 25; ++round) {
    std::vector<pollfd> open;
    for (auto& page : pages)
      if (page.second >= 0) open.push_back({page.second, POLLIN, 0});
    if (poll(open.data(), open.size(), 500) <= 0) break;
    for (const pollfd& answered : open) {
      if (answered.revents == 0) continue;
      EXPECT_EQ(testsupport::ReadToClose(answered.fd, 1000).substr(0, 12), "HTTP/1.1 503");
      close(answered.fd);
      for (auto& page : pages)
        if (page.second == answered.fd) page.second = -1;
    }
  }
  auto start = std::chrono::steady_clock::now();
  std::string scrape = servicetest::Ask(port, "GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_EQ(scrape.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  lock.Release();

  std::vector<std::string> run;
  for (auto& [search, fd] : pages) {
    if (fd < 0) continue;
    std::string answer = testsupport::ReadToClose(fd, 10000);
    close(fd);
    if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0) {
      run.push_back(search);
    } else {
      EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 503") << search;
    }
  }
  // Those before and after the gone one were read; it was not.
  ASSERT_GE(run.size(), 2u);
  EXPECT_EQ(run[0], "kept-00");
  EXPECT_EQ(run[1], "kept-01");
  std::string statements = testsupport::ReadFile(log);
  for (const std::string& search : run)
    EXPECT_NE(statements.find("%" + search + "%"), std::string::npos) << search;
  EXPECT_EQ(statements.find("gone-client"), std::string::npos);
  const auto& r = jantor.Stop();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// On each database: the JSON's next links walk every entry once, in the
// page's order, ties of next run by key, and its previous links walk back;
// a search and the failing entries alone page the same way.
class StatusPaging : public testing::TestWithParam<std::string> {};

TEST_P(StatusPaging, NextAndPreviousLinksWalkEveryEntryOnceEachWay) {
  TestDb db = testsupport::MakeDbForCurrentTest(GetParam());
  testsupport::CreateShippedScheduleTable(db);
  // 250 entries, many sharing a next run, 30 failing in five kinds of count.
  std::string sql =
      "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
      "i_failures) values ";
  for (int id = 1; id <= 250; ++id) {
    sql += (id == 1 ? "(" : ", (") + std::to_string(id) + ", 9, '/p" + std::to_string(id % 7) +
           "', 'host" + std::to_string(id % 3) + ".test', 30, 3600, '" +
           LocalTimestamp(3600 + (id % 4) * 60) + "', " +
           (id % 9 == 0 ? std::to_string(id % 5 + 1) : std::string("0")) + ")";
  }
  ASSERT_TRUE(Exec(db, sql));
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "60"});
  servicetest::ServingDaemon jantor(args, "paging");
  const int port = jantor.port();

  auto walk = [&](const std::string& first, const char* link, std::vector<long long>* ids) {
    std::string path = first;
    for (int pages = 0; pages < 10 && !path.empty(); ++pages) {
      std::string answer = Ask(port, "GET " + path + " HTTP/1.0\r\n\r\n");
      if (answer.rfind("HTTP/1.1 200", 0) != 0) {
        ADD_FAILURE() << path << ": " << answer.substr(0, 300);
        return std::string();
      }
      auto document = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
      std::vector<long long> page;
      for (auto& entry : document["entries"]) page.push_back(entry["id"].get<long long>());
      ids->insert(ids->end(), page.begin(), page.end());
      std::string last = path;
      path = document[link].is_string() ? document[link].get<std::string>() : "";
      if (path.empty()) return last;
    }
    return std::string();
  };
  struct Case {
    std::string query, where;
  };
  const Case cases[] = {
      {"", "1 = 1"},
      {"failing=1", "i_failures > 0"},
      {"q=host1", "i_host like '%host1%'"},
      {"q=p3", "i_object like '%p3%'"},
  };
  for (const Case& c : cases) {
    std::vector<long long> expected;
    for (auto& row : Query(db, "select id from schedule_2 where i_failures > 0 and " + c.where +
                                   " order by i_failures desc, id desc"))
      expected.push_back(std::stoll(row[0]));
    if (c.query != "failing=1")
      for (auto& row : Query(db, "select id from schedule_2 where i_failures <= 0 and " + c.where +
                                     " order by i_next, id"))
        expected.push_back(std::stoll(row[0]));
    std::vector<long long> forward, backward;
    std::string last =
        walk("/entries.json" + (c.query.empty() ? "" : "?" + c.query), "next", &forward);
    EXPECT_EQ(forward, expected) << c.query;
    // From the last page back: the pages before it, in reverse page order.
    walk(last, "previous", &backward);
    std::sort(backward.begin(), backward.end());
    std::vector<long long> all = expected;
    std::sort(all.begin(), all.end());
    EXPECT_EQ(backward, all) << c.query << ": the previous links reach every entry";
  }
  const auto& r = jantor.Stop();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A text that few entries hold: each page looks through at most 10 000
// entries and says so, and its "search on" link goes on from the last one
// it looked through, until every match has been found, each once.
TEST(StatusSearch, ARareTextIsFoundWindowByWindow) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateShippedScheduleTable(db);
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_failures) with recursive k(i) as (select 1 union all select i + 1 "
                   "from k where i < 25000) select i, 9, case when i in (7, 12001, 24000) then "
                   "'/rare-path' else '/p' end, 'h.test', 30, 3600, '" +
                       LocalTimestamp(3600) + "', case when i = 15000 then 2 else 0 end from k"));
  ASSERT_TRUE(Exec(db, "update schedule_2 set i_object = '/rare-path?t=1' where id = 15000"));
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "60"});
  servicetest::ServingDaemon jantor(args, "search");
  const int port = jantor.port();

  std::vector<long long> found, looked;
  std::string path = "/entries.json?q=rare-path";
  for (int pages = 0; pages < 8 && !path.empty(); ++pages) {
    std::string answer = Ask(port, "GET " + path + " HTTP/1.0\r\n\r\n");
    ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer.substr(0, 300);
    auto document = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
    for (auto& entry : document["entries"]) found.push_back(entry["id"].get<long long>());
    looked.push_back(document["looked_through"].get<long long>());
    path = document["next"].is_string() ? document["next"].get<std::string>() : "";
  }
  // The failing entry first, then the others by next run (all alike) and key.
  EXPECT_EQ(found, (std::vector<long long>{15000, 7, 12001, 24000}));
  EXPECT_EQ(looked, (std::vector<long long>{10000, 10000, 5000}));
  std::string page = Ask(port, "GET /?q=rare-path HTTP/1.0\r\n\r\n");
  EXPECT_NE(page.find(">search on</a>"), std::string::npos);
  EXPECT_NE(page.find("of 10,000 looked through"), std::string::npos);
  const auto& r = jantor.Stop();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Databases, StatusPaging, testing::Values("sqlite", "postgres", "mariadb"));

}  // namespace
