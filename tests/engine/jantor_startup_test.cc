// Database start-up against real data sources: a SQLite file through its
// ODBC driver and the test PostgreSQL server through psqlODBC.
#include <gtest/gtest.h>

#include <string>

#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::MakeDb;
using testsupport::RunJantor;
using testsupport::TestDb;

class StartUp : public testing::TestWithParam<std::string> {
 protected:
  TestDb db_ = testsupport::MakeDbForCurrentTest(GetParam());

  testsupport::RunResult Jantor(std::vector<std::string> extra) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), extra.begin(), extra.end());
    return RunJantor(args, testsupport::OdbcEnv(), 60000);
  }
};

TEST_P(StartUp, GoodTablePassesBothChecksAndTheCyclesRun) {
  testsupport::CreateScheduleTable(db_);
  auto r = Jantor({"-i", "4", "-r", "1"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Could not"), std::string::npos) << r.out;
}

TEST_P(StartUp, MissingTableIsNamed) {
  auto r = Jantor({"-t", "nosuch"});
  EXPECT_NE(r.out.find("Using nosuch table.\r\nError - No such table as nosuch\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 33), "Error - No such table as nosuch\r\n");
  EXPECT_EQ(r.status, 1);
}

TEST_P(StartUp, TableWithoutStopColumnIsNotOfTheScheduleFormat) {
  ASSERT_TRUE(Exec(db_,
                   "create table old_jobs (id integer, i_user varchar(62), i_pass varchar(62), "
                   "i_port integer, i_object varchar(126), i_host varchar(126), i_timeout integer, "
                   "i_interval integer, i_next timestamp, i_start float)"));
  auto r = Jantor({"-t", "old_jobs"});
  EXPECT_EQ(r.out.substr(r.out.find("Using old_jobs table.\r\n") + 23),
            "Error - table old_jobs is not v2.x schedule format.\r\n");
  EXPECT_EQ(r.status, 1);
}

TEST_P(StartUp, TableWithOnlyAStopColumnPassesAndFailsAtTheFirstSelect) {
  ASSERT_TRUE(Exec(db_, "create table thin (i_start float, i_stop float)"));
  auto r = Jantor({"-t", "thin", "-i", "4"});
  EXPECT_NE(r.out.find("Error Executing - select id, i_user, i_pass, i_port, i_object, i_host, "
                       "i_timeout, i_interval, i_next from thin where i_next < '"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 1);
}

// -l checks its table as the schedule's is checked: a missing table, and
// then each missing column, is named before the first cycle.
TEST_P(StartUp, ResultsTableIsCheckedForEachOfItsColumns) {
  testsupport::CreateScheduleTable(db_);
  auto r = Jantor({"-i", "4", "-l", "nosuch"});
  EXPECT_EQ(r.out.substr(r.out.find("Using nosuch results table.\r\n") + 29),
            "Error - No such results table as nosuch\r\n");
  EXPECT_EQ(r.status, 1);
  ASSERT_TRUE(
      Exec(db_,
           "create table partial (entry_id integer, due timestamp, started timestamp, "
           "duration_ms integer, outcome varchar(16), bytes integer, reason varchar(160))"));
  r = Jantor({"-i", "4", "-L", "partial"});
  EXPECT_EQ(r.out.substr(r.out.find("Using partial results table.\r\n") + 30),
            "Error - results table partial has no column status.\r\n");
  EXPECT_EQ(r.status, 1);
  testsupport::CreateResultsTable(db_);
  r = Jantor({"-l", "hit_results", "-k", "1", "-i", "4", "-r", "1"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Using hit_results results table.\r\nKeeping 1 hours of results.\r\n"),
            std::string::npos)
      << r.out;
}

INSTANTIATE_TEST_SUITE_P(Databases, StartUp, testing::Values("sqlite", "postgres", "mariadb"));

// The checks execute "select * from" the table, and the SQLite driver
// builds a statement's whole result set when it is executed: checked
// unlimited, a table of 200 000 rows took some 80 MB before the first
// cycle. Start-up must cost the same for it as for an empty table.
TEST(StartUpOfALargeTable, ChecksWithoutReadingTheRowsIntoMemory) {
  TestDb db = MakeDb("sqlite", "startup_large_table");
  testsupport::CreateScheduleTable(db);
  auto jantor = [&] {
    std::vector<std::string> args = db.Args();
    args.insert(args.end(), {"-i", "4", "-r", "1"});
    return RunJantor(args, testsupport::OdbcEnv(), 60000);
  };
  auto empty = jantor();
  ASSERT_EQ(empty.status, 0) << empty.out;
  // Filled by the sqlite3 program: done in this process, the work would
  // grow this process, whose size a child's peak includes (see RunResult).
  auto fill = testsupport::Run(
      {"/usr/bin/sqlite3", db.path,
       "with recursive k(i) as (select 1 union all select i + 1 from k where i < 200000) "
       "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
       "i_start, i_stop) select i, 80, '/not-due-' || i, '127.0.0.1', 30, 60, "
       "'9999-01-01 00:00:00', 0, 1 from k"});
  ASSERT_EQ(fill.status, 0) << fill.err;
  auto large = jantor();
  ASSERT_EQ(large.status, 0) << large.out;
  EXPECT_LT(large.peak_kib, empty.peak_kib + 16 * 1024)
      << "empty table: " << empty.peak_kib << " KiB, large: " << large.peak_kib << " KiB";
}

TEST(StartUpErrors, UnknownDataSourceFailsAtTheFirstConnectWithTheDriverManagersWords) {
  auto r = RunJantor({"-d", "nosuchdsn"}, testsupport::OdbcEnv());
  EXPECT_NE(r.out.find("Using nosuchdsn DSN.\r\n"
                       "Could not connect first (selection) ODBC connection.\r\n"
                       "[IM002] [unixODBC][Driver Manager]Data source name not found"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("second"), std::string::npos);
  EXPECT_EQ(r.status, 1);
}

TEST(StartUpErrors, WrongPostgresPasswordFailsAtTheFirstConnectWithTheServersWords) {
  TestDb db = testsupport::MakePostgresDb("startup_wrong_password");
  auto r =
      RunJantor({"-d", db.dsn, "-u", db.user, "-p", "not-the-password"}, testsupport::OdbcEnv());
  std::string expected =
      "Using not-the-password password.\r\n"
      "Could not connect first (selection) ODBC connection.\r\n[";
  ASSERT_NE(r.out.find(expected), std::string::npos) << r.out;
  std::string report = r.out.substr(r.out.find(expected) + expected.size() - 1);
  // "[SQLSTATE] text": a five-character state and the server's own words,
  // cut to the 99 characters the message buffer is allowed.
  ASSERT_GE(report.size(), 10u);
  EXPECT_EQ(report[6], ']') << report;
  EXPECT_NE(report.find("FATAL:  password"), std::string::npos) << report;
  EXPECT_EQ(report.substr(report.size() - 2), "\r\n");
  EXPECT_LE(report.size(), 8u + 99u + 2u);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
