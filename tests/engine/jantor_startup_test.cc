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

INSTANTIATE_TEST_SUITE_P(Databases, StartUp, testing::Values("sqlite", "postgres"));

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
