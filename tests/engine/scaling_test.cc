// Several jantor processes sharing one schedule table, as the README tells
// to scale past one daemon: each runs with -t on its own updatable view,
// the rows whose id modulo the number of processes is its number, so
// together they hit every due entry once and no entry twice.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"

namespace {

using testsupport::CountOf;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

constexpr int kProcesses = 3;

class SharedTable : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTable(db_);
    tag_ = db_.dsn;
    for (int k = 0; k < kProcesses; ++k)
      ASSERT_TRUE(Exec(db_, "create view " + View(k) + " as select * from schedule_2 where id % " +
                                std::to_string(kProcesses) + " = " + std::to_string(k)));
  }

  static std::string View(int k) { return "schedule_2_p" + std::to_string(k); }

  std::string Object(int id) { return "/hello.txt?" + tag_ + "-" + std::to_string(id); }

  void AddEntry(int id, const std::string& next) {
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next, i_start, i_stop) values (" +
                         std::to_string(id) + ", " + std::to_string(testsupport::NginxPort()) +
                         ", '" + Object(id) + "', '127.0.0.1', 30, 3600, '" + next + "', 0, 1)"));
    stored_[id] =
        Query(db_, "select i_next from schedule_2 where id = " + std::to_string(id))[0][0];
  }

  // Runs one jantor per view at the same time; returns their results.
  std::vector<testsupport::RunResult> RunShared(const std::vector<std::string>& options) {
    std::vector<testsupport::RunResult> results(kProcesses);
    std::vector<std::thread> runners;
    for (int k = 0; k < kProcesses; ++k) {
      std::vector<std::string> args = db_.Args();
      args.insert(args.end(), {"-t", View(k)});
      args.insert(args.end(), options.begin(), options.end());
      runners.emplace_back([&results, k, args] {
        results[k] = testsupport::RunJantor(args, testsupport::OdbcEnv(), 120000);
      });
    }
    for (auto& r : runners) r.join();
    return results;
  }

  // The ids that follow each occurrence of this test's object prefix in
  // text, where `before` and `after` frame the object.
  std::vector<int> IdsIn(const std::string& text, const std::string& before,
                         const std::string& after) {
    std::vector<int> ids;
    std::string prefix = before + "/hello.txt?" + tag_ + "-";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
      size_t digits = at + prefix.size();
      size_t end = text.find_first_not_of("0123456789", digits);
      if (end == digits || end == std::string::npos || text.compare(end, after.size(), after) != 0)
        continue;
      ids.push_back(std::stoi(text.substr(digits, end - digits)));
    }
    return ids;
  }

  // How often nginx served each of this test's entries, by id.
  std::map<int, int> ServedById() {
    std::map<int, int> served;
    for (int id : IdsIn(testsupport::NginxAccessLog(), "\"GET ", " HTTP/1.0\" 200")) ++served[id];
    return served;
  }

  // The ids a process's verbose output says it hit.
  std::set<int> HitIds(const std::string& out) {
    std::vector<int> ids = IdsIn(out, "-127.0.0.1- -", "-");
    return std::set<int>(ids.begin(), ids.end());
  }

  TestDb db_;
  std::string tag_;
  std::map<int, std::string> stored_;
};

TEST_P(SharedTable, EveryDueEntryIsHitOnceByTheProcessOfItsView) {
  // Due now, and a few that fall due while the processes run, so that more
  // than the first cycle has work to share.
  for (int id = 1; id <= 30; ++id) AddEntry(id, LocalTimestamp(-100));
  for (int id = 31; id <= 36; ++id) AddEntry(id, LocalTimestamp(+2));
  // -r 5 with -i 4: cycles at about 0, 4 and 8 seconds.
  auto results = RunShared({"-i", "4", "-r", "5", "-v"});

  std::set<int> all;
  for (int k = 0; k < kProcesses; ++k) {
    const auto& r = results[k];
    ASSERT_EQ(r.status, 0) << "process " << k << ":\n" << r.out;
    EXPECT_GE(CountOf(r.out, "The time is "), 3) << r.out;
    std::set<int> mine = HitIds(r.out);
    for (int id : mine) EXPECT_EQ(id % kProcesses, k) << "process " << k << " hit entry " << id;
    EXPECT_EQ(static_cast<int>(mine.size()), CountOf(r.out, "(Successful)")) << r.out;
    all.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(all.size(), 36u);

  std::map<int, int> served = ServedById();
  for (int id = 1; id <= 36; ++id) {
    EXPECT_EQ(served[id], 1) << "entry " << id;
    auto rows = Query(db_, "select i_next from schedule_2 where id = " + std::to_string(id));
    EXPECT_EQ(ParseLocalTimestamp(rows[0][0].substr(0, 19)),
              ParseLocalTimestamp(stored_[id].substr(0, 19)) + 3600)
        << "entry " << id;
  }
}

// SQLite cannot update through a view, so the sharing above is not for it:
// jantor hits the entry, then stops at the update with status 1.
TEST(SharedSqliteTable, ViewsCannotBeUpdatedSoJantorStops) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  ASSERT_TRUE(Exec(db, "create view schedule_2_p0 as select * from schedule_2 where id % 2 = 0"));
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_start, i_stop) values (2, " +
                       std::to_string(testsupport::NginxPort()) +
                       ", '/hello.txt', '127.0.0.1', 30, 3600, '" + LocalTimestamp(-100) +
                       "', 0, 1)"));
  std::string stored = Query(db, "select i_next from schedule_2")[0][0];
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-t", "schedule_2_p0", "-i", "4", "-r", "1"});
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 60000);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error Executing - update schedule_2_p0 set i_next = '"), std::string::npos)
      << r.out;
  EXPECT_EQ(Query(db, "select i_next from schedule_2")[0][0], stored);
}

INSTANTIATE_TEST_SUITE_P(Databases, SharedTable, testing::Values("postgres", "mariadb"));

}  // namespace
