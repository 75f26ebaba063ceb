// jantor as a service: quiet output (-q), what it tells systemd through a
// notification socket of the test's own, the watchdog that starves when a
// database call hangs, and the clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/hostile_support.h"
#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"

namespace {

using hostile::CountOf;
using hostile::NowMs;
using servicetest::NotifySocket;
using servicetest::SlowServer;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

constexpr int kInterval = 3600;

void AddEntries(const TestDb& db, int first, int last, const std::string& host, int port,
                const std::string& object, const std::string& next) {
  std::string sql =
      "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
      "i_start, i_stop) values ";
  for (int id = first; id <= last; ++id) {
    sql += (id == first ? "(" : ", (") + std::to_string(id) + ", " + std::to_string(port) + ", '" +
           object + "?" + std::to_string(id) + "', '" + host + "', 30, " +
           std::to_string(kInterval) + ", '" + next + "', 0, 1)";
  }
  ASSERT_TRUE(Exec(db, sql));
}

std::map<int, std::string> NextRuns(const TestDb& db) {
  std::map<int, std::string> next;
  for (auto& row : Query(db, "select id, i_next from schedule_2"))
    next[std::stoi(row[0])] = row[1].substr(0, 19);
  return next;
}

std::vector<std::string> Args(const TestDb& db, std::vector<std::string> extra) {
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Entries hit under -q: the start-up lines, then exactly one line for each
// failed hit, naming its entry; none of the lower layers' words. With -v
// too, the verbose lines come back and the trace words stay away.
TEST(Quiet, PrintsOneLineForEachFailedHitAndNoTraceWords) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  const int refused = testsupport::UnusedPort();
  const std::string due = LocalTimestamp(-100);
  AddEntries(db, 1, 20, "127.0.0.1", testsupport::NginxPort(), "/hello.txt", due);
  AddEntries(db, 21, 30, "127.0.0.1", refused, "/gone", due);

  for (const char* concurrency : {"1", "8"}) {
    ASSERT_TRUE(Exec(db, "update schedule_2 set i_next = '" + due + "'"));
    auto r = testsupport::RunJantor(Args(db, {"-q", "-c", concurrency, "-i", "4"}),
                                    testsupport::OdbcEnv(), 60000, 3000);
    std::string expected = "jantor 1.0.0 - scheduled web requests from a database table\r\n";
    expected += "Using " + db.dsn + " DSN.\r\nUsing quiet.\r\nUsing " + concurrency +
                " concurrent hits.\r\nUsing 4s interval.\r\n";
    std::set<std::string> lines;
    for (int id = 21; id <= 30; ++id) {
      lines.insert("Hit failed - id " + std::to_string(id) +
                   " - 127.0.0.1:" + std::to_string(refused) + "/gone?" + std::to_string(id) +
                   " - unreachable - Connection refused\r\n");
    }
    ASSERT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
    std::set<std::string> seen;
    std::string rest = r.out.substr(expected.size());
    for (size_t at = 0; at < rest.size();) {
      size_t end = rest.find("\r\n", at);
      if (end == std::string::npos) break;
      seen.insert(rest.substr(at, end + 2 - at));
      EXPECT_EQ(CountOf(rest, rest.substr(at, end + 2 - at)), 1) << rest;
      at = end + 2;
    }
    EXPECT_EQ(seen, lines) << rest;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);  // stopped by SIGTERM while it slept
    for (auto& [id, next] : NextRuns(db))
      EXPECT_EQ(ParseLocalTimestamp(next), ParseLocalTimestamp(due) + kInterval) << id;
  }

  ASSERT_TRUE(Exec(db, "update schedule_2 set i_next = '" + due + "'"));
  auto r = testsupport::RunJantor(Args(db, {"-q", "-v", "-i", "4", "-r", "1"}),
                                  testsupport::OdbcEnv(), 60000);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(CountOf(r.out, "Hitting - http://127.0.0.1:"), 30) << r.out;
  EXPECT_EQ(CountOf(r.out, "   (Successful)\r\nServer said - HTTP/1.1 200 OK"), 20);
  EXPECT_EQ(CountOf(r.out, "   (Hit Failed)\r\n"), 10);
  EXPECT_EQ(CountOf(r.out, " - unreachable - Connection refused\r\n"), 10);
  for (const char* trace : {"About to connect", "In scanodbc", "Setting Error", "head=", "j1"})
    EXPECT_EQ(r.out.find(trace), std::string::npos) << trace;
  EXPECT_EQ(r.err, "");
}

// READY=1 once the start-up checks have passed, a STATUS= line for every
// cycle, WATCHDOG=1 about every second for WATCHDOG_USEC=2000000, during
// the sleep as well, and STOPPING=1 when SIGTERM asks for the stop. (With
// a shorter interval a database call that a loaded machine stretches past
// half of it rightly holds a feed back, and the test would fail on the
// machine, not on the daemon.)
TEST(Notify, ReadyStatusWatchdogAndStoppingInOrder) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  AddEntries(db, 1, 3, "127.0.0.1", testsupport::NginxPort(), "/hello.txt", LocalTimestamp(-100));
  AddEntries(db, 4, 4, "127.0.0.1", testsupport::UnusedPort(), "/gone", LocalTimestamp(-100));
  NotifySocket notify;
  ASSERT_TRUE(notify.bound());
  auto env = testsupport::OdbcEnv();
  env.push_back(notify.Env());
  env.push_back("WATCHDOG_USEC=2000000");
  auto r = testsupport::RunJantor(Args(db, {"-i", "4"}), env, 60000, 6000);
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(notify.Await("STOPPING=1", 2000));
  auto messages = notify.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0].text, "READY=1");
  std::vector<std::string> status;
  int watchdog = 0, stopping = 0;
  size_t last_status = 0, stopping_at = 0;
  // systemd starts the watchdog's clock at READY=1, not at the exec: a
  // start-up slower than the interval (a sanitizer build on a busy
  // machine) is no missed feed.
  long long last_watchdog = messages[0].at_ms;
  long long longest_gap = 0;
  for (size_t i = 0; i < messages.size(); ++i) {
    const auto& m = messages[i];
    if (m.text.rfind("STATUS=", 0) == 0) {
      status.push_back(m.text);
      last_status = i;
    }
    if (m.text == "WATCHDOG=1") {
      ++watchdog;
      longest_gap = std::max(longest_gap, m.at_ms - last_watchdog);
      last_watchdog = m.at_ms;
    }
    if (m.text == "STOPPING=1") {
      ++stopping;
      stopping_at = i;
    }
  }
  // Cycles at 0 and 4 s: the first hits all four, the second finds none due.
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[0].rfind("STATUS=Last cycle: 4 due, 4 hit, 1 failed, took ", 0), 0u)
      << status[0];
  EXPECT_EQ(status[1].rfind("STATUS=Last cycle: 0 due, 0 hit, 0 failed, took ", 0), 0u)
      << status[1];
  EXPECT_GE(watchdog, 4);  // 6 s at one a second, less start-up
  EXPECT_LT(longest_gap, 2000);
  EXPECT_EQ(stopping, 1);
  EXPECT_GT(stopping_at, last_status);
}

// The database stops answering in the middle of the run (its server
// processes for jantor's connections stopped with SIGSTOP): the next
// cycle's select never returns, the watchdog is no longer fed, and
// feeding resumes when the server does.
TEST(Notify, WatchdogStarvesWhileADatabaseCallHangs) {
  TestDb db = testsupport::MakeDbForCurrentTest("postgres");
  testsupport::CreateScheduleTable(db);
  NotifySocket notify;
  auto env = testsupport::OdbcEnv();
  env.push_back(notify.Env());
  env.push_back("WATCHDOG_USEC=1000000");
  testsupport::RunResult r;
  std::thread run([&] { r = testsupport::RunJantor(Args(db, {"-i", "4"}), env, 60000, 0); });
  ASSERT_TRUE(notify.Await("STATUS=", 15000));
  std::vector<pid_t> backends;
  for (auto& row : Query(db, "select pid from pg_stat_activity where datname = '" + db.dsn +
                                 "' and pid <> pg_backend_pid()"))
    backends.push_back(static_cast<pid_t>(std::stol(row[0])));
  ASSERT_EQ(backends.size(), 2u);  // the selection and the update connection
  for (pid_t pid : backends) ASSERT_EQ(kill(pid, SIGSTOP), 0);
  long long stopped_at = NowMs();
  usleep(7000 * 1000);  // past the next cycle's select, 4 s on
  int fed_while_stopped = 0;
  long long last_fed = 0;
  for (auto& m : notify.messages()) {
    if (m.text != "WATCHDOG=1") continue;
    if (m.at_ms > stopped_at) last_fed = m.at_ms;
    if (m.at_ms > stopped_at + 5000) ++fed_while_stopped;
  }
  for (pid_t pid : backends) kill(pid, SIGCONT);
  EXPECT_EQ(fed_while_stopped, 0) << "fed while the select hung";
  EXPECT_GT(last_fed, stopped_at) << "not fed during the sleep before the hang";
  size_t before = notify.messages().size();
  for (int i = 0; i < 40 && notify.messages().size() == before; ++i) usleep(100 * 1000);
  EXPECT_GT(notify.messages().size(), before) << "not fed again once the server answered";
  pid_t pid = hostile::FindProcess(testsupport::OdbcEnv()[0]);
  if (pid > 0) kill(pid, SIGTERM);
  run.join();
  EXPECT_EQ(r.status, 0) << r.out;
}

std::set<int> RequestedIds(const std::vector<std::string>& requests) {
  std::set<int> ids;
  for (auto& request : requests) ids.insert(std::stoi(request.substr(request.find('?') + 1)));
  return ids;
}

// SIGTERM in the middle of a cycle at -c 16: the hits in flight end and are
// written, no other hit starts, and the process ends with status 0. After
// a restart the rest are hit: every entry exactly once, moved on once.
TEST(CleanStop, HitsInFlightAreWrittenAndNoneIsHitTwiceAfterARestart) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  SlowServer slow;
  const int kEntries = 48;
  const std::string due = LocalTimestamp(-100);
  AddEntries(db, 1, kEntries, "127.0.0.1", slow.port(), "/slow", due);

  const std::string mine = testsupport::OdbcEnv()[0];
  testsupport::RunResult r;
  std::thread run([&] {
    r = testsupport::RunJantor(Args(db, {"-c", "16", "-i", "60"}), testsupport::OdbcEnv(), 60000);
  });
  for (int i = 0; i < 200 && slow.requests().size() < 20; ++i) usleep(20 * 1000);
  pid_t pid = hostile::FindProcess(mine);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  long long stop_sent = NowMs();
  run.join();
  long long took = NowMs() - stop_sent;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_LT(took, 5000) << "the hits in flight took longer than their answers";
  std::set<int> first = RequestedIds(slow.requests());
  EXPECT_GE(first.size(), 20u);
  EXPECT_LE(first.size(), 32u) << "hits went on after the stop";
  for (auto& [id, next] : NextRuns(db)) {
    bool moved = ParseLocalTimestamp(next) == ParseLocalTimestamp(due) + kInterval;
    EXPECT_EQ(moved, first.count(id) == 1) << "entry " << id;
  }

  auto again = testsupport::RunJantor(Args(db, {"-c", "16", "-i", "4", "-r", "1"}),
                                      testsupport::OdbcEnv(), 60000);
  EXPECT_EQ(again.status, 0) << again.out;
  auto requests = slow.requests();
  EXPECT_EQ(requests.size(), static_cast<size_t>(kEntries)) << "an entry was hit twice";
  EXPECT_EQ(RequestedIds(requests).size(), static_cast<size_t>(kEntries));
  for (auto& [id, next] : NextRuns(db))
    EXPECT_EQ(ParseLocalTimestamp(next), ParseLocalTimestamp(due) + kInterval) << id;
}

// A stop during the sleep ends the process at once with status 0; a second
// SIGTERM while hits are still in flight ends it at once, by the signal.
TEST(CleanStop, ASleepEndsAtOnceAndASecondSignalDoesNotWait) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  const std::string mine = testsupport::OdbcEnv()[0];
  testsupport::RunResult r;
  std::thread run([&] {
    r = testsupport::RunJantor(Args(db, {"-i", "600"}), testsupport::OdbcEnv(), 60000);
  });
  pid_t pid = 0;
  for (int i = 0; i < 100 && pid == 0; ++i, usleep(50 * 1000)) pid = hostile::FindProcess(mine);
  ASSERT_GT(pid, 0);
  usleep(1000 * 1000);  // into the sleep
  long long sent = NowMs();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  run.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(NowMs() - sent, 1500);

  SlowServer slow;
  AddEntries(db, 1, 4, "127.0.0.1", slow.port(), "/slow", LocalTimestamp(-100));
  std::thread second([&] {
    r = testsupport::RunJantor(Args(db, {"-c", "4", "-i", "600"}), testsupport::OdbcEnv(), 60000);
  });
  for (int i = 0; i < 100 && slow.requests().size() < 4; ++i) usleep(20 * 1000);
  pid = hostile::FindProcess(mine);
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  usleep(100 * 1000);
  sent = NowMs();
  kill(pid, SIGTERM);
  second.join();
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_LT(NowMs() - sent, 700) << "the second signal waited for the hits";
}

}  // namespace
