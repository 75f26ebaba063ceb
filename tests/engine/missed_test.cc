// Runs missed while jantor was away (i_missed) and entries paused with an
// end (i_paused_until): under a faked clock, the hits a two-cycle run makes,
// the i_next each entry is left with, the "skipped" results rows and the
// count of skipped runs; and on PostgreSQL two sharing daemons that find
// one ended pause.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::Query;
using testsupport::TestDb;

constexpr char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

std::string Text(const std::string& value) {
  return value.empty() ? std::string("NULL") : "'" + value + "'";
}

// A peer that answers 200 to every request and keeps its path.
testsupport::LoopbackPeer::Script Answering(testsupport::LoopbackPeer* const* peer) {
  return [peer](int fd) {
    std::string request = testsupport::ReadUntil(fd, "\r\n\r\n");
    size_t space = request.find(' ');
    if (space != std::string::npos)
      (*peer)->Record(request.substr(space + 1, request.find(' ', space + 1) - space - 1));
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nfine");
  };
}

// Each case: an entry as stored, and after a run of two cycles four seconds
// apart that starts at 2026-12-09 12:00:30 (UTC, faked): the hits it made,
// its i_next, and the reason of its "skipped" row ("" for none).
TEST(MissedRuns, EachOneNoneAndPausesAfterADayDown) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateShippedScheduleTable(db);
  testsupport::CreateShippedResultsTable(db);
  struct Case {
    const char* what;
    std::string next, missed, cron, paused;
    int interval;
    std::string retry;  // "attempt|run" of a pending retry, "" for none
    int hits;
    std::string after;
    std::vector<std::string> skipped;  // the reasons of its rows that are no hit
  };
  const std::string day = "2026-12-08 12:00:00";
  const std::vector<Case> cases = {
      {"interval, NULL: each, one a cycle",
       day,
       "",
       "",
       "",
       3600,
       "",
       2,
       "2026-12-08 14:00:00",
       {}},
      {"interval, each", day, "each", "", "", 3600, "", 2, "2026-12-08 14:00:00", {}},
      {"interval, one: one run, the rest passed over, the phase kept",
       day,
       " One ",
       "",
       "",
       3600,
       "",
       1,
       "2026-12-09 13:00:00",
       {"skipped 24 runs, 2026-12-08 13:00:00 to 2026-12-09 12:00:00"}},
      {"interval, none: no run",
       day,
       "none",
       "",
       "",
       3600,
       "",
       0,
       "2026-12-09 13:00:00",
       {"skipped 25 runs, 2026-12-08 12:00:00 to 2026-12-09 12:00:00"}},
      {"interval, not behind: no word matters",
       "2026-12-09 12:00:00",
       "none",
       "",
       "",
       3600,
       "",
       1,
       "2026-12-09 13:00:00",
       {}},
      {"calendar, NULL: one",
       day,
       "",
       "0 * * * *",
       "",
       3600,
       "",
       1,
       "2026-12-09 13:00:00",
       {"skipped 24 runs, 2026-12-08 13:00:00 to 2026-12-09 12:00:00"}},
      {"calendar, each: one a cycle",
       day,
       "each",
       "0 * * * *",
       "",
       3600,
       "",
       2,
       "2026-12-08 14:00:00",
       {}},
      {"calendar, none",
       day,
       "none",
       "0 * * * *",
       "",
       3600,
       "",
       0,
       "2026-12-09 13:00:00",
       {"skipped 25 runs, 2026-12-08 12:00:00 to 2026-12-09 12:00:00"}},
      {"an unknown word is refused",
       day,
       "twice",
       "",
       "",
       3600,
       "",
       0,
       "2026-12-09 13:00:",
       {"i_missed: unknown word 'twice'"}},
      {"paused: not hit, its schedule untouched",
       day,
       "",
       "",
       "2026-12-09 18:00:00",
       3600,
       "",
       0,
       day,
       {}},
      {"a pause that ends while jantor runs: back at its first run after the end",
       "2026-12-09 12:00:21",
       "",
       "",
       "2026-12-09 12:00:33",
       3,
       "",
       1,
       "2026-12-09 12:00:36",
       {"skipped 4 runs, 2026-12-09 12:00:21 to 2026-12-09 12:00:30, while paused"}},
      {"a pause that ended while jantor was down, then one for the missed runs",
       day,
       "one",
       "",
       "2026-12-09 06:30:00",
       3600,
       "",
       1,
       "2026-12-09 13:00:00",
       {"skipped 19 runs, 2026-12-08 12:00:00 to 2026-12-09 06:00:00, while paused",
        "skipped 5 runs, 2026-12-09 08:00:00 to 2026-12-09 12:00:00"}},
      {"a retry pending across a pause is made after it",
       "2026-12-09 12:00:10",
       "",
       "",
       "2026-12-09 12:00:20",
       3600,
       "2|2026-12-09 12:00:00",
       1,
       "2026-12-09 13:00:00",
       {}},
      {"a retry whose run's next time came in the pause ends with it",
       "2026-12-09 11:00:40",
       "",
       "",
       "2026-12-09 12:00:25",
       3600,
       "2|2026-12-09 11:00:00",
       0,
       "2026-12-09 13:00:00",
       {"skipped 1 run, 2026-12-09 12:00:00, while paused"}},
  };
  testsupport::LoopbackPeer* peer_ptr = nullptr;
  testsupport::LoopbackPeer peer(Answering(&peer_ptr), 40);
  peer_ptr = &peer;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string attempt = "NULL", run = "NULL";
    if (!c.retry.empty()) {
      attempt = c.retry.substr(0, c.retry.find('|'));
      run = Text(c.retry.substr(c.retry.find('|') + 1));
    }
    ASSERT_TRUE(Exec(db,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                     "i_next, i_cron, i_missed, i_paused_until, i_retries, i_attempt, i_run) "
                     "values (" +
                         std::to_string(i + 1) + ", " + std::to_string(peer.port()) + ", '/e" +
                         std::to_string(i + 1) + "', '127.0.0.1', 5, " +
                         std::to_string(c.interval) + ", '" + c.next + "', " + Text(c.cron) + ", " +
                         Text(c.missed) + ", " + Text(c.paused) + ", " +
                         (c.retry.empty() ? "NULL" : "2") + ", " + attempt + ", " + run + ")"))
        << c.what;
  }
  int metrics_port = testsupport::UnusedPort();
  std::string metrics;
  std::thread scraper([&] { metrics = servicetest::AwaitFirstCycle(metrics_port); });
  std::vector<std::string> args = db.Args();
  for (std::string a : {"-i", "4", "-r", "1", "-q", "-l", "hit_results", "-m"}) args.push_back(a);
  args.push_back(std::to_string(metrics_port));
  std::vector<std::string> env = testsupport::OdbcEnv();
  for (std::string e :
       {std::string("TZ=UTC"), std::string("LD_PRELOAD=") + kFaketime,
        std::string("FAKETIME=@2026-12-09 12:00:30"), std::string("FAKETIME_DONT_FAKE_MONOTONIC=1"),
        std::string("ASAN_OPTIONS=verify_asan_link_order=0")})
    env.push_back(e);
  auto r = testsupport::RunJantor(args, env, 60000);
  scraper.join();
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);

  std::map<std::string, int> hits;
  for (const std::string& path : peer.records()) ++hits[path];
  long long skipped_in_first_cycle = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string id = std::to_string(i + 1);
    EXPECT_EQ(hits["/e" + id], c.hits) << c.what;
    std::string next = Query(db, "select i_next from schedule_2 where id = " + id)[0][0];
    EXPECT_EQ(next.substr(0, c.after.size()), c.after) << c.what;
    std::vector<std::string> reasons;
    for (auto& row : Query(db, "select reason from hit_results where entry_id = " + id +
                                   " and (outcome = 'skipped' or outcome = 'bad-schedule') "
                                   "order by id"))
      reasons.push_back(row[0]);
    EXPECT_EQ(reasons, c.skipped) << c.what;
    if (c.paused == "2026-12-09 12:00:33") continue;  // its pause ends in the second cycle
    for (const std::string& reason : c.skipped)
      if (reason.rfind("skipped ", 0) == 0) skipped_in_first_cycle += std::stoll(reason.substr(8));
  }
  // A skip is no failed run, and leaves the latest outcome alone.
  EXPECT_EQ(
      Query(db, "select i_failures, i_outcome, i_paused_until from schedule_2 where id = 4")[0],
      (std::vector<std::string>{"<NULL>", "<NULL>", "<NULL>"}));
  // The pending retry made after its pause is its run's second attempt.
  EXPECT_EQ(Query(db, "select attempt from hit_results where entry_id = 13")[0][0], "2");
  EXPECT_EQ(Query(db, "select i_attempt, i_run from schedule_2 where id = 14")[0],
            (std::vector<std::string>{"<NULL>", "<NULL>"}));
  EXPECT_EQ(servicetest::Series(metrics, "jantor_runs_skipped_total"), skipped_in_first_cycle)
      << metrics;
  EXPECT_EQ(servicetest::Series(metrics, "jantor_entries_paused"), 2) << metrics;
}

// Two daemons sharing a table find the same ended pause: one resumes it,
// with one "skipped" row, and the entry is hit once.
TEST(MissedRuns, TwoSharingDaemonsResumeAnEndedPauseOnce) {
  TestDb db = testsupport::MakeDbForCurrentTest("postgres");
  testsupport::CreateShippedScheduleTable(db);
  testsupport::CreateShippedResultsTable(db);
  testsupport::LoopbackPeer* peer_ptr = nullptr;
  testsupport::LoopbackPeer peer(Answering(&peer_ptr), 10);
  peer_ptr = &peer;
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_paused_until) values (1, " +
                       std::to_string(peer.port()) + ", '/p', '127.0.0.1', 5, 3600, '" +
                       testsupport::LocalTimestamp(-3660) + "', '" +
                       testsupport::LocalTimestamp(-90) + "')"));
  std::vector<std::string> args = db.Args();
  for (const char* a : {"-i", "4", "-r", "1", "-q", "-l", "hit_results", "-s", "30"})
    args.push_back(a);
  testsupport::RunResult runs[2];
  std::thread other([&] { runs[1] = testsupport::RunJantor(args, testsupport::OdbcEnv(), 30000); });
  runs[0] = testsupport::RunJantor(args, testsupport::OdbcEnv(), 30000);
  other.join();
  for (const auto& r : runs) ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_EQ(Query(db, "select count(*) from hit_results where outcome = 'skipped'")[0][0], "1");
  EXPECT_EQ(peer.records(), (std::vector<std::string>{"/p"}));
  EXPECT_EQ(Query(db, "select count(*) from schedule_2 where i_paused_until is null")[0][0], "1");
}

}  // namespace
