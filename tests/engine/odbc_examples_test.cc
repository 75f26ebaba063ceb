// The example data sources that are installed with jantor (dist/odbc-*.ini)
// work as they are: with the drivers as the Debian driver packages register
// them in /etc/odbcinst.ini and only the server's address and the database
// filled in, jantor connects, hits and reschedules. The system's files are
// only read; each test writes its own ODBC folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::ReadFile;
using testsupport::TestDb;
using testsupport::Trimmed;

// The example with the given keys set: a "Key=" line, commented out or
// not, takes the new value; keys the example lacks are added at the end.
std::string Filled(const std::string& example, std::map<std::string, std::string> values) {
  std::stringstream in(example);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    std::string bare = line.rfind(';', 0) == 0 ? line.substr(1) : line;
    size_t equals = bare.find('=');
    auto value = equals == std::string::npos ? values.end() : values.find(bare.substr(0, equals));
    if (value != values.end()) {
      line = value->first + "=" + value->second;
      values.erase(value);
    }
    out += line + "\n";
  }
  for (const auto& [key, value] : values) out += key + "=" + value + "\n";
  return out;
}

class OdbcExamples : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    kind_ = GetParam();
    db_ = testsupport::MakeDbForCurrentTest(kind_);
    testsupport::CreateScheduleTable(db_);
    dir_ = std::string(JANTOR_TEST_WORK) + "/examples-" + std::to_string(getpid()) + "-" + kind_;
    ASSERT_EQ(testsupport::Shell("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'"), 0);
    // The drivers as installed: the names the examples use must be the ones
    // the driver packages register.
    std::string drivers = ReadFile("/etc/odbcinst.ini");
    ASSERT_FALSE(drivers.empty())
        << "no /etc/odbcinst.ini: are the ODBC driver packages installed?";
    std::ofstream(dir_ + "/odbcinst.ini") << drivers;
    example_ = ReadFile(std::string(JANTOR_SOURCE_DIR) + "/dist/odbc-" + kind_ + ".ini");
    ASSERT_NE(example_.find("[jantor]"), std::string::npos);

    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                     "i_next, i_start, i_stop) values (1, " +
                         std::to_string(testsupport::NginxPort()) + ", '/hello.txt?" + db_.dsn +
                         "', '127.0.0.1', 30, 3600, '" + LocalTimestamp(-100) + "', 0, 1)"));
    stored_ = Query(db_, "select i_next from schedule_2")[0][0];
  }

  // Where the example's server and database are: this test's database on
  // the fixture server, reached through its socket (the test runs in a
  // network of its own).
  std::map<std::string, std::string> Location() {
    std::string database = Trimmed(Query(db_, kind_ == "postgres"  ? "select current_database()"
                                              : kind_ == "mariadb" ? "select database()"
                                                                   : "select 1")[0][0]);
    if (kind_ == "sqlite") return {{"Database", db_.path}};
    std::string server_dir =
        std::string(JANTOR_TEST_WORK) + (kind_ == "postgres" ? "/pg" : "/mariadb");
    std::string port = Trimmed(ReadFile(server_dir + "/port"));
    if (kind_ == "postgres")
      return {{"Servername", Trimmed(ReadFile(server_dir + "/socketdir"))},
              {"Port", port},
              {"Database", database}};
    return {{"Server", "localhost"},
            {"Socket", Trimmed(ReadFile(server_dir + "/socket"))},
            {"Port", port},
            {"Database", database}};
  }

  testsupport::RunResult JantorWith(const std::string& odbc_ini, std::vector<std::string> args) {
    std::ofstream(dir_ + "/odbc.ini") << odbc_ini;
    args.insert(args.end(), {"-i", "4", "-r", "1", "-v"});
    return testsupport::RunJantor(args, {"ODBCSYSINI=" + dir_, "ODBCINI=" + dir_ + "/odbc.ini"},
                                  60000);
  }

  void ExpectHitAndRescheduled(const testsupport::RunResult& r) {
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\r\n   (Successful)\r\n"), std::string::npos) << r.out;
    EXPECT_NE(testsupport::NginxAccessLog().find("\"GET /hello.txt?" + db_.dsn + " HTTP/1.0\" 200"),
              std::string::npos);
    std::string next = Query(db_, "select i_next from schedule_2")[0][0];
    EXPECT_EQ(ParseLocalTimestamp(next.substr(0, 19)),
              ParseLocalTimestamp(stored_.substr(0, 19)) + 3600);
  }

  std::string kind_;
  TestDb db_;
  std::string dir_;
  std::string example_;
  std::string stored_;
};

TEST_P(OdbcExamples, ExampleDataSourceWorksWithTheRegisteredDriver) {
  std::vector<std::string> credentials;
  if (!db_.user.empty()) credentials = {"-u", db_.user, "-p", db_.password};
  std::vector<std::string> args{"-d", "jantor"};
  args.insert(args.end(), credentials.begin(), credentials.end());
  auto r = JantorWith(Filled(example_, Location()), args);
  ExpectHitAndRescheduled(r);
  if (kind_ == "sqlite") {
    // The example turns the write-ahead log on, and the file keeps it.
    EXPECT_EQ(Query(db_, "PRAGMA journal_mode")[0][0], "wal");
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, OdbcExamples, testing::Values("sqlite", "postgres", "mariadb"));

// What an empty -u and -p mean is the driver's decision; the manual page
// tells what each does, and these hold it to that.
class OdbcCredentials : public OdbcExamples {};

// The PostgreSQL driver takes the account from the data source, so a
// service can keep the password out of the process list.
TEST_P(OdbcCredentials, PostgresTakesTheAccountFromTheDataSource) {
  auto location = Location();
  location["Username"] = db_.user;
  location["Password"] = db_.password;
  ExpectHitAndRescheduled(JantorWith(Filled(example_, location), {"-d", "jantor"}));

  location["Password"] = "not-" + db_.password;
  auto r = JantorWith(Filled(example_, location), {"-d", "jantor"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Could not connect first (selection) ODBC connection.\r\n["),
            std::string::npos)
      << r.out;
}

INSTANTIATE_TEST_SUITE_P(Databases, OdbcCredentials, testing::Values("postgres"));

// The MariaDB driver passes the empty texts on, and the server then sees
// the system user that runs jantor; an account in the data source is not
// used, not even a wrong one.
class OdbcSystemUser : public OdbcExamples {};

TEST_P(OdbcSystemUser, MariadbLogsOnAsTheSystemUser) {
  // The test server has an account without password for root only.
  if (geteuid() != 0) GTEST_SKIP() << "needs to run as root";
  auto location = Location();
  location["User"] = db_.user;
  location["Password"] = "not-" + db_.password;
  ExpectHitAndRescheduled(JantorWith(Filled(example_, location), {"-d", "jantor"}));
}

INSTANTIATE_TEST_SUITE_P(Databases, OdbcSystemUser, testing::Values("mariadb"));

}  // namespace
