// Several daemons on one table (-s): on PostgreSQL and MariaDB each due
// entry is hit once by one of them, a daemon killed in the middle of a
// cycle leaves claims that expire and are taken over, and a reschedule that
// comes after its claim expired does not overwrite the other daemon's.
#include <gtest/gtest.h>
#include <signal.h>
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
using servicetest::SlowServer;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

constexpr int kInterval = 3600;

// Entries first..last against 127.0.0.1:port, object "/claim?<id>", due at
// next, with the daily window start..stop and the interval given.
void AddEntries(const TestDb& db, int first, int last, int port, const std::string& next,
                double start = 0, double stop = 1, int interval = kInterval) {
  std::string sql =
      "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
      "i_start, i_stop) values ";
  for (int id = first; id <= last; ++id) {
    sql += (id == first ? "(" : ", (") + std::to_string(id) + ", " + std::to_string(port) +
           ", '/claim?" + std::to_string(id) + "', '127.0.0.1', 30, " + std::to_string(interval) +
           ", '" + next + "', " + std::to_string(start) + ", " + std::to_string(stop) + ")";
  }
  ASSERT_TRUE(Exec(db, sql));
}

std::map<int, std::string> NextRuns(const TestDb& db) {
  std::map<int, std::string> next;
  for (auto& row : Query(db, "select id, i_next from schedule_2"))
    next[std::stoi(row[0])] = row[1].substr(0, 19);
  return next;
}

// How often each entry was requested.
std::map<int, int> Requests(SlowServer& server) {
  std::map<int, int> count;
  for (auto& line : server.requests()) ++count[std::stoi(line.substr(line.find('?') + 1))];
  return count;
}

// Daemon number n of the test's table: its environment tells it from the
// others, and from every other test's (hostile::FindProcess).
std::string DaemonTag(const TestDb& db, int n) {
  return "JANTOR_DAEMON=" + db.dsn + "-" + std::to_string(n);
}

testsupport::RunResult Daemon(const TestDb& db, int n, std::vector<std::string> extra) {
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), extra.begin(), extra.end());
  auto env = testsupport::OdbcEnv();
  env.push_back(DaemonTag(db, n));
  return testsupport::RunJantor(args, env, 120000);
}

void Signal(const TestDb& db, int n, int signal_number) {
  pid_t pid = hostile::FindProcess(DaemonTag(db, n));
  if (pid > 0) kill(pid, signal_number);
}

class Claims : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTable(db_);
  }
  TestDb db_;
};

// Three daemons at -c 8 on 600 due entries, 40 more outside their daily
// window: each due entry is hit exactly once and moved on once, the others
// not at all, and each daemon does a fair part of the work.
TEST_P(Claims, ThreeDaemonsHitEachDueEntryOnce) {
  SlowServer server(50);
  const std::string due = LocalTimestamp(-100);
  AddEntries(db_, 1, 600, server.port(), due);
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  double fraction = (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
  // A window that closed before now, or opens after it (or wraps midnight).
  AddEntries(db_, 601, 620, server.port(), due, 0, std::max(fraction - 0.01, 0.0));
  AddEntries(db_, 621, 640, server.port(), due, std::min(fraction + 0.01, 1.0), 1);

  testsupport::RunResult runs[3];
  std::vector<std::thread> daemons;
  for (int n = 0; n < 3; ++n) {
    daemons.emplace_back([&, n] {
      runs[n] = Daemon(db_, n, {"-s", "30", "-c", "8", "-i", "4", "-r", "1", "-v"});
    });
  }
  for (auto& d : daemons) d.join();

  auto requests = Requests(server);
  int total = 0;
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(runs[n].status, 0) << "signal " << runs[n].signal << ": "
                                 << runs[n].out.substr(
                                        runs[n].out.size() > 3000 ? runs[n].out.size() - 3000 : 0)
                                 << runs[n].err;
    EXPECT_NE(runs[n].out.find("Sharing the table, claims held 30s.\r\n"), std::string::npos);
    int hits = CountOf(runs[n].out, "Hitting - ");
    total += hits;
    EXPECT_GE(hits, 90) << "daemon " << n << " made " << hits << " of 600 hits";
  }
  EXPECT_EQ(total, 600);
  auto next = NextRuns(db_);
  for (int id = 1; id <= 640; ++id) {
    if (id <= 600) {
      EXPECT_EQ(requests[id], 1) << "entry " << id;
      EXPECT_EQ(ParseLocalTimestamp(next[id]), ParseLocalTimestamp(due) + kInterval) << id;
    } else {
      EXPECT_EQ(requests.count(id), 0u) << "entry " << id << " outside its window";
      EXPECT_EQ(next[id], due) << id;
    }
  }
}

// One of three daemons is killed with hits in flight: its claims expire
// after 10 s, and the two others take those entries over. Every entry is
// moved on, none is lost, and only those that were in flight at the kill
// are hit twice.
TEST_P(Claims, AKilledDaemonsClaimsExpireAndAreTakenOver) {
  SlowServer server(200);
  const int kEntries = 300;
  const std::string due = LocalTimestamp(-100);
  AddEntries(db_, 1, kEntries, server.port(), due);

  // The victim starts alone, so that the first requests are its own: it has
  // claims in flight when it is killed, after the others have started too.
  testsupport::RunResult runs[3];
  std::vector<std::thread> daemons;
  auto start = [&](int n) {
    daemons.emplace_back([&, n] { runs[n] = Daemon(db_, n, {"-s", "10", "-c", "16", "-i", "4"}); });
  };
  start(0);
  for (int i = 0; i < 500 && server.requests().size() < 16; ++i) usleep(20 * 1000);
  ASSERT_GE(server.requests().size(), 16u);
  start(1);
  start(2);
  for (int i = 0; i < 500 && server.requests().size() < 100; ++i) usleep(20 * 1000);
  ASSERT_GT(hostile::FindProcess(DaemonTag(db_, 0)), 0);
  Signal(db_, 0, SIGKILL);
  long long killed_at = NowMs();

  // Until every entry has moved on: the victim's after its claims expire.
  int moved = 0;
  for (int i = 0; i < 400 && moved < kEntries; ++i) {
    usleep(100 * 1000);
    moved = 0;
    for (auto& [id, next] : NextRuns(db_)) moved += ParseLocalTimestamp(next) > time(nullptr) + 60;
  }
  long long all_moved_ms = NowMs() - killed_at;
  for (int n = 1; n < 3; ++n) Signal(db_, n, SIGTERM);
  for (auto& d : daemons) d.join();
  EXPECT_EQ(runs[0].signal, SIGKILL);
  EXPECT_EQ(runs[1].status, 0);
  EXPECT_EQ(runs[2].status, 0);

  EXPECT_EQ(moved, kEntries) << "entries were lost with the killed daemon";
  EXPECT_GE(all_moved_ms, 8000) << "claims were taken over before they expired";
  auto requests = Requests(server);
  int twice = 0;
  for (int id = 1; id <= kEntries; ++id) {
    EXPECT_GE(requests[id], 1) << "entry " << id;
    EXPECT_LE(requests[id], 2) << "entry " << id;
    twice += requests[id] == 2;
  }
  EXPECT_LE(twice, 16) << "more entries hit twice than the killed daemon had in flight";
}

// A stop in the middle of a cycle: the hits in flight end and are written,
// and the entries claimed ahead of the workers get their i_next back, so
// that nothing is left waiting for a claim to expire. The hits end one at
// a time, so that each claim takes more rows than there are free workers.
TEST_P(Claims, AStoppedDaemonHandsBackWhatItHasNotHit) {
  std::atomic<int> seen{0};
  SlowServer server([&](const std::string&) { return 100 + 23 * (seen++ % 16); });
  const int kEntries = 200;
  const std::string due = LocalTimestamp(-100);
  AddEntries(db_, 1, kEntries, server.port(), due);
  testsupport::RunResult run;
  std::thread daemon([&] { run = Daemon(db_, 0, {"-s", "60", "-c", "16", "-i", "4"}); });
  // A claim takes 16 rows, then 4 at a time: after 42 requests, two rows
  // wait for a worker until the next hit ends, 12 ms later on average.
  for (int i = 0; i < 2000 && server.requests().size() < 42; ++i) usleep(5 * 1000);
  Signal(db_, 0, SIGTERM);
  daemon.join();
  EXPECT_EQ(run.status, 0) << run.out;

  auto requests = Requests(server);
  auto next = NextRuns(db_);
  int hit = 0;
  for (int id = 1; id <= kEntries; ++id) {
    if (requests[id] == 0) {
      EXPECT_EQ(next[id], due) << "entry " << id << " not hit, and not handed back";
    } else {
      ++hit;
      EXPECT_EQ(requests[id], 1) << "entry " << id;
      EXPECT_EQ(ParseLocalTimestamp(next[id]), ParseLocalTimestamp(due) + kInterval) << id;
    }
  }
  EXPECT_GE(hit, 40);
  EXPECT_LT(hit, kEntries) << "the stop came too late to leave anything unhit";
}

// A hit that outlasts its claim: daemon A's first hit of the entry takes
// 14 s, its claim 10 s; daemon B claims the entry when that has expired,
// hits it and reschedules it from the time it found (A's claim time). A's
// late reschedule then finds its claim gone and changes nothing.
// A's three hits outlast its claims, B takes the entries over, and A's hits
// then end together: their reschedules go in one statement with A's result
// rows, and none may overwrite B's. Each counts as a lost claim, and every
// hit keeps its row.
TEST_P(Claims, LateReschedulesDoNotOverwriteTheOtherDaemons) {
  int seen = 0;
  std::mutex mutex;
  SlowServer server([&](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex);
    return seen++ < 3 ? 14000 : 0;
  });
  testsupport::CreateResultsTable(db_);
  const std::string due = LocalTimestamp(-100);
  AddEntries(db_, 1, 3, server.port(), due);
  const std::string metrics_port = std::to_string(testsupport::UnusedPort());
  testsupport::RunResult a, b;
  std::thread first([&] {
    a = Daemon(db_, 0,
               {"-s", "10", "-c", "4", "-i", "60", "-l", "hit_results", "-m", metrics_port});
  });
  for (int i = 0; i < 100 && server.requests().size() < 3; ++i) usleep(50 * 1000);
  ASSERT_EQ(server.requests().size(), 3u);
  std::map<int, std::string> claimed = NextRuns(db_);  // A's claim times
  for (auto& [id, claim] : claimed) EXPECT_GE(ParseLocalTimestamp(claim), time(nullptr) + 8) << id;
  std::thread second([&] {
    b = Daemon(db_, 1, {"-s", "10", "-c", "4", "-i", "4", "-r", "13", "-l", "hit_results"});
  });
  second.join();
  std::string metrics;
  for (int i = 0; i < 200 && servicetest::Series(metrics, "jantor_cycles_total") < 1; ++i) {
    usleep(50 * 1000);
    metrics = servicetest::Scrape(std::stoi(metrics_port));
  }
  EXPECT_EQ(servicetest::Series(metrics, "jantor_claims_lost_total"), 3) << metrics;
  Signal(db_, 0, SIGTERM);
  first.join();
  EXPECT_EQ(a.status, 0) << a.out;
  EXPECT_EQ(b.status, 0) << b.out;
  EXPECT_EQ(server.requests().size(), 6u);
  std::map<int, std::string> next = NextRuns(db_);
  for (auto& [id, claim] : claimed)
    EXPECT_EQ(ParseLocalTimestamp(next[id]), ParseLocalTimestamp(claim) + kInterval)
        << "entry " << id << ": B's reschedule was overwritten (A's would be " << due << " + 3600)";
  std::map<std::string, int> rows;
  for (auto& row : Query(db_, "select entry_id from hit_results")) ++rows[row[0]];
  EXPECT_EQ(rows, (std::map<std::string, int>{{"1", 2}, {"2", 2}, {"3", 2}}));
}

// A reschedule to the claim time itself changes nothing in the row, and
// MariaDB counts changed rows: such a claim, held to the end, must not be
// counted as lost. The entries' next runs fall on the seconds around the
// one claim time their batch gets, so one of them meets it exactly.
TEST_P(Claims, ARescheduleToTheClaimTimeKeepsItsClaim) {
  std::atomic<time_t> first_request{0};
  SlowServer server([&](const std::string&) {
    time_t unset = 0;
    first_request.compare_exchange_strong(unset, time(nullptr));
    return 0;
  });
  constexpr int kHold = 60;
  time_t fill = time(nullptr);
  for (int k = 0; k < 5; ++k)
    AddEntries(db_, k + 1, k + 1, server.port(), LocalTimestamp(-100), 0, 1, 100 + kHold + k);
  const std::string metrics_port = std::to_string(testsupport::UnusedPort());
  testsupport::RunResult run;
  std::thread daemon([&] {
    run = Daemon(db_, 0, {"-s", std::to_string(kHold), "-c", "8", "-i", "60", "-m", metrics_port});
  });
  std::string metrics;
  for (int i = 0; i < 200 && servicetest::Series(metrics, "jantor_cycles_total") < 1; ++i) {
    usleep(50 * 1000);
    metrics = servicetest::Scrape(std::stoi(metrics_port));
  }
  Signal(db_, 0, SIGTERM);
  daemon.join();
  ASSERT_LE(first_request - fill, 4) << "the claim came too late for an entry to meet it";
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(servicetest::Series(metrics, "jantor_hits_total{outcome=\"ok\"}"), 5) << metrics;
  EXPECT_EQ(servicetest::Series(metrics, "jantor_claims_lost_total"), 0) << metrics;
}

// The hits of each cycle in one daemon's verbose output, entry by entry.
std::vector<std::map<int, int>> HitsByCycle(const std::string& out) {
  std::vector<std::map<int, int>> cycles;
  for (size_t at = out.find("The time is "); at != std::string::npos;) {
    size_t end = out.find("The time is ", at + 1);
    std::map<int, int>& hits = cycles.emplace_back();
    std::string cycle = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    for (size_t hit = cycle.find("Hitting - "); hit != std::string::npos;
         hit = cycle.find("Hitting - ", hit + 1)) {
      size_t object = cycle.find("/claim?", hit);
      if (object != std::string::npos) ++hits[std::stoi(cycle.substr(object + 7))];
    }
    at = end;
  }
  return cycles;
}

// Entries an hour behind with a minute's interval are still due after each
// hit. Catching up is one hit and one interval an entry a cycle, sharing or
// not: a cycle that claimed them again would hit each some sixty times back
// to back. Alone, two cycles hit each entry twice and move it on by two
// intervals; three daemons never hit an entry twice in one cycle of theirs,
// and each hit moves it on by one interval.
TEST_P(Claims, ACycleHitsAnEntryBehindOnlyOnce) {
  SlowServer server(20);
  const std::string behind = LocalTimestamp(-3600);
  AddEntries(db_, 1, 20, server.port(), behind, 0, 1, 60);
  auto alone = Daemon(db_, 0, {"-s", "60", "-c", "4", "-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(alone.status, 0) << alone.out.substr(0, 3000);
  auto cycles = HitsByCycle(alone.out);
  ASSERT_EQ(cycles.size(), 2u);
  auto requests = Requests(server);
  auto next = NextRuns(db_);
  for (int id = 1; id <= 20; ++id) {
    EXPECT_EQ(requests[id], 2) << "entry " << id;
    for (auto& cycle : cycles) EXPECT_EQ(cycle[id], 1) << "entry " << id;
    EXPECT_EQ(ParseLocalTimestamp(next[id]), ParseLocalTimestamp(behind) + 2 * 60) << id;
  }

  testsupport::RunResult runs[3];
  std::vector<std::thread> daemons;
  for (int n = 0; n < 3; ++n) {
    daemons.emplace_back([&, n] {
      runs[n] = Daemon(db_, n, {"-s", "60", "-c", "4", "-i", "4", "-r", "5", "-v"});
    });
  }
  for (auto& d : daemons) d.join();
  int hits = 0;
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(runs[n].status, 0) << runs[n].out.substr(
        runs[n].out.size() > 3000 ? runs[n].out.size() - 3000 : 0);
    for (auto& cycle : HitsByCycle(runs[n].out)) {
      for (auto& [id, count] : cycle) {
        EXPECT_EQ(count, 1) << "daemon " << n << " hit entry " << id << " back to back";
        hits += count;
      }
    }
  }
  requests = Requests(server);
  next = NextRuns(db_);
  int total = 0;
  for (int id = 1; id <= 20; ++id) {
    EXPECT_GE(requests[id], 3) << "entry " << id << " not hit by the three daemons";
    total += requests[id];
    EXPECT_EQ(ParseLocalTimestamp(next[id]), ParseLocalTimestamp(behind) + requests[id] * 60) << id;
  }
  EXPECT_EQ(total, 40 + hits);
}

// Two daemons with a host cap (-H 2) on 100 entries of one slow host (a
// reply in 500 ms): more than a daemon can hit while its claims (-s 10)
// hold, and the first claims them all before the second starts. A hit
// starts only while its claim covers it (-w, 2 s), so what the first cannot
// reach in time it hands back, and the second takes that up: each entry is
// requested once and moved on once, and no row keeps the run time a claim
// noted.
TEST_P(Claims, WithAHostCapEachEntryIsHitOnceWithinItsClaim) {
  ASSERT_TRUE(Exec(db_, "drop table schedule_2"));
  testsupport::CreateShippedScheduleTable(db_);
  SlowServer server(500);
  const int kEntries = 100;
  const std::string due = LocalTimestamp(-100);
  AddEntries(db_, 1, kEntries, server.port(), due);
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_timeout = 2"));
  testsupport::RunResult runs[2];
  std::vector<std::thread> daemons;
  auto start = [&](int n) {
    daemons.emplace_back([&, n] {
      runs[n] = Daemon(db_, n, {"-s", "10", "-c", "8", "-H", "2", "-w", "-i", "4"});
    });
  };
  start(0);
  for (int i = 0; i < 500 && server.requests().empty(); ++i) usleep(20 * 1000);
  start(1);
  int moved = 0;
  for (int i = 0; i < 600 && moved < kEntries; ++i) {
    usleep(100 * 1000);
    moved = 0;
    for (auto& [id, next] : NextRuns(db_)) moved += ParseLocalTimestamp(next) > time(nullptr) + 60;
  }
  for (int n = 0; n < 2; ++n) Signal(db_, n, SIGTERM);
  for (auto& d : daemons) d.join();
  for (int n = 0; n < 2; ++n) EXPECT_EQ(runs[n].status, 0) << runs[n].out << runs[n].err;
  EXPECT_EQ(moved, kEntries);
  auto requests = Requests(server);
  auto next = NextRuns(db_);
  for (int id = 1; id <= kEntries; ++id) {
    EXPECT_EQ(requests[id], 1) << "entry " << id;
    EXPECT_EQ(ParseLocalTimestamp(next[id]), ParseLocalTimestamp(due) + kInterval) << id;
  }
  EXPECT_EQ(Query(db_, "select count(*) from schedule_2 where i_run is not null")[0][0], "0");
}

// The value of an Idempotency-Key header in a request; "" without one.
std::string IdempotencyKey(const std::string& request) {
  size_t at = request.find("\r\nIdempotency-Key: ");
  if (at == std::string::npos) return "";
  at += 19;
  return request.substr(at, request.find("\r\n", at) - at);
}

// A daemon killed in the middle of a POST that may be retried leaves its
// claim; the daemon that takes the entry over once the claim has expired
// goes on with that run: the same Idempotency-Key (the entry and the run's
// own time, not the claim time), and the next run counted from the run's
// time.
TEST_P(Claims, ARunTakenOverKeepsItsTimeAndKey) {
  ASSERT_TRUE(Exec(db_, "drop table schedule_2"));
  testsupport::CreateShippedScheduleTable(db_);
  testsupport::LoopbackPeer peer(
      [&](int fd) {
        peer.Record(testsupport::ReadUntil(fd, "\r\n\r\n"));
        if (peer.accepted() == 1)
          testsupport::ReadToClose(fd, 30000);  // until its daemon is killed
        else
          testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
      },
      2);
  const std::string due = LocalTimestamp(-100);
  ASSERT_TRUE(Exec(db_,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_start, i_stop, i_method, i_retries) values (1, " +
                       std::to_string(peer.port()) + ", '/run', '127.0.0.1', 30, " +
                       std::to_string(kInterval) + ", '" + due + "', 0, 1, 'POST', 1)"));
  testsupport::RunResult a, b;
  std::thread first([&] { a = Daemon(db_, 0, {"-s", "10", "-i", "60"}); });
  for (int i = 0; i < 250 && peer.records().empty(); ++i) usleep(20 * 1000);
  Signal(db_, 0, SIGKILL);
  first.join();
  ASSERT_EQ(peer.records().size(), 1u) << a.out;
  std::thread second([&] { b = Daemon(db_, 1, {"-s", "10", "-i", "4"}); });
  for (int i = 0; i < 300 && ParseLocalTimestamp(NextRuns(db_)[1]) < time(nullptr) + 60; ++i)
    usleep(100 * 1000);
  Signal(db_, 1, SIGTERM);
  second.join();
  EXPECT_EQ(a.signal, SIGKILL);
  EXPECT_EQ(b.status, 0) << b.out;
  auto records = peer.records();
  ASSERT_EQ(records.size(), 2u) << b.out;
  const std::string key = "1-" + std::to_string(ParseLocalTimestamp(due));
  EXPECT_EQ(IdempotencyKey(records[0]), key);
  EXPECT_EQ(IdempotencyKey(records[1]), key) << "the run taken over got another key";
  auto row = Query(db_, "select i_next, i_attempt, i_run from schedule_2 where id = 1");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(ParseLocalTimestamp(row[0][0].substr(0, 19)), ParseLocalTimestamp(due) + kInterval)
      << "the next run was not counted from the run's own time";
  EXPECT_EQ(row[0][1], "<NULL>");
  EXPECT_EQ(row[0][2], "<NULL>");
}

INSTANTIATE_TEST_SUITE_P(Databases, Claims, testing::Values("postgres", "mariadb"));

// SQLite cannot skip locked rows: sharing is refused at start-up.
TEST(ClaimsOnSqlite, AreRefusedAtStartUp) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-s", "60", "-i", "4"});
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 30000);
  const std::string refusal =
      "Using 4s interval.\r\nSharing the table needs PostgreSQL or MariaDB 10.6 or later, which "
      "skip locked rows; this data source is SQLite ";
  ASSERT_NE(r.out.find("Sharing the table, claims held 60s.\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(refusal), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), ".\r\n");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
