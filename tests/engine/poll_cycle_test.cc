// Poll cycles against real databases and real time: which entries are
// due, what is written back, how many cycles a run time gives, and what a
// killed process leaves behind.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::CountOf;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::RunJantor;
using testsupport::TestDb;

class PollCycle : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTable(db_);
  }

  // Adds an entry; next and interval are SQL literals ("NULL" allowed).
  void AddEntry(int id, const std::string& next, const std::string& interval, double start = 0,
                double stop = 1) {
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next, i_start, i_stop) values (" +
                         std::to_string(id) + ", " + std::to_string(testsupport_port_) +
                         ", '/job', '127.0.0.1', 30, " + interval + ", " + next + ", " +
                         std::to_string(start) + ", " + std::to_string(stop) + ")"));
  }

  std::map<int, std::string> NextRuns() {
    std::map<int, std::string> next;
    for (auto& row : Query(db_, "select id, i_next from schedule_2"))
      next[std::stoi(row[0])] = row[1].substr(0, 19);
    return next;
  }

  testsupport::RunResult Jantor(std::vector<std::string> extra, std::vector<std::string> env = {},
                                int kill_after_ms = 0, int kill_signal = SIGTERM) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), extra.begin(), extra.end());
    auto odbc = testsupport::OdbcEnv();
    env.insert(env.end(), odbc.begin(), odbc.end());
    return RunJantor(args, env, 120000, kill_after_ms, kill_signal);
  }

  TestDb db_;
  // Entries point at a port where nothing listens: these tests are about
  // the schedule, and a refused hit is rescheduled like a good one.
  int testsupport_port_ = 9;
};

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

TEST_P(PollCycle, OnlyDueEntriesMoveOnByTheirInterval) {
  std::string past = LocalTimestamp(-100);
  std::string future = LocalTimestamp(+1000);
  AddEntry(1, Quoted(past), "3600");
  AddEntry(2, Quoted(future), "3600");
  AddEntry(3, Quoted(past), "3600", 2.0, 3.0);    // window never contains now
  AddEntry(4, Quoted(past), "3600", 0.99, 0.01);  // start after stop: never due
  AddEntry(5, "NULL", "3600");
  AddEntry(6, Quoted(past), "3600");
  AddEntry(7, Quoted(past), "7200");

  auto r = Jantor({"-i", "4", "-r", "1"});
  ASSERT_EQ(r.status, 0) << r.out;
  auto next = NextRuns();
  EXPECT_EQ(ParseLocalTimestamp(next[1]), ParseLocalTimestamp(past) + 3600);
  EXPECT_EQ(next[2], future);
  EXPECT_EQ(next[3], past);
  EXPECT_EQ(next[4], past);
  EXPECT_EQ(next[5], "<NULL>");
  EXPECT_EQ(ParseLocalTimestamp(next[6]), ParseLocalTimestamp(past) + 3600);
  EXPECT_EQ(ParseLocalTimestamp(next[7]), ParseLocalTimestamp(past) + 7200);
}

TEST_P(PollCycle, EntryFarBehindMovesOnOneIntervalPerCycle) {
  std::string behind = LocalTimestamp(-1000);
  AddEntry(1, Quoted(behind), "10");
  // -r 6 with -i 4: cycles at about 0, 4 and 8 seconds, then the end.
  auto r = Jantor({"-i", "4", "-r", "6", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(CountOf(r.out, "The time is"), 3);
  EXPECT_EQ(ParseLocalTimestamp(NextRuns()[1]), ParseLocalTimestamp(behind) + 30);
}

TEST_P(PollCycle, EmptyNullOrZeroIntervalKeepsNextRun) {
  std::string past = LocalTimestamp(-100);
  AddEntry(1, Quoted(past), "NULL");
  AddEntry(2, Quoted(past), "0");
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  auto next = NextRuns();
  EXPECT_EQ(next[1], past);
  EXPECT_EQ(next[2], past);
  EXPECT_EQ(CountOf(r.out, "Nothing to check"), 0) << r.out;
}

TEST_P(PollCycle, VerboseCycleShowsTimeAndDayFraction) {
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string prefix = "\r\nThe time is '";
  size_t at = r.out.find(prefix);
  ASSERT_NE(at, std::string::npos) << r.out;
  std::string stamp = r.out.substr(at + prefix.size(), 19);
  std::string fraction = r.out.substr(at + prefix.size() + 19 + 6, 8);
  std::string lines = prefix + stamp + "' and " + fraction +
                      " is the current day fraction.\r\nNothing to check - recheck in 4s.\r\n";
  EXPECT_EQ(r.out.substr(at, lines.size()), lines) << r.out;
  // The fraction is the stamp's own time of day, with six decimals.
  struct tm tm = {};
  ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << stamp;
  char expected[16];
  snprintf(expected, sizeof expected, "%f",
           (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0);
  EXPECT_EQ(fraction, expected);
  EXPECT_EQ(CountOf(r.out, "Nothing to check - recheck in 4s.\r\n"), 2);
}

TEST_P(PollCycle, WithoutVerboseTheCyclePrintsNothingOfItsOwn) {
  AddEntry(1, Quoted(LocalTimestamp(-3600 * 30)), "3600");
  auto r = Jantor({"-i", "4", "-r", "1"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("The time is"), std::string::npos);
  EXPECT_EQ(r.out.find("Nothing to check"), std::string::npos);
  EXPECT_EQ(r.out.find("Error Executing"), std::string::npos);
}

TEST_P(PollCycle, FailedUpdateShowsTheUpdateTextAndEndsWithOne) {
  std::string past = LocalTimestamp(-100);
  AddEntry(7, Quoted(past), "3600");
  if (GetParam() == "sqlite") {
    ASSERT_TRUE(Exec(db_,
                     "create trigger refuse before update on schedule_2 "
                     "begin select raise(abort, 'refused'); end"));
  } else {
    ASSERT_TRUE(Exec(db_,
                     "create function refuse() returns trigger language plpgsql as "
                     "$$ begin raise exception 'refused'; end $$"));
    ASSERT_TRUE(Exec(db_,
                     "create trigger refuse before update on schedule_2 "
                     "for each row execute function refuse()"));
  }
  auto r = Jantor({"-i", "4"});
  time_t expected = ParseLocalTimestamp(past) + 3600;
  struct tm tm;
  localtime_r(&expected, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  EXPECT_EQ(r.out.substr(r.out.find("Error Executing")),
            std::string("Error Executing - update schedule_2 set i_next = '") + text +
                "' where id = 7\r\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(NextRuns()[7], past);
}

TEST_P(PollCycle, TableWithoutNextRunFailsAtTheFirstSelect) {
  ASSERT_TRUE(Exec(db_, "create table no_next (id integer, i_start float, i_stop float)"));
  auto r = Jantor({"-i", "4", "-t", "no_next"});
  const std::string head =
      "Error Executing - select id, i_user, i_pass, i_port, i_object, "
      "i_host, i_timeout, i_interval, i_next from no_next where i_next < '";
  size_t at = r.out.find(head);
  ASSERT_NE(at, std::string::npos) << r.out;
  std::string tail = r.out.substr(at + head.size() + 19);
  ASSERT_EQ(tail.substr(0, 6), "' AND ") << tail;
  std::string fraction = tail.substr(6, 8);
  EXPECT_EQ(tail, "' AND " + fraction + " >= i_start and " + fraction + " <= i_stop\r\n");
  EXPECT_EQ(r.status, 1);
}

TEST_P(PollCycle, UnreadableNextRunIsRescheduledFromNow) {
  // SQLite keeps whatever text it is given; PostgreSQL refuses such text,
  // but accepts a moment before 1970, which the scanners refuse too.
  std::string odd = GetParam() == "sqlite" ? "'01.02.2026 10:00:00'" : "'1969-12-31 12:00:00'";
  AddEntry(1, odd, "3600");
  time_t before = time(nullptr);
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("rescheduled from now"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r\n***** Setting Error 580 *****\r\n\r\n"), std::string::npos);
  time_t next = ParseLocalTimestamp(NextRuns()[1]);
  EXPECT_GE(next, before + 3600);
  EXPECT_LE(next, before + 3600 + 10);
}

TEST_P(PollCycle, NextRunIsTheStoredWallClockTimePlusTheIntervalAcrossClockChanges) {
  // 2026-03-29: Berlin's clocks go from 02:00 to 03:00, so that day's
  // midnight is standard time while 03:30 is summer time. The stored time is
  // read as the wall-clock time it is, not with midnight's flag, so adding
  // the interval never shifts it by the hour of the change.
  AddEntry(1, "'2026-03-29 03:30:00'", "60");
  AddEntry(2, "'2026-03-28 03:30:00'", "60");
  AddEntry(3, "'2026-03-29 01:59:30'", "60");    // moves across the change
  AddEntry(4, "'2026-10-25 14:00:00'", "3600");  // the day the clocks go back
  auto r = Jantor({"-i", "4", "-r", "1"}, {"TZ=Europe/Berlin"});
  ASSERT_EQ(r.status, 0) << r.out;
  auto next = NextRuns();
  // Two cycles: every entry is in the past and due both times.
  EXPECT_EQ(next[1], "2026-03-29 03:32:00");
  EXPECT_EQ(next[2], "2026-03-28 03:32:00");
  EXPECT_EQ(next[3], "2026-03-29 03:01:30");  // 01:59:30 CET + 120 s
  EXPECT_EQ(next[4], "2026-10-25 16:00:00");
}

TEST_P(PollCycle, KilledWhileSleepingLeavesValidTimesAndWholeOutput) {
  std::map<int, std::string> stored;
  for (int id = 1; id <= 5; ++id) {
    stored[id] = LocalTimestamp(-5000 * id);
    AddEntry(id, Quoted(stored[id]), "60");
  }
  // SIGKILL: SIGTERM would be a clean stop, which flushes on its way out.
  auto r = Jantor({"-i", "30", "-v"}, {}, 3000, SIGKILL);
  EXPECT_EQ(r.signal, SIGKILL);
  // The first cycle's lines all reached the pipe before the sleep.
  EXPECT_EQ(CountOf(r.out, "The time is"), 1) << r.out;
  EXPECT_EQ(CountOf(r.out, "In scanodbc\r\n"), 10) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n");
  for (auto& [id, next] : NextRuns())
    EXPECT_EQ(ParseLocalTimestamp(next), ParseLocalTimestamp(stored[id]) + 60) << id;
}

INSTANTIATE_TEST_SUITE_P(Databases, PollCycle, testing::Values("sqlite", "postgres"));

}  // namespace
