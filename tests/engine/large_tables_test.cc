// Tables larger than memory should hold: start-up reads no more of the
// schedule table than one row, and a cycle reads the due entries a part at
// a time, each still hit once and moved on once, on every database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

// Entries 1..count against a port nothing listens on, due at next, with the
// interval given, written by the database itself.
void Fill(const TestDb& db, int count, const std::string& next, int interval) {
  const std::string n = std::to_string(count);
  std::string numbers =
      db.kind == "postgres" ? "select i from generate_series(1, " + n + ") as k(i)"
      : db.kind == "mariadb"
          ? "select seq as i from seq_1_to_" + n
          : "with recursive k(i) as (select 1 union all select i + 1 from k where i < " + n +
                ") select i from k";
  std::string cat = db.kind == "mariadb" ? "concat('/big?', i)" : "'/big?' || i";
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_start, i_stop) select i, " +
                       std::to_string(testsupport::UnusedPort()) + ", " + cat +
                       ", '127.0.0.1', 30, " + std::to_string(interval) + ", '" + next +
                       "', 0, 1 from (" + numbers + ") as numbers"));
}

testsupport::RunResult RunOn(const TestDb& db, std::vector<std::string> extra) {
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), extra.begin(), extra.end());
  return testsupport::RunJantor(args, testsupport::OdbcEnv(), 300000);
}

class LargeTable : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTable(db_);
  }
  TestDb db_;
};

// psqlODBC read the whole table for the start-up check, row limit or not:
// 450 MB at a million rows. Here 200,000 rows, none due, may not cost more
// than a few MB over an empty table.
TEST_P(LargeTable, StartUpReadsNoMoreThanARowOfIt) {
  auto empty = RunOn(db_, {"-i", "4", "-r", "1"});
  ASSERT_EQ(empty.status, 0) << empty.out;
  Fill(db_, 200000, LocalTimestamp(86400), 60);
  auto full = RunOn(db_, {"-i", "4", "-r", "1"});
  ASSERT_EQ(full.status, 0) << full.out;
  EXPECT_LT(full.peak_kib - empty.peak_kib, 8 * 1024)
      << "peak " << full.peak_kib << " KiB against " << empty.peak_kib << " KiB for no rows";
}

// More due entries than a cycle holds at once (SQLite's and MariaDB's
// drivers read a whole result into memory), an hour behind with a minute's
// interval, so that each is still due after its hit: two cycles move each
// exactly two intervals on. A part read twice, or an entry taken again in
// a later part of the same cycle, would move it further; one left out,
// less far.
TEST_P(LargeTable, ACycleOfMoreDueEntriesThanItHoldsHitsEachOnce) {
  const int kEntries = 20000;
  const std::string behind = LocalTimestamp(-3600);
  Fill(db_, kEntries, behind, 60);
  auto r = RunOn(db_, {"-c", "64", "-i", "4", "-r", "1", "-q"});
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
  auto moved = Query(db_, "select i_next, count(*) from schedule_2 group by i_next");
  ASSERT_EQ(moved.size(), 1u) << "entries moved on by different intervals: " << moved.size()
                              << " next run times";
  EXPECT_EQ(ParseLocalTimestamp(moved[0][0]), ParseLocalTimestamp(behind) + 2 * 60);
  EXPECT_EQ(moved[0][1], std::to_string(kEntries));
}

INSTANTIATE_TEST_SUITE_P(Databases, LargeTable, testing::Values("sqlite", "postgres", "mariadb"));

}  // namespace
