// The results table (-l): every hit leaves one row, written in the same
// transaction as the entry's reschedule, with the hit's outcome word,
// status, size and reason; a kill in the middle of a cycle leaves a row for
// exactly the entries that were moved on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/hostile_support.h"
#include "engine/tls_servers.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::LoopbackPeer;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

const testing::Environment* const kServers = testing::AddGlobalTestEnvironment(new TlsServers);

constexpr char kResultColumns[] =
    "entry_id, due, started, duration_ms, outcome, status, bytes, reason";

void AddEntry(const TestDb& db, int id, const std::string& host, int port,
              const std::string& object, const std::string& next, int interval) {
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                   "i_interval, i_next, i_start, i_stop) values (" +
                       std::to_string(id) + ", " + std::to_string(port) + ", '" + object + "', '" +
                       host + "', 30, " + std::to_string(interval) + ", '" + next + "', 0, 1)"));
}

// Every entry's i_next now, by id.
std::map<int, std::string> NextRuns(const TestDb& db) {
  std::map<int, std::string> next;
  for (auto& row : Query(db, "select id, i_next from schedule_2"))
    next[std::stoi(row[0])] = row[1].substr(0, 19);
  return next;
}

// The rows of the results table by entry, in the order written.
std::map<int, std::vector<std::vector<std::string>>> ResultRows(const TestDb& db) {
  std::map<int, std::vector<std::vector<std::string>>> rows;
  for (auto& row :
       Query(db, std::string("select ") + kResultColumns + " from hit_results order by id")) {
    row[1] = row[1].substr(0, 19);
    row[2] = row[2].substr(0, 19);
    rows[std::stoi(row[0])].push_back(row);
  }
  return rows;
}

testsupport::RunResult Jantor(const TestDb& db, std::vector<std::string> extra,
                              int timeout_ms = 120000) {
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<std::string> env = testsupport::OdbcEnv();
  env.push_back("SSL_CERT_FILE=" + TlsServers::dir() + "/ca.pem");
  return testsupport::RunJantor(args, env, timeout_ms);
}

// One cycle meets a hit of every kind, all at once; each leaves its word,
// its status (NULL without a status line), the bytes received and the
// failure's own words (NULL after a status line).
TEST(HitResults, EachKindOfHitLeavesItsOutcomeStatusBytesAndReason) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  testsupport::CreateResultsTable(db);
  const int nginx = testsupport::NginxPort();
  const std::string untrusted = std::to_string(TlsServers::Port("untrusted"));
  auto peer = [](std::string reply) {
    return std::make_unique<LoopbackPeer>([reply](int fd) {
      testsupport::ReadUntil(fd, "\r\n\r\n");
      testsupport::SendAll(fd, reply);
    });
  };
  const std::string moved = "HTTP/1.0 301 Moved Permanently\r\nLocation: /elsewhere\r\n\r\n";
  const std::string failing = "HTTP/1.1 500 Internal Server Error\r\n\r\noops";
  const std::string no_status = "hello there\r\n";
  const std::string over_cap =
      "HTTP/1.0 200 OK\r\n\r\n" + std::string(8 * 1024 * 1024 + 65536, 'x');
  auto moved_peer = peer(moved), failing_peer = peer(failing), plain_peer = peer(no_status),
       empty_peer = peer(""), large_peer = peer(over_cap);
  std::atomic<bool> done{false};
  LoopbackPeer silent([&](int fd) {
    testsupport::ReadUntil(fd, "\r\n\r\n");
    for (int i = 0; i < 900 && !done; ++i) usleep(100 * 1000);
  });

  struct Case {
    std::string host;
    int port;
    std::string object, outcome, status;
    long long bytes;                   // -1: a page of nginx's, some hundred bytes
    std::vector<std::string> reasons;  // any of them; "<NULL>" for none
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", nginx, "/hello.txt", "ok", "200", -1, {"<NULL>"}},
      {"127.0.0.1",
       moved_peer->port(),
       "/",
       "redirect",
       "301",
       static_cast<long long>(moved.size()),
       {"<NULL>"}},
      {"127.0.0.1", nginx, "/missing", "client-error", "404", -1, {"<NULL>"}},
      {"127.0.0.1",
       failing_peer->port(),
       "/",
       "server-error",
       "500",
       static_cast<long long>(failing.size()),
       {"<NULL>"}},
      {"127.0.0.1",
       plain_peer->port(),
       "/",
       "no-status",
       "<NULL>",
       static_cast<long long>(no_status.size()),
       {"no status line"}},
      {"127.0.0.1", empty_peer->port(), "/", "no-status", "<NULL>", 0, {"empty reply"}},
      {"127.0.0.1",
       testsupport::UnusedPort(),
       "/",
       "unreachable",
       "<NULL>",
       0,
       {"Connection refused"}},
      {"nowhere.invalid",
       80,
       "/",
       "unreachable",
       "<NULL>",
       0,
       {"Name or service not known", "Temporary failure in name resolution"}},
      {"127.0.0.1", silent.port(), "/", "timeout", "<NULL>", 0, {"reply timed out"}},
      {"127.0.0.1", large_peer->port(), "/", "too-large", "200", 8 * 1024 * 1024, {"<NULL>"}},
      {"https://localhost:" + untrusted,
       0,
       "/",
       "tls",
       "<NULL>",
       0,
       {"unable to get local issuer certificate"}},
      {"https://localhost:99999", 0, "/", "bad-host", "<NULL>", 0, {"bad port"}},
  };
  const std::string due = LocalTimestamp(-100);
  for (size_t i = 0; i < cases.size(); ++i)
    AddEntry(db, static_cast<int>(i + 1), cases[i].host, cases[i].port, cases[i].object, due, 3600);

  auto r = Jantor(db, {"-c", "16", "-l", "hit_results", "-i", "4", "-r", "1"});
  done = true;
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  auto rows = ResultRows(db);
  ASSERT_EQ(rows.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.host + ":" + std::to_string(c.port) + c.object);
    auto& entry_rows = rows[static_cast<int>(i + 1)];
    ASSERT_EQ(entry_rows.size(), 1u);
    const auto& row = entry_rows[0];
    EXPECT_EQ(row[1], due);
    time_t started = ParseLocalTimestamp(row[2]);
    EXPECT_GE(started, ParseLocalTimestamp(due) + 99);
    EXPECT_LE(started, time(nullptr));
    EXPECT_EQ(row[4], c.outcome);
    EXPECT_EQ(row[5], c.status);
    if (c.bytes >= 0) {
      EXPECT_EQ(std::stoll(row[6]), c.bytes);
    } else {
      EXPECT_GT(std::stoll(row[6]), 100);
      EXPECT_LT(std::stoll(row[6]), 1000);
    }
    EXPECT_TRUE(std::find(c.reasons.begin(), c.reasons.end(), row[7]) != c.reasons.end()) << row[7];
    if (c.outcome == "timeout") {
      EXPECT_GE(std::stoll(row[3]), 45000);
    } else if (c.outcome == "ok") {
      EXPECT_LT(std::stoll(row[3]), 5000);
    }
  }
}

// One row a hit, on each database and with hits in turn or in parallel: an
// entry three intervals behind is hit in each of three cycles, and each row
// carries the i_next that its hit was fetched with. Rows older than -k
// hours go, more of them than one batch deletes; younger ones stay.
class ResultRowsPerHit : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(ResultRowsPerHit, EachHitLeavesOneRowWithTheDueTimeItWasFetchedWith) {
  auto [kind, concurrency] = GetParam();
  TestDb db = testsupport::MakeDbForCurrentTest(kind);
  testsupport::CreateScheduleTable(db);
  testsupport::CreateResultsTable(db);
  const int kEntries = 20, kInterval = 30;
  std::string tag = db.dsn;
  const std::string first_due = LocalTimestamp(-100);
  for (int id = 1; id <= kEntries; ++id)
    AddEntry(db, id, "127.0.0.1", testsupport::NginxPort(),
             "/hello.txt?" + tag + "-" + std::to_string(id), first_due, kInterval);

  const int kOldRows = 2500;
  std::string old_rows = "insert into hit_results (" + std::string(kResultColumns) + ") values ";
  for (int i = 0; i < kOldRows; ++i) {
    old_rows += (i == 0 ? "(" : ", (") + std::to_string(1000 + i) + ", '" +
                LocalTimestamp(-3 * 3600) + "', '" + LocalTimestamp(-3 * 3600 + i) +
                "', 1, 'ok', 200, 10, NULL)";
  }
  ASSERT_TRUE(Exec(db, old_rows));
  ASSERT_TRUE(Exec(db, "insert into hit_results (" + std::string(kResultColumns) +
                           ") values (999, NULL, '" + LocalTimestamp(-1800) +
                           "', 1, 'timeout', NULL, 0, 'reply timed out')"));

  // Cycles 4 s apart, each starting 4 s after the one before ended; the
  // third starts after the run time and is the last. 7 s leaves the first
  // two cycles 3 s between them, for a slow sanitizer build on a busy machine.
  auto r = Jantor(db, {"-c", concurrency, "-l", "hit_results", "-k", "1", "-i", "4", "-r", "7"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  auto rows = ResultRows(db);
  EXPECT_EQ(rows.count(1000), 0u) << "an old row was kept";
  EXPECT_EQ(rows.count(1000 + kOldRows - 1), 0u) << "an old row was kept";
  ASSERT_EQ(rows[999].size(), 1u) << "a row younger than -k was deleted";
  EXPECT_EQ(rows[999][0][7], "reply timed out");
  rows.erase(999);
  auto next = NextRuns(db);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kEntries));
  time_t first = ParseLocalTimestamp(first_due);
  for (auto& [id, entry_rows] : rows) {
    ASSERT_EQ(entry_rows.size(), 3u) << "entry " << id;
    for (size_t hit = 0; hit < entry_rows.size(); ++hit) {
      EXPECT_EQ(ParseLocalTimestamp(entry_rows[hit][1]),
                first + static_cast<time_t>(hit) * kInterval)
          << "entry " << id << " hit " << hit;
      EXPECT_EQ(entry_rows[hit][4], "ok");
      EXPECT_EQ(entry_rows[hit][5], "200");
      EXPECT_EQ(entry_rows[hit][7], "<NULL>");
    }
    EXPECT_EQ(ParseLocalTimestamp(next[id]), first + 3 * kInterval);
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, ResultRowsPerHit,
                         testing::Combine(testing::Values("sqlite", "postgres", "mariadb"),
                                          testing::Values("1", "8")));

// A slow server keeps 16 hits in flight and the process is killed in the
// middle of the cycle: an entry moved on has exactly one row, for the time
// it was due; an entry not moved on has none.
class ResultRowsKilled : public testing::TestWithParam<std::string> {};

TEST_P(ResultRowsKilled, EveryEntryMovedOnHasOneRowAndNoOtherHasAny) {
  TestDb db = testsupport::MakeDbForCurrentTest(GetParam());
  testsupport::CreateScheduleTable(db);
  testsupport::CreateResultsTable(db);
  const int kEntries = 300, kInterval = 3600;
  std::atomic<bool> stop{false};
  LoopbackPeer slow(
      [&](int fd) {
        testsupport::ReadUntil(fd, "\r\n\r\n", 2000);
        if (!stop) usleep(20 * 1000);
        testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nslow");
      },
      kEntries);
  const std::string due = LocalTimestamp(-100);
  for (int id = 1; id <= kEntries; ++id)
    AddEntry(db, id, "127.0.0.1", slow.port(), "/slow-" + std::to_string(id), due, kInterval);

  const std::string mine = testsupport::OdbcEnv()[0];
  testsupport::RunResult r;
  std::thread run([&] { r = Jantor(db, {"-c", "16", "-l", "hit_results", "-i", "60"}); });
  for (int i = 0; i < 300 && slow.accepted() < 100; ++i) usleep(20 * 1000);
  pid_t pid = hostile::FindProcess(mine);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  run.join();
  stop = true;
  EXPECT_EQ(r.signal, SIGKILL);

  auto rows = ResultRows(db);
  int moved = 0;
  for (auto& [id, next] : NextRuns(db)) {
    if (ParseLocalTimestamp(next) == ParseLocalTimestamp(due) + kInterval) {
      ++moved;
      ASSERT_EQ(rows[id].size(), 1u) << "entry " << id;
      EXPECT_EQ(rows[id][0][1], due);
    } else {
      EXPECT_EQ(next, due) << "entry " << id;
      EXPECT_EQ(rows.count(id), 0u) << "entry " << id << " has a row but was not moved on";
    }
  }
  EXPECT_GE(moved, 50);
  EXPECT_LT(moved, kEntries);
}

INSTANTIATE_TEST_SUITE_P(Databases, ResultRowsKilled, testing::Values("sqlite", "postgres"));

// The database refuses the last entry's row, in a group of writes or alone.
// The error line names the one-row insert, that entry keeps its time and has
// no row, and every other entry written has its own row (its own due time and
// status) and its own next run: no write is lost, doubled or given another
// entry's values on the way back from the group.
class ResultRowRefused : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(ResultRowRefused, NamesTheInsertAndKeepsEveryOtherWriteWhole) {
  auto [kind, concurrency] = GetParam();
  TestDb db = testsupport::MakeDbForCurrentTest(kind);
  testsupport::CreateScheduleTable(db);
  testsupport::CreateResultsTable(db);
  const int kEntries = 12;
  // The refused entry is the last due, so that some go before it at -c 1.
  std::map<int, std::string> due;
  auto interval = [](int id) { return 600 + 60 * id; };
  for (int id = 1; id <= kEntries; ++id) {
    due[id] = LocalTimestamp(-200 + id);
    AddEntry(db, id, "127.0.0.1", testsupport::NginxPort(), id % 2 ? "/missing" : "/hello.txt",
             due[id], interval(id));
  }
  ASSERT_TRUE(
      Exec(db, kind == "sqlite"
                   ? "create trigger refuse before insert on hit_results when "
                     "new.entry_id = 12 begin select raise(abort, 'refused'); end"
                   : "alter table hit_results add constraint refuse check (entry_id <> 12)"));

  auto r = Jantor(db, {"-c", concurrency, "-l", "hit_results", "-i", "60"});
  EXPECT_EQ(r.status, 1) << r.out.substr(0, 3000);
  EXPECT_EQ(r.out.substr(r.out.find("Error Executing")),
            "Error Executing - insert into hit_results (" + std::string(kResultColumns) +
                ") values (?, ?, ?, ?, ?, ?, ?, ?)\r\n");
  auto rows = ResultRows(db);
  int moved = 0;
  for (auto& [id, next] : NextRuns(db)) {
    if (next == due[id]) {
      EXPECT_EQ(rows.count(id), 0u) << "entry " << id << " has a row but was not moved on";
      continue;
    }
    ++moved;
    EXPECT_EQ(ParseLocalTimestamp(next), ParseLocalTimestamp(due[id]) + interval(id)) << id;
    ASSERT_EQ(rows[id].size(), 1u) << "entry " << id;
    EXPECT_EQ(rows[id][0][1], due[id]);
    EXPECT_EQ(rows[id][0][5], id % 2 ? "404" : "200") << "entry " << id;
  }
  EXPECT_EQ(rows.count(12), 0u);
  EXPECT_GE(moved, 1);
  EXPECT_LT(moved, kEntries);
}

INSTANTIATE_TEST_SUITE_P(Databases, ResultRowRefused,
                         testing::Combine(testing::Values("sqlite", "postgres", "mariadb"),
                                          testing::Values("1", "8")));

// A group's reschedules go in one statement only for keys that are whole
// numbers as the table gives them; another ("20.5") keeps the one-row
// reschedule. Every entry of a key column of text moves on by its
// own interval and leaves one row, whichever way it was written.
class ResultRowsOfTextKeys : public testing::TestWithParam<std::string> {};

TEST_P(ResultRowsOfTextKeys, EachEntryMovesByItsOwnInterval) {
  TestDb db = testsupport::MakeDbForCurrentTest(GetParam());
  testsupport::CreateResultsTable(db);
  ASSERT_TRUE(Exec(db,
                   "create table keyed (id varchar(20), i_user varchar(62), i_pass "
                   "varchar(62), i_port integer, i_object varchar(126), i_host varchar(126), "
                   "i_timeout integer, i_interval integer, i_next " +
                       std::string(GetParam() == "sqlite" ? "timestamp" : "datetime") +
                       ", i_start double, i_stop double)"));
  std::map<std::string, std::string> due;
  std::vector<std::string> keys = {"20.5"};
  for (int id = 1; id <= 14; ++id) keys.push_back(std::to_string(id));
  auto interval = [](size_t at) { return 600 + 60 * static_cast<int>(at); };
  for (size_t at = 0; at < keys.size(); ++at) {
    due[keys[at]] = LocalTimestamp(-200 + static_cast<int>(at));
    ASSERT_TRUE(Exec(db, "insert into keyed values ('" + keys[at] + "', NULL, NULL, " +
                             std::to_string(testsupport::NginxPort()) +
                             ", '/hello.txt', '127.0.0.1', 30, " + std::to_string(interval(at)) +
                             ", '" + due[keys[at]] + "', 0, 1)"));
  }

  auto r = Jantor(db, {"-t", "keyed", "-c", "8", "-l", "hit_results", "-i", "4", "-r", "1"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  for (size_t at = 0; at < keys.size(); ++at) {
    auto next = Query(db, "select i_next from keyed where id = '" + keys[at] + "'");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(ParseLocalTimestamp(next[0][0].substr(0, 19)),
              ParseLocalTimestamp(due[keys[at]]) + interval(at))
        << "entry " << keys[at];
  }
  EXPECT_EQ(Query(db, "select count(*) from hit_results")[0][0], std::to_string(keys.size()));
}

INSTANTIATE_TEST_SUITE_P(Databases, ResultRowsOfTextKeys, testing::Values("sqlite", "mariadb"));

// Old rows deleted in a cycle stay deleted though no write follows: the
// last cycle, with nothing due, prunes and the process ends.
class ResultRowsPruned : public testing::TestWithParam<std::string> {};

TEST_P(ResultRowsPruned, StayDeletedWhenNoWriteFollows) {
  TestDb db = testsupport::MakeDbForCurrentTest(GetParam());
  testsupport::CreateScheduleTable(db);
  testsupport::CreateResultsTable(db);
  AddEntry(db, 1, "127.0.0.1", testsupport::NginxPort(), "/hello.txt", LocalTimestamp(-100), 3600);
  std::string old_rows = "insert into hit_results (" + std::string(kResultColumns) + ") values ";
  for (int i = 0; i < 1500; ++i)
    old_rows += (i == 0 ? "(" : ", (") + std::to_string(1000 + i) + ", NULL, '" +
                LocalTimestamp(-3 * 3600 + i) + "', 1, 'ok', 200, 10, NULL)";
  ASSERT_TRUE(Exec(db, old_rows));

  auto r = Jantor(db, {"-l", "hit_results", "-k", "1", "-i", "4", "-r", "1"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  auto rows = ResultRows(db);
  EXPECT_EQ(rows.size(), 1u) << "old rows came back";
  EXPECT_EQ(rows[1].size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Databases, ResultRowsPruned,
                         testing::Values("sqlite", "postgres", "mariadb"));

// The queries for operators of doc/results.md, as they stand there, for
// one DBMS: each "```sql" block of the page, cut to the lines under the
// "-- SQLite" (or PostgreSQL, MariaDB) comment where it has such comments.
std::vector<std::string> ReadmeQueries(const std::string& dbms) {
  std::string readme = testsupport::ReadFile(std::string(JANTOR_SOURCE_DIR) + "/doc/results.md");
  size_t start = readme.find("# Results of every hit");
  std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start);
  std::vector<std::string> queries;
  for (size_t at = section.find("```sql\n"); at != std::string::npos;
       at = section.find("```sql\n", at + 1)) {
    size_t begin = at + 7;
    std::string block = section.substr(begin, section.find("```", begin) - begin);
    size_t mine = block.find("-- " + dbms + "\n");
    if (mine != std::string::npos) {
      size_t from = mine + dbms.size() + 4;
      size_t to = block.find("\n-- ", from);
      block = block.substr(from, to == std::string::npos ? std::string::npos : to + 1 - from);
    }
    while (!block.empty() && (block.back() == '\n' || block.back() == ';')) block.pop_back();
    queries.push_back(block);
  }
  return queries;
}

class ReadmeResultQueries : public testing::TestWithParam<std::string> {};

TEST_P(ReadmeResultQueries, AnswerTheirQuestionsOnEachDatabase) {
  TestDb db = testsupport::MakeDbForCurrentTest(GetParam());
  testsupport::CreateResultsTable(db);
  const std::map<std::string, std::string> dbms = {
      {"sqlite", "SQLite"}, {"postgres", "PostgreSQL"}, {"mariadb", "MariaDB"}};
  auto queries = ReadmeQueries(dbms.at(GetParam()));
  ASSERT_EQ(queries.size(), 3u);
  // Rows of today stay after midnight, however early the test runs.
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  long since_midnight = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
  auto today = [&](long ago) { return LocalTimestamp(-std::min(ago, since_midnight)); };
  struct Row {
    int entry;
    std::string started, outcome;
    int duration_ms;
  };
  const std::vector<Row> rows = {
      {1, LocalTimestamp(-30 * 3600), "ok", 100},
      {1, today(180), "timeout", 500},
      {1, today(120), "unreachable", 5},
      {1, today(60), "server-error", 50},
      {2, today(180), "tls", 10},
      {2, today(120), "no-status", 10},
      {2, today(60), "ok", 9000},
      {3, today(120), "client-error", 20},
      {3, today(60), "redirect", 20},
      {4, LocalTimestamp(-30 * 3600), "timeout", 20000},
      {4, LocalTimestamp(-29 * 3600), "too-large", 20000},
      {4, LocalTimestamp(-28 * 3600), "bad-host", 20000},
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(Exec(db, "insert into hit_results (" + std::string(kResultColumns) + ") values (" +
                             std::to_string(row.entry) + ", NULL, '" + row.started + "', " +
                             std::to_string(row.duration_ms) + ", '" + row.outcome +
                             "', NULL, 0, NULL)"));
  }
  auto entries = [&](const std::string& query) {
    std::set<std::string> ids;
    for (auto& row : Query(db, query)) ids.insert(row[0]);
    return ids;
  };
  EXPECT_EQ(entries(queries[0]), (std::set<std::string>{"1", "4"})) << queries[0];
  EXPECT_EQ(entries(queries[1]), (std::set<std::string>{"1", "3"})) << queries[1];
  auto slowest = Query(db, queries[2]);
  ASSERT_EQ(slowest.size(), 3u) << queries[2];
  EXPECT_EQ(slowest[0][0], "2");
  EXPECT_EQ(slowest[0][1], "9000");
}

INSTANTIATE_TEST_SUITE_P(Databases, ReadmeResultQueries,
                         testing::Values("sqlite", "postgres", "mariadb"));

}  // namespace
