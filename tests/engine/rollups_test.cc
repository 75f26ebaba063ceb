// The hourly rollups of -l (hit_results_hourly), on each database, with
// jantor's clock set by faketime (in UTC): each hour of results is summed
// up once it is over, the hours a run missed are filled by the next one,
// none is filled twice, -k never deletes a row of an hour not yet filled,
// and -g deletes old rollups. The schedule is empty: the cycles only fill
// and prune.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::CountOf;
using testsupport::Exec;
using testsupport::Query;
using testsupport::TestDb;

constexpr char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
constexpr char kFilled[] = "Filled hit_results_hourly for the hour from ";

class Rollups : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateShippedScheduleTable(db_);
    testsupport::CreateShippedResultsTable(db_);
  }

  void AddResult(int entry, const std::string& started, int attempt, const std::string& outcome,
                 int duration_ms) {
    ASSERT_TRUE(Exec(db_,
                     "insert into hit_results (entry_id, due, started, duration_ms, outcome, "
                     "status, bytes, reason, attempt) values (" +
                         std::to_string(entry) + ", NULL, '" + started + "', " +
                         std::to_string(duration_ms) + ", '" + outcome + "', NULL, 0, NULL, " +
                         std::to_string(attempt) + ")"));
  }

  // Two cycles four seconds apart, the first at the fake time (UTC).
  testsupport::RunResult Run(const std::string& now, std::vector<std::string> more = {}) {
    std::vector<std::string> args = db_.Args();
    for (const char* a : {"-i", "4", "-r", "1", "-v", "-l", "hit_results"}) args.push_back(a);
    args.insert(args.end(), more.begin(), more.end());
    std::vector<std::string> env = testsupport::OdbcEnv();
    for (const std::string& e : {std::string("TZ=UTC"), std::string("LD_PRELOAD=") + kFaketime,
                                 "FAKETIME=@" + now, std::string("FAKETIME_DONT_FAKE_MONOTONIC=1"),
                                 std::string("ASAN_OPTIONS=verify_asan_link_order=0")})
      env.push_back(e);
    return testsupport::RunJantor(args, env, 60000);
  }

  // Each rollup as "entry hour: attempts runs failed | ok redirect
  // server-error unreachable timeout | sum max | the non-empty buckets".
  std::vector<std::string> Hours() {
    std::vector<std::string> hours;
    const char* buckets[] = {"ms_under_10",  "ms_under_25",   "ms_under_50",    "ms_under_100",
                             "ms_under_250", "ms_under_1000", "ms_under_60000", "ms_over_60000"};
    std::string columns =
        "entry_id, hour_start, attempts, runs, failed_runs, ok, redirect, server_error, "
        "unreachable, timeout, duration_ms_sum, duration_ms_max";
    for (const char* bucket : buckets) columns += std::string(", ") + bucket;
    for (auto& row : Query(
             db_, "select " + columns + " from hit_results_hourly order by hour_start, entry_id")) {
      std::string text = row[0] + " " + row[1].substr(11, 2) + ": " + row[2] + " " + row[3] + " " +
                         row[4] + " | " + row[5] + " " + row[6] + " " + row[7] + " " + row[8] +
                         " " + row[9] + " | " + row[10] + " " + row[11] + " |";
      for (size_t i = 0; i < sizeof buckets / sizeof buckets[0]; ++i)
        if (row[12 + i] != "0") text += std::string(" ") + buckets[i] + "=" + row[12 + i];
      hours.push_back(text);
    }
    return hours;
  }

  std::vector<std::string> Started() {
    std::vector<std::string> started;
    for (auto& row : Query(db_, "select started from hit_results order by started"))
      started.push_back(row[0].substr(11, 8));
    return started;
  }

  TestDb db_;
};

TEST_P(Rollups, HoursAreFilledOnceTheyAreOverAndOnlyOnce) {
  // 09: entry 1 runs three times: good; good at its retry; failed. Entry 2
  // fails at the hour's end and its retry succeeds in the next hour, where
  // it is an attempt but no run. 12 is under way when the runs start.
  AddResult(1, "2027-06-01 09:00:05", 1, "ok", 5);
  AddResult(1, "2027-06-01 09:10:05", 1, "timeout", 45000);
  AddResult(1, "2027-06-01 09:10:40", 2, "ok", 120);
  AddResult(1, "2027-06-01 09:20:05", 1, "server-error", 30);
  AddResult(2, "2027-06-01 09:59:50", 1, "unreachable", 3);
  AddResult(2, "2027-06-01 10:00:20", 2, "ok", 70);
  AddResult(1, "2027-06-01 10:30:00", 1, "ok", 60000);
  AddResult(1, "2027-06-01 11:15:00", 1, "redirect", 800);
  AddResult(1, "2027-06-01 12:00:10", 1, "ok", 10);
  const std::vector<std::string> nine = {
      "1 09: 4 3 1 | 2 0 1 0 1 | 45155 45000 | ms_under_10=1 ms_under_50=1 ms_under_250=1 "
      "ms_under_60000=1",
      "2 09: 1 1 1 | 0 0 0 1 0 | 3 3 | ms_under_10=1"};
  const std::vector<std::string> ten_eleven = {
      "1 10: 1 1 0 | 1 0 0 0 0 | 60000 60000 | ms_over_60000=1",
      "2 10: 1 0 0 | 1 0 0 0 0 | 70 70 | ms_under_100=1",
      "1 11: 1 1 0 | 0 1 0 0 0 | 800 800 | ms_under_1000=1"};

  // The database refuses the hour of 10 o'clock: 9 is filled, and -k 1
  // deletes its rows but keeps those of 10 on, which no rollup holds yet.
  ASSERT_TRUE(Exec(db_, GetParam() == "sqlite"
                            ? "create trigger refuse before insert on hit_results_hourly when "
                              "new.hour_start = '2027-06-01 10:00:00' begin select "
                              "raise(abort, 'refused'); end"
                            : "alter table hit_results_hourly add constraint refuse check "
                              "(hour_start <> '2027-06-01 10:00:00')"));
  auto r = Run("2027-06-01 12:00:30", {"-k", "1"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_EQ(Hours(), nine);
  EXPECT_EQ(Started(), (std::vector<std::string>{"10:00:20", "10:30:00", "11:15:00", "12:00:10"}));
  EXPECT_EQ(CountOf(r.out, kFilled), 1) << r.out.substr(0, 3000);

  // The next run fills 10 and 11 from their whole rows, and 9 not again.
  ASSERT_TRUE(Exec(db_, GetParam() == "sqlite"
                            ? "drop trigger refuse"
                            : "alter table hit_results_hourly drop constraint refuse"));
  r = Run("2027-06-01 12:00:40", {"-k", "1"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  std::vector<std::string> expected = nine;
  expected.insert(expected.end(), ten_eleven.begin(), ten_eleven.end());
  EXPECT_EQ(Hours(), expected);
  EXPECT_EQ(CountOf(r.out, kFilled), 2) << r.out.substr(0, 3000);
  EXPECT_NE(r.out.find(std::string(kFilled) + "2027-06-01 11:00:00: 1 entries"), std::string::npos);
  EXPECT_EQ(Started(), (std::vector<std::string>{"11:15:00", "12:00:10"}));

  // Two hours later, after a row of 11 that came too late for its hour:
  // 12 and 13 are filled, and 11 stays as it was.
  AddResult(1, "2027-06-01 13:05:00", 1, "timeout", 100);
  AddResult(3, "2027-06-01 11:59:59", 1, "ok", 1);
  r = Run("2027-06-01 14:00:30");
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  expected.push_back("1 12: 1 1 0 | 1 0 0 0 0 | 10 10 | ms_under_25=1");
  expected.push_back("1 13: 1 1 1 | 0 0 0 0 1 | 100 100 | ms_under_250=1");
  EXPECT_EQ(Hours(), expected);
  EXPECT_EQ(CountOf(r.out, kFilled), 2) << r.out.substr(0, 3000);
}

// -g deletes the rollups older than its days, 400 unless given, and no
// hour older than that is filled; -g 0 keeps every row.
TEST_P(Rollups, OldRollupsGoAfterTheirDays) {
  auto hour_row = [&](int entry, const std::string& hour) {
    std::string zeros;
    for (int i = 0; i < 33; ++i) zeros += ", 0";  // every column after the hour
    ASSERT_TRUE(Exec(db_, "insert into hit_results_hourly values (" + std::to_string(entry) +
                              ", '" + hour + "'" + zeros + ")"));
  };
  auto hours = [&] {
    std::vector<std::string> rows;
    for (auto& row : Query(db_,
                           "select entry_id, hour_start from hit_results_hourly order by "
                           "entry_id"))
      rows.push_back(row[0] + " " + row[1].substr(0, 13));
    return rows;
  };
  // 401 days before the runs, and the results of 401 and 399 days before.
  hour_row(1, "2026-04-26 10:00:00");
  AddResult(3, "2026-04-26 11:00:00", 1, "ok", 1);
  AddResult(2, "2026-04-28 10:30:00", 1, "ok", 1);
  auto r = Run("2027-06-01 12:00:30");
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_EQ(hours(), std::vector<std::string>{"2 2026-04-28 10"});
  hour_row(4, "2025-01-01 00:00:00");
  r = Run("2027-06-01 12:00:30", {"-g", "0"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_EQ(hours(), (std::vector<std::string>{"2 2026-04-28 10", "4 2025-01-01 00"}));
  r = Run("2027-06-01 12:00:30", {"-g", "1"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_EQ(hours(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Databases, Rollups, testing::Values("sqlite", "postgres", "mariadb"));

}  // namespace
