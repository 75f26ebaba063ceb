// Entries with a calendar schedule (i_cron, i_zone), end to end: jantor
// runs one cycle with its clock set by faketime, in UTC, against entries
// read in America/New_York across the nights its clock changes, and the
// i_next each hit leaves behind is checked to the second.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

constexpr char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

class Calendar : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTableWithCalls(db_);
    testsupport::CreateResultsTable(db_);
  }

  void Add(int id, const std::string& next, const std::string& cron, const std::string& zone,
           int interval = 600) {
    auto text = [](const std::string& value) {
      return value.empty() ? std::string("NULL") : "'" + value + "'";
    };
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next, i_start, i_stop, i_cron, i_zone) values (" +
                         std::to_string(id) + ", 9, '/c', '127.0.0.1', 5, " +
                         std::to_string(interval) + ", '" + next + "', 0, 1, " + text(cron) +
                         ", " + text(zone) + ")"));
  }

  // A run of two cycles four seconds apart (-r 1 -i 4); with a fake start ("YYYY-MM-DD HH:MM:SS", UTC) under faketime.
  testsupport::RunResult Cycle(const std::string& fake_start) {
    std::vector<std::string> args = db_.Args();
    for (const char* a : {"-i", "4", "-r", "1", "-q", "-l", "hit_results"}) args.push_back(a);
    std::vector<std::string> env = testsupport::OdbcEnv();
    if (!fake_start.empty()) {
      env.push_back("TZ=UTC");
      env.push_back(std::string("LD_PRELOAD=") + kFaketime);
      env.push_back("FAKETIME=@" + fake_start);
      env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
      env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    return testsupport::RunJantor(args, env, 60000);
  }

  std::string Next(int id) {
    return Query(db_, "select i_next from schedule_2 where id = " + std::to_string(id))[0][0].substr(
        0, 19);
  }

  std::vector<std::string> Result(int id) {
    auto rows = Query(db_, "select outcome, reason from hit_results where entry_id = " +
                               std::to_string(id));
    return rows.empty() ? std::vector<std::string>{} : rows.back();
  }

  int CountRows() { return std::stoi(Query(db_, "select count(*) from hit_results")[0][0]); }

  TestDb db_;
};

// The clock is faked for jantor alone, so these need no server database.
class CalendarOnSqlite : public Calendar {};

// Each case: an entry due at its i_next, a run at the fake time (UTC),
// and the i_next it must then have (UTC). New York is UTC-5 in winter,
// UTC-4 in summer; its clock goes forward at 02:00 on 2027-03-14 and back
// at 02:00 on 2027-11-07.
TEST_P(CalendarOnSqlite, ClockChangesAndCatchUpMoveEntriesAsWrittenDown) {
  struct Case {
    const char* what;
    const char* next;  // as stored, due
    const char* cron;
    const char* zone;
    const char* now;       // the cycle's fake time
    const char* expected;  // i_next after the hit
  };
  const std::vector<Case> cases = {
      {"02:30 does not exist on the night the clock goes forward: 03:00 EDT", "2027-03-14 06:00:00",
       "30 2 * * *", "America/New_York", "2027-03-14 06:50:00", "2027-03-14 07:00:00"},
      {"and the next night 02:30 EDT again", "2027-03-14 07:00:00", "30 2 * * *",
       "America/New_York", "2027-03-14 07:00:30", "2027-03-15 06:30:00"},
      {"01:30 happens twice on the night the clock goes back: its first, EDT",
       "2027-11-07 04:00:00", "30 1 * * *", "America/New_York", "2027-11-07 04:50:00",
       "2027-11-07 05:30:00"},
      {"and not its second, EST, an hour later", "2027-11-07 05:30:00", "30 1 * * *",
       "America/New_York", "2027-11-07 05:31:00", "2027-11-08 06:30:00"},
      {"every hour, once for each hour that exists", "2027-11-07 05:00:00", "0 * * * *",
       "America/New_York", "2027-11-07 05:00:30", "2027-11-07 07:00:00"},
      {"three days behind: one hit, then the next occurrence after now", "2027-05-07 09:00:00",
       "0 9 * * *", "", "2027-05-10 12:00:00", "2027-05-11 09:00:00"},
      {"weekday mornings in Berlin, from a Friday noon to Monday 09:00 CEST", "2027-05-14 07:00:00",
       "0 9 * * mon-fri", "Europe/Berlin", "2027-05-14 10:00:00", "2027-05-17 07:00:00"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Exec(db_, "delete from schedule_2"));
    ASSERT_TRUE(Exec(db_, "delete from hit_results"));
    Add(1, c.next, c.cron, c.zone);
    auto r = Cycle(c.now);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.out.substr(0, 2000);
    EXPECT_EQ(Next(1), c.expected) << c.what;
    EXPECT_EQ(CountRows(), 1) << c.what << ": hit once in the run's two cycles";
  }
}

// Refused schedules are not hit: bad-schedule rows naming the field, and the
// entry tried again after its interval (or an hour when it has none).
TEST_P(CalendarOnSqlite, RefusedSchedulesAreNotHitAndWaitTheirInterval) {
  const std::string now = "2027-06-01 12:00:00";
  Add(1, "2027-06-01 11:00:00", "0 0 30 2 *", "", 600);
  Add(2, "2027-06-01 11:00:00", "0 9 * * *", "Mars/Olympus_Mons", 0);
  Add(3, "2027-06-01 11:00:00", "61 * * * *", "", 900);
  Add(4, "2027-06-01 11:00:00", "", "", 600);  // no i_cron: an interval a cycle, as always
  auto r = Cycle(now);
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_EQ(Result(1), (std::vector<std::string>{"bad-schedule",
                                                 "day of month 30 never falls in month 2"}));
  EXPECT_EQ(Result(2), (std::vector<std::string>{"bad-schedule", "unknown time zone"}));
  EXPECT_EQ(Result(3), (std::vector<std::string>{"bad-schedule", "minute: 61 is out of 0-59"}));
  // The fake clock runs on from its start: a second or two at most.
  EXPECT_EQ(Next(1).substr(0, 17), "2027-06-01 12:10:");
  EXPECT_EQ(Next(2).substr(0, 17), "2027-06-01 13:00:");
  EXPECT_EQ(Next(3).substr(0, 17), "2027-06-01 12:15:");
  EXPECT_EQ(Next(4), "2027-06-01 11:20:00");
  EXPECT_NE(r.out.find("Hit failed - id 1 - 127.0.0.1:9/c - bad-schedule - day of month 30 "
                       "never falls in month 2\r\n"),
            std::string::npos)
      << r.out.substr(0, 2000);
}

// On the server databases, without a fake clock: an entry every five
// minutes moves to the next multiple of five after now.
TEST_P(Calendar, AnEntryEveryFiveMinutesMovesToTheNextOne) {
  Add(1, LocalTimestamp(-3600), "*/5 * * * *", "");
  // The daemon reads its present after this, so the next match is strictly
  // later than it (a check against the clock after the cycle could meet the
  // very match the daemon chose).
  std::string before = LocalTimestamp(0);
  auto r = Cycle("");
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  std::string next = Next(1);
  EXPECT_GT(next, before);
  EXPECT_LE(next, LocalTimestamp(300));
  EXPECT_EQ(std::stoi(next.substr(14, 2)) % 5, 0) << next;
  EXPECT_EQ(next.substr(17), "00") << next;
}

// i_splay: a thousand entries due together every two minutes spread over
// the minute, each at a second of its own that a restart finds again, and
// each interval step still 120 s. A calendar entry with a splay runs its offset
// after each match, the night the clock goes forward too, and a present
// between a match and its shifted time still has that run ahead.
TEST_P(CalendarOnSqlite, SplayedEntriesSpreadAndKeepTheirPlaces) {
  ASSERT_TRUE(Exec(db_, "alter table schedule_2 add column i_splay integer"));
  const int kEntries = 1000;
  std::string values;
  for (int id = 1; id <= kEntries; ++id)
    values += (id == 1 ? "(" : ", (") + std::to_string(id) +
              ", 9, '/c', '127.0.0.1', 5, 120, '2027-06-01 11:59:00', 0, 1, 60)";
  const std::string insert =
      "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
      "i_start, i_stop, i_splay) values ";
  ASSERT_TRUE(Exec(db_, insert + values));
  auto nexts = [&] {
    std::vector<std::string> out;
    for (auto& row : Query(db_, "select i_next from schedule_2 where id <= " +
                                    std::to_string(kEntries) + " order by id"))
      out.push_back(row[0].substr(0, 19));
    return out;
  };
  auto seconds = [](const std::string& t) { return std::stoi(t.substr(14, 2)) * 60 + std::stoi(t.substr(17, 2)); };

  ASSERT_EQ(Cycle("2027-06-01 12:00:00").status, 0);
  std::vector<std::string> first = nexts();
  std::set<std::string> distinct(first.begin(), first.end());
  for (const std::string& next : first) ASSERT_EQ(next.substr(0, 16), "2027-06-01 12:01") << next;
  EXPECT_GE(distinct.size(), 55u) << "a thousand entries over 60 seconds";

  // A restart (another process) puts each entry at the same second.
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '2027-06-01 11:59:00'"));
  ASSERT_EQ(Cycle("2027-06-01 12:00:00").status, 0);
  EXPECT_EQ(nexts(), first);

  // The next step of each is its interval later, to the second.
  ASSERT_EQ(Cycle("2027-06-01 12:02:00").status, 0);
  std::vector<std::string> second = nexts();
  for (int i = 0; i < kEntries; ++i)
    EXPECT_EQ(seconds(second[i]) - seconds(first[i]), 120) << first[i] << " then " << second[i];

  // 02:30 New York does not exist on 2027-03-14: 03:00 EDT (07:00 UTC) plus
  // the entry's offset, and the next night 02:30 EDT plus the same.
  ASSERT_TRUE(Exec(db_, "delete from schedule_2"));
  ASSERT_TRUE(Exec(db_, "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                        "i_interval, i_next, i_start, i_stop, i_cron, i_zone, i_splay) values "
                        "(7, 9, '/c', '127.0.0.1', 5, 600, '2027-03-14 06:00:00', 0, 1, "
                        "'30 2 * * *', 'America/New_York', 600)"));
  ASSERT_EQ(Cycle("2027-03-14 06:50:00").status, 0);
  std::string shifted = Next(7);
  ASSERT_EQ(shifted.substr(0, 14), "2027-03-14 07:") << shifted;
  int offset = seconds(shifted);
  EXPECT_LE(offset, 600);
  char next_night[32];  // 06:30 UTC plus the offset
  snprintf(next_night, sizeof next_night, "2027-03-15 06:%02d:%02d", 30 + offset / 60, offset % 60);
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '" + shifted + "'"));
  ASSERT_EQ(Cycle(shifted).status, 0);
  EXPECT_EQ(Next(7), next_night);
  if (offset > 10) {
    // Due before its match, run in a cycle between the match and the
    // shifted time: the shifted time is still ahead, so it is the next run.
    ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '2027-03-15 06:00:00'"));
    ASSERT_EQ(Cycle("2027-03-15 06:30:01").status, 0);
    EXPECT_EQ(Next(7), next_night);
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, Calendar, testing::Values("sqlite", "postgres", "mariadb"));
INSTANTIATE_TEST_SUITE_P(Databases, CalendarOnSqlite, testing::Values("sqlite"));

}  // namespace
