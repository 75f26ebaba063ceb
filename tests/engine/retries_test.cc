// A failed run tried again (i_retries, i_retry_delay), on each database: the
// waits between attempts, Retry-After, the methods a server may have acted
// on, the Idempotency-Key of each run, the runs that end failed counted in
// i_failures, and a pending retry that outlives a killed daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/hostile_support.h"
#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using hostile::ParseLocal;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

std::string Quoted(const std::string& text) { return text == "NULL" ? text : "'" + text + "'"; }

// A peer that answers its connections in turn with the replies given (the
// last one again for every later connection; "" answers nothing for 20 s),
// and keeps each request with the second it came.
class Replies {
 public:
  using Reply = std::function<std::string()>;
  explicit Replies(std::vector<Reply> replies)
      : replies_(std::move(replies)),
        peer_(
            [this](int fd) {
              std::string request = testsupport::ReadUntil(fd, "\r\n\r\n");
              size_t turn = static_cast<size_t>(served_++);
              peer_.Record(std::to_string(time(nullptr)) + " " + request);
              std::string reply = replies_[std::min(turn, replies_.size() - 1)]();
              if (reply.empty()) {
                for (int i = 0; i < 200 && !done_; ++i) usleep(100 * 1000);
              }
              testsupport::SendAll(fd, reply);
            },
            64) {}
  explicit Replies(std::vector<std::string> replies) : Replies(Fixed(replies)) {}
  ~Replies() { done_ = true; }
  int port() const { return peer_.port(); }
  struct Request {
    time_t at;
    std::string text;
  };
  std::vector<Request> requests() const {
    std::vector<Request> out;
    for (const std::string& record : peer_.records())
      out.push_back({std::stol(record), record.substr(record.find(' ') + 1)});
    return out;
  }

 private:
  static std::vector<Reply> Fixed(const std::vector<std::string>& texts) {
    std::vector<Reply> replies;
    for (const std::string& text : texts) replies.push_back([text] { return text; });
    return replies;
  }
  std::vector<Reply> replies_;
  std::atomic<int> served_{0};
  std::atomic<bool> done_{false};
  testsupport::LoopbackPeer peer_;
};

const std::string kUnavailable = "HTTP/1.0 503 Service Unavailable\r\n\r\n";
const std::string kOk = "HTTP/1.0 200 OK\r\n\r\nfine";

// The value of an Idempotency-Key header in a request; "" without one.
std::string IdempotencyKey(const std::string& request) {
  size_t at = request.find("\r\nIdempotency-Key: ");
  if (at == std::string::npos) return "";
  at += 19;
  return request.substr(at, request.find("\r\n", at) - at);
}

struct Row {
  std::string next, attempt, run, failures, outcome;
};

struct Result {
  time_t due, started;
  std::string outcome, attempt;
};

class Retries : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateShippedScheduleTable(db_);
    testsupport::CreateShippedResultsTable(db_);
  }

  struct Entry {
    int id;
    int port;
    int interval = 3600;
    long due = -100;  // seconds from now
    std::string retries = "3", delay = "1", method = "NULL", headers = "NULL", timeout = "30";
  };
  // Adds the entry; returns its scheduled time.
  time_t Add(const Entry& e) {
    std::string next = LocalTimestamp(e.due);
    EXPECT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                     "i_next, i_start, i_stop, i_retries, i_retry_delay, i_method, i_headers) "
                     "values (" +
                         std::to_string(e.id) + ", " + std::to_string(e.port) + ", '/e" +
                         std::to_string(e.id) + "', '127.0.0.1', " + e.timeout + ", " +
                         std::to_string(e.interval) + ", '" + next + "', 0, 1, " +
                         Quoted(e.retries) + ", " + Quoted(e.delay) + ", " + Quoted(e.method) +
                         ", " + Quoted(e.headers) + ")"));
    return ParseLocal(next);
  }

  Row RowOf(int id) {
    auto rows = Query(db_,
                      "select i_next, i_attempt, i_run, i_failures, i_outcome from schedule_2 "
                      "where id = " +
                          std::to_string(id));
    if (rows.empty()) return {};
    auto& r = rows[0];
    return {r[0].substr(0, 19), r[1], r[2].substr(0, 19), r[3], r[4]};
  }

  std::vector<Result> ResultsOf(int id) {
    std::vector<Result> results;
    for (auto& r : Query(db_,
                         "select due, started, outcome, attempt from hit_results where "
                         "entry_id = " +
                             std::to_string(id) + " order by id"))
      results.push_back(
          {ParseLocal(r[0].substr(0, 19)), ParseLocal(r[1].substr(0, 19)), r[2], r[3]});
    return results;
  }

  // The environment entry that tells this test's daemon number n from
  // every other process.
  std::string Tag(int n) { return "JANTOR_DAEMON=" + db_.dsn + "-" + std::to_string(n); }

  testsupport::RunResult Jantor(std::vector<std::string> extra, int n = 0) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<std::string> env = testsupport::OdbcEnv();
    env.push_back(Tag(n));
    return testsupport::RunJantor(args, env, 120000);
  }

  TestDb db_;
};

std::string Local(time_t t) { return hostile::LocalText(t); }

// 503, 503, then 200, with a retry delay of 1 s: three attempts, each
// retry due within its spread of [d/2, d] after the failure before it,
// and the run ends where the schedule would have moved the entry anyway.
TEST_P(Retries, AFailedRunIsTriedAgainUntilItSucceeds) {
  Replies peer(std::vector<std::string>{kUnavailable, kUnavailable, kOk});
  time_t scheduled = Add({.id = 1, .port = peer.port()});
  auto r = Jantor({"-i", "4", "-r", "5", "-q", "-l", "hit_results"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  auto results = ResultsOf(1);
  ASSERT_EQ(results.size(), 3u) << r.out;
  const char* outcomes[] = {"server-error", "server-error", "ok"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(results[i].outcome, outcomes[i]);
    EXPECT_EQ(results[i].attempt, std::to_string(i + 1));
  }
  EXPECT_EQ(results[0].due, scheduled);
  // Retry 1 waits d = 1 s, retry 2 d = 2 s: at least d/2, at most d (and
  // the second the hit took).
  for (int retry = 1; retry <= 2; ++retry) {
    long waited = results[retry].due - results[retry - 1].started;
    EXPECT_GE(waited, 1) << "retry " << retry;
    EXPECT_LE(waited, (1 << (retry - 1)) + 1) << "retry " << retry;
    EXPECT_GE(results[retry].started, results[retry].due);
  }
  EXPECT_EQ(peer.requests().size(), 3u);
  Row row = RowOf(1);
  EXPECT_EQ(row.next, Local(scheduled + 3600));
  EXPECT_EQ(row.attempt, "<NULL>");
  EXPECT_EQ(row.run, "<NULL>");
  EXPECT_EQ(row.failures, "0");
  EXPECT_EQ(row.outcome, "ok");
  // The latest attempts, for the status page: their letters, and the
  // newest one's status and start.
  auto latest = Query(db_, "select i_recent, i_status, i_last from schedule_2 where id = 1")[0];
  EXPECT_EQ(latest[0], "ssk");
  EXPECT_EQ(latest[1], "200");
  EXPECT_EQ(ParseLocal(latest[2].substr(0, 19)), results[2].started);
  EXPECT_NE(r.out.find("server-error - 503 - retry 1 of 3 in 1 s\r\n"), std::string::npos) << r.out;
  EXPECT_EQ(hostile::CountOf(r.out, "retry 2 of 3 in "), 1) << r.out;
}

// 429 with Retry-After in seconds and as an HTTP date: the retry is due no
// sooner; a 503 asking for two hours ends the run at once.
TEST_P(Retries, RetryAfterIsWaitedAndOneOverAnHourEndsTheRun) {
  auto http_date = [] {
    time_t when = time(nullptr) + 6;
    struct tm utc;
    gmtime_r(&when, &utc);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return "HTTP/1.0 429 Too Many Requests\r\nRetry-After: " + std::string(text) + "\r\n\r\n";
  };
  Replies seconds(
      std::vector<std::string>{"HTTP/1.0 429 Too Many Requests\r\nRetry-After: 6\r\n\r\n", kOk});
  Replies date(std::vector<Replies::Reply>{http_date, [] { return kOk; }});
  Replies hours(std::vector<std::string>{
      "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 7200\r\n\r\n", kOk});
  Add({.id = 1, .port = seconds.port()});
  Add({.id = 2, .port = date.port()});
  time_t scheduled = Add({.id = 3, .port = hours.port()});
  auto r = Jantor({"-i", "4", "-r", "9", "-q", "-l", "hit_results"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  for (int id : {1, 2}) {
    auto results = ResultsOf(id);
    ASSERT_EQ(results.size(), 2u) << "entry " << id << "\n" << r.out;
    EXPECT_EQ(results[0].outcome, "client-error");
    EXPECT_EQ(results[1].outcome, "ok");
    // The date is whole seconds and the reply may come a second later.
    EXPECT_GE(results[1].due - results[0].started, id == 1 ? 6 : 5) << "entry " << id;
    EXPECT_EQ(RowOf(id).failures, "0");
  }
  EXPECT_EQ(hours.requests().size(), 1u);
  Row row = RowOf(3);
  EXPECT_EQ(row.next, Local(scheduled + 3600));
  EXPECT_EQ(row.attempt, "<NULL>");
  EXPECT_EQ(row.failures, "1");
  EXPECT_EQ(row.outcome, "server-error");
}

// A POST that reached a silent server may have been acted on: not tried
// again. One that reached nothing is. A POST whose server answers 503
// said it did not act: tried again with the same Idempotency-Key, and the
// next run carries a key of its own.
TEST_P(Retries, PostIsTriedAgainOnlyWhenTheServerCannotHaveActed) {
  Replies silent(std::vector<std::string>{""});
  Replies unavailable(std::vector<std::string>{kUnavailable, kOk, kUnavailable, kOk});
  Replies own_key(std::vector<std::string>{kUnavailable, kOk});
  Add({.id = 1, .port = silent.port(), .method = "POST", .timeout = "2"});
  Add({.id = 2, .port = testsupport::UnusedPort(), .retries = "1", .method = "POST"});
  // Its retry comes in the second cycle, which the silent server's 2 s put
  // about 6 s after the first: before the next run at 10 s, so it is made.
  time_t scheduled =
      Add({.id = 3, .port = unavailable.port(), .interval = 10, .due = -1, .method = "PATCH"});
  Add({.id = 4,
       .port = own_key.port(),
       .method = "POST",
       .headers = "Idempotency-Key: mine\nX-Trace: 1"});
  // Three cycles must fit in the run time even when a loaded machine
  // drags each one out (a sanitizer build beside the whole suite).
  auto r = Jantor({"-w", "-i", "4", "-r", "13", "-q", "-l", "hit_results"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  EXPECT_EQ(silent.requests().size(), 1u);
  ASSERT_EQ(ResultsOf(1).size(), 1u);
  EXPECT_EQ(ResultsOf(1)[0].outcome, "timeout");
  EXPECT_EQ(RowOf(1).failures, "1");

  auto refused = ResultsOf(2);
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[1].outcome, "unreachable");
  EXPECT_EQ(refused[1].attempt, "2");
  EXPECT_EQ(RowOf(2).failures, "1");

  auto requests = unavailable.requests();
  ASSERT_GE(requests.size(), 3u) << r.out;
  const std::string first_run = "3-" + std::to_string(scheduled);
  EXPECT_EQ(IdempotencyKey(requests[0].text), first_run);
  EXPECT_EQ(IdempotencyKey(requests[1].text), first_run);
  EXPECT_EQ(IdempotencyKey(requests[2].text), "3-" + std::to_string(scheduled + 10));

  auto own = own_key.requests();
  ASSERT_EQ(own.size(), 2u);
  for (auto& request : own) {
    EXPECT_EQ(hostile::CountOf(request.text, "dempotency-Key"), 1) << request.text;
    EXPECT_EQ(IdempotencyKey(request.text), "mine");
  }
}

// Every run fails until the test lets the server answer: with one retry
// each, i_failures counts the runs (1, then 2), not the attempts, and the
// run that succeeds clears it. An entry whose retry would come after its
// next run is not tried again at all.
TEST_P(Retries, FailedRunsAreCountedOnceAndASuccessClearsThem) {
  std::atomic<bool> answer{false};
  Replies peer(std::vector<Replies::Reply>{[&] { return answer ? kOk : kUnavailable; }});
  Replies later(std::vector<std::string>{kUnavailable});
  time_t scheduled = Add({.id = 1, .port = peer.port(), .interval = 8, .due = -1, .retries = "1"});
  time_t no_room = Add({.id = 2, .port = later.port(), .interval = 300, .due = -1, .delay = "600"});
  std::vector<std::string> seen;
  std::thread watcher([&] {
    for (int i = 0; i < 300 && !(answer && seen.back() == "0"); ++i) {
      std::string failures = RowOf(1).failures;
      if (seen.empty() || seen.back() != failures) seen.push_back(failures);
      if (failures == "2") answer = true;
      usleep(100 * 1000);
    }
  });
  auto r = Jantor({"-i", "4", "-r", "17", "-q", "-l", "hit_results"});
  watcher.join();
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  EXPECT_EQ(seen, (std::vector<std::string>{"<NULL>", "1", "2", "0"})) << r.out;
  std::string attempts;
  for (auto& result : ResultsOf(1)) attempts += result.attempt;
  EXPECT_EQ(attempts, "12121") << r.out;
  EXPECT_EQ(RowOf(1).next, Local(scheduled + 24));

  EXPECT_EQ(later.requests().size(), 1u);
  Row row = RowOf(2);
  EXPECT_EQ(row.next, Local(no_room + 300));
  EXPECT_EQ(row.attempt, "<NULL>");
  EXPECT_EQ(row.failures, "1");
}

// A daemon killed while a retry is pending: the retry is in the row, and
// the next daemon makes it once, at its time. Sharing the table (-s), the
// other daemon takes it over like any due entry.
TEST_P(Retries, APendingRetryOutlivesAKilledDaemon) {
  Replies peer(std::vector<std::string>{kUnavailable, kOk});
  time_t scheduled = Add({.id = 1, .port = peer.port(), .delay = "4"});
  std::vector<std::string> sharing;
  if (GetParam() != "sqlite") sharing = {"-s", "10"};
  auto options = [&](const char* runtime) {
    std::vector<std::string> o = {"-i", "4", "-r", runtime, "-q", "-l", "hit_results"};
    o.insert(o.end(), sharing.begin(), sharing.end());
    return o;
  };
  testsupport::RunResult first;
  std::thread daemon([&] { first = Jantor(options("60"), 0); });
  Row pending;
  for (int i = 0; i < 200 && pending.attempt != "2"; ++i, usleep(50 * 1000)) pending = RowOf(1);
  pid_t pid = hostile::FindProcess(Tag(0));
  if (pid > 0) kill(pid, SIGKILL);
  daemon.join();
  ASSERT_EQ(pending.attempt, "2") << first.out;
  EXPECT_EQ(first.signal, SIGKILL);
  EXPECT_EQ(pending.run, Local(scheduled));
  ASSERT_EQ(peer.requests().size(), 1u);

  auto second = Jantor(options("5"), 1);
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 2u) << second.out;
  EXPECT_GE(requests[1].at, ParseLocal(pending.next));
  auto results = ResultsOf(1);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].attempt, "2");
  Row row = RowOf(1);
  EXPECT_EQ(row.next, Local(scheduled + 3600));
  EXPECT_EQ(row.attempt, "<NULL>");
  EXPECT_EQ(row.failures, "0");
}

// Runs that the row's own times do not give, in two cycles at a faked
// clock (UTC): 12:00:57, then 12:01:01. A calendar entry's and an interval
// entry's retries, planned before 12:01:00, come in a cycle after it: not
// made, the run counted failed, and the hit is the next run's first
// attempt with the next run's key. An entry that never moves (i_interval 0)
// has a key of its own in each cycle. A pending retry whose rule was taken
// away leaves the schedule where its run put it.
TEST_P(Retries, RunsTakeTheirTimeAndKeyFromTheirOwnOccurrence) {
  Replies peer(std::vector<std::string>{kUnavailable});
  auto utc = [](const char* text) {
    struct tm parts = {};
    strptime(text, "%Y-%m-%d %H:%M:%S", &parts);
    return std::to_string(timegm(&parts));
  };
  Add({.id = 1, .port = peer.port(), .method = "POST"});
  Add({.id = 2, .port = peer.port(), .interval = 4, .method = "POST"});
  Add({.id = 3, .port = peer.port(), .interval = 0, .method = "POST"});
  Add({.id = 4, .port = peer.port(), .retries = "NULL", .method = "POST"});
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '2027-06-01 12:00:56' where id <= 2"));
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_cron = '* * * * *' where id = 1"));
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '2027-06-01 11:00:00' where id = 3"));
  ASSERT_TRUE(Exec(db_,
                   "update schedule_2 set i_next = '2027-06-01 12:00:50', i_attempt = 2, "
                   "i_run = '2027-06-01 12:00:00' where id = 4"));
  std::vector<std::string> args = db_.Args();
  for (const char* a : {"-i", "4", "-r", "1", "-q", "-l", "hit_results"}) args.push_back(a);
  std::vector<std::string> env = testsupport::OdbcEnv();
  for (const char* e : {"TZ=UTC", "FAKETIME=@2027-06-01 12:00:57", "FAKETIME_DONT_FAKE_MONOTONIC=1",
                        "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                        "ASAN_OPTIONS=verify_asan_link_order=0"})
    env.push_back(e);
  auto r = testsupport::RunJantor(args, env, 60000);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::map<std::string, std::vector<std::string>> keys;
  for (auto& request : peer.requests())
    keys[request.text.substr(5, request.text.find(' ', 5) - 5)].push_back(
        IdempotencyKey(request.text));

  for (int id : {1, 2}) {
    std::string what = "entry " + std::to_string(id);
    std::string e = "/e" + std::to_string(id);
    EXPECT_EQ(keys[e], (std::vector<std::string>{e.substr(2) + "-" + utc("2027-06-01 12:00:56"),
                                                 e.substr(2) + "-" + utc("2027-06-01 12:01:00")}))
        << what;
    auto results = ResultsOf(id);
    ASSERT_EQ(results.size(), 2u) << what;
    EXPECT_EQ(results[1].attempt, "1") << what;
    Row row = RowOf(id);
    EXPECT_EQ(row.failures, "1") << what;
    EXPECT_EQ(row.attempt, "2") << what;
    EXPECT_EQ(row.run, "2027-06-01 12:01:00") << what;
  }

  auto& own = keys["/e3"];
  ASSERT_EQ(own.size(), 2u) << r.out;
  EXPECT_NE(own[0], own[1]);
  EXPECT_NE(own[0], "3-" + utc("2027-06-01 11:00:00"));
  EXPECT_EQ(RowOf(3).next, "2027-06-01 11:00:00");

  Row removed = RowOf(4);
  EXPECT_EQ(removed.next, "2027-06-01 13:00:00");
  EXPECT_EQ(removed.attempt, "<NULL>");
  EXPECT_EQ(removed.run, "<NULL>");
  EXPECT_EQ(removed.failures, "1");
}

INSTANTIATE_TEST_SUITE_P(Databases, Retries, testing::Values("sqlite", "postgres", "mariadb"));

// Texts SQLite keeps in the integer columns: retries that are not a whole
// number from 0 to 20 give none, delays out of range 30 s. The failing
// entries are counted for -m, and a results table of the old columns gets
// its rows. A table with i_retries that cannot keep a pending retry is
// refused at start-up.
TEST(RetryTexts, FallBacksCountsAndRefusal) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateShippedScheduleTable(db);
  ASSERT_TRUE(Exec(db,
                   "create table old_results (id integer primary key, entry_id integer not null, "
                   "due timestamp, started timestamp not null, duration_ms integer not null, "
                   "outcome varchar(16) not null, status integer, bytes integer not null, "
                   "reason varchar(160))"));
  Replies peer(std::vector<std::string>{kUnavailable});
  struct Case {
    const char* retries;
    const char* delay;
    bool retried;
  };
  const Case cases[] = {{"-1", "1", false},  {"21", "1", false}, {"abc", "1", false},
                        {"1e9", "1", false}, {"1", "0", true},   {"1", "x", true}};
  std::string next = LocalTimestamp(-100);
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(Exec(db,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next, i_retries, i_retry_delay) values (" +
                         std::to_string(i + 1) + ", " + std::to_string(peer.port()) +
                         ", '/', '127.0.0.1', 30, 3600, '" + next + "', '" + cases[i].retries +
                         "', '" + cases[i].delay + "')"));
  // A calendar that is refused is never tried again, and says so once; its
  // strip of 60 letters loses its oldest.
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_interval, i_next, "
                   "i_retries, i_cron, i_recent) values (7, " +
                       std::to_string(peer.port()) + ", '/', '127.0.0.1', 3600, '" + next +
                       "', 3, '61 * * * *', 'r" + std::string(59, 'k') + "')"));
  int port = testsupport::UnusedPort();
  std::vector<std::string> args = db.Args();
  for (const char* a : {"-i", "4", "-r", "5", "-q", "-l", "old_results", "-f", "1", "-m"})
    args.push_back(a);
  args.push_back(std::to_string(port));
  testsupport::RunResult r;
  std::thread daemon([&] { r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 60000); });
  std::string metrics = servicetest::AwaitFirstCycle(port);
  daemon.join();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Counting entries failed 1 runs in a row.\r\n"), std::string::npos);
  EXPECT_EQ(servicetest::Series(metrics, "jantor_entries_failing"), 5) << metrics;
  EXPECT_EQ(servicetest::Series(metrics, "jantor_retries_total"), 2) << metrics;
  EXPECT_EQ(servicetest::Series(metrics, "jantor_runs_failed_total"), 5) << metrics;
  EXPECT_EQ(hostile::CountOf(r.out, "Hit failed - id 7 - "), 1) << r.out;
  EXPECT_EQ(
      Query(db,
            "select i_attempt, i_failures, i_outcome, i_recent from schedule_2 where id = 7")[0],
      (std::vector<std::string>{"<NULL>", "1", "bad-schedule", std::string(59, 'k') + "b"}));

  time_t now = time(nullptr);
  for (int i = 0; i < 6; ++i) {
    auto row = Query(db, "select i_attempt, i_failures, i_next from schedule_2 where id = " +
                             std::to_string(i + 1))[0];
    std::string what =
        std::string("i_retries ") + cases[i].retries + ", i_retry_delay " + cases[i].delay;
    EXPECT_EQ(row[0], cases[i].retried ? "2" : "<NULL>") << what;
    EXPECT_EQ(row[1], cases[i].retried ? "<NULL>" : "1") << what;
    // The fallback delay of 30 s spreads the first retry over [15, 30].
    if (cases[i].retried) {
      EXPECT_GE(ParseLocal(row[2]), now - 10 + 15) << what;
      EXPECT_LE(ParseLocal(row[2]), now + 30) << what;
    }
  }
  EXPECT_EQ(Query(db, "select count(*) from old_results")[0][0], "7");

  testsupport::CreateScheduleTable(db, "partial");
  ASSERT_TRUE(Exec(db, "alter table partial add column i_retries integer"));
  ASSERT_TRUE(Exec(db, "alter table partial add column i_run timestamp"));
  args = db.Args();
  for (const char* a : {"-t", "partial", "-i", "4", "-r", "1"}) args.push_back(a);
  auto refused = testsupport::RunJantor(args, testsupport::OdbcEnv(), 60000);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("Error - table partial has i_retries but not i_attempt, which keep a "
                             "pending retry.\r\n"),
            std::string::npos)
      << refused.out;
}

}  // namespace
