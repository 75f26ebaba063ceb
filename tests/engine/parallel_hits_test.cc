// Hits in parallel (-c): every due entry is hit once and rescheduled once,
// each hit's words come out as one whole block, a silent server holds only
// its own entry, and a process killed in the middle of a cycle loses no more
// than the reschedules of the hits in flight.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <algorithm>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "engine/hostile_support.h"
#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using hostile::CountOf;
using hostile::NowMs;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::ParseLocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

constexpr int kInterval = 3600;  // every entry's i_interval

// Adds entries first..last, due 100 s ago, for host:port and object(i);
// returns their stored i_next by id.
std::map<int, std::string> AddEntries(const TestDb& db, int first, int last,
                                      const std::string& host, int port,
                                      const std::function<std::string(int)>& object,
                                      const std::string& user = "NULL",
                                      const std::string& password = "NULL") {
  std::string next = LocalTimestamp(-100);
  std::string sql =
      "insert into schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, "
      "i_interval, i_next, i_start, i_stop) values ";
  for (int id = first; id <= last; ++id) {
    sql += (id == first ? "(" : ", (") + std::to_string(id) + ", " + user + ", " + password +
           ", " + std::to_string(port) + ", '" + object(id) + "', '" + host + "', 30, " +
           std::to_string(kInterval) + ", '" + next + "', 0, 1)";
  }
  EXPECT_TRUE(Exec(db, sql));
  std::map<int, std::string> stored;
  for (int id = first; id <= last; ++id) stored[id] = next;
  return stored;
}

// Every entry's i_next now, by id.
std::map<int, std::string> NextRuns(const TestDb& db) {
  std::map<int, std::string> next;
  for (auto& row : Query(db, "select id, i_next from schedule_2"))
    next[std::stoi(row[0])] = row[1].substr(0, 19);
  return next;
}

// jantor with standard error joined to standard output, as a journal or a
// terminal shows them, so that a test sees where each stream's lines fall.
testsupport::RunResult JantorJoined(const TestDb& db, std::vector<std::string> extra,
                                    int timeout_ms = 120000) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", JANTOR_BIN};
  for (auto& a : db.Args()) argv.push_back(a);
  for (auto& a : extra) argv.push_back(a);
  return testsupport::Run(argv, testsupport::OdbcEnv(), timeout_ms);
}

// The blocks of verbose output, each from one "Hitting - " to the next.
std::vector<std::string> HitBlocks(const std::string& out) {
  std::vector<std::string> blocks;
  for (size_t at = out.find("Hitting - "); at != std::string::npos;) {
    size_t next = out.find("Hitting - ", at + 1);
    blocks.push_back(out.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  return blocks;
}

class ParallelHits : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTable(db_);
    tag_ = db_.dsn;
  }
  TestDb db_;
  std::string tag_;
};

// 40 entries, each with a page of its own, and 10 behind credentials, all
// hit by 8 workers: each is requested once and moved on once, and each
// hit's block holds that hit's lines and no other's, its standard error
// line included.
TEST_P(ParallelHits, EveryEntryIsHitAndMovedOnceAndEachHitSpeaksInOneBlock) {
  int port = testsupport::NginxPort();
  const int kPages = 40;
  for (int i = 1; i <= kPages; ++i) {
    std::ofstream(testsupport::NginxRoot() + "/" + tag_ + "-" + std::to_string(i) + ".txt")
        << "page " << i << " of " << tag_ << "\n";
  }
  auto page = [&](int id) { return "/" + tag_ + "-" + std::to_string(id) + ".txt"; };
  auto stored = AddEntries(db_, 1, kPages, "127.0.0.1", port, page);
  auto secret = AddEntries(
      db_, 101, 110, "127.0.0.1", port,
      [&](int id) { return "/private/index.html?" + tag_ + "-" + std::to_string(id); }, "'alice'",
      "'secret'");
  stored.insert(secret.begin(), secret.end());
  std::string later = LocalTimestamp(+3600);
  ASSERT_TRUE(Exec(db_,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_start, i_stop) values (999, " +
                       std::to_string(port) + ", '/not-due?" + tag_ + "', '127.0.0.1', 30, 60, '" +
                       later + "', 0, 1)"));

  auto r = JantorJoined(db_, {"-c", "8", "-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Using 8 concurrent hits.\r\n"), std::string::npos) << r.out;

  std::multiset<std::string> requested;
  std::stringstream log(testsupport::NginxAccessLog());
  for (std::string line; std::getline(log, line);) {
    size_t get = line.find("\"GET ");
    if (get != std::string::npos && line.find(tag_) != std::string::npos)
      requested.insert(line.substr(get + 5, line.find(' ', get + 5) - get - 5));
  }
  ASSERT_EQ(requested.size(), stored.size());
  for (auto& [id, next] : stored) {
    std::string object =
        id < 100 ? page(id) : "/private/index.html?" + tag_ + "-" + std::to_string(id);
    EXPECT_EQ(requested.count(object), 1u) << object;
  }
  auto now = NextRuns(db_);
  for (auto& [id, next] : stored)
    EXPECT_EQ(ParseLocalTimestamp(now[id]), ParseLocalTimestamp(next) + kInterval) << id;
  EXPECT_EQ(now[999], later);

  auto blocks = HitBlocks(r.out);
  ASSERT_EQ(blocks.size(), stored.size()) << r.out;
  std::set<std::string> seen;
  for (const std::string& block : blocks) {
    size_t end = block.find(" with 30s timeout.");
    ASSERT_NE(end, std::string::npos) << block;
    size_t slash = block.find('/', block.find(":" + std::to_string(port)));
    std::string object = block.substr(slash, end - slash);
    seen.insert(object);
    std::string body = object.rfind("/private/", 0) == 0
                           ? "secret page\n"
                           : "page " + object.substr(object.rfind('-') + 1,
                                                     object.find(".txt") - object.rfind('-') - 1) +
                                 " of " + tag_ + "\n";
    EXPECT_EQ(CountOf(block, "\r\n-127.0.0.1- -" + object + "- -"), 1) << block;
    EXPECT_EQ(CountOf(block, "About to connect to http\r\n"), 1) << block;
    EXPECT_EQ(CountOf(block, "bod=\n" + body + "\r\n"), 1) << block;
    EXPECT_EQ(CountOf(block, "\r\n   (Successful)\r\nServer said - HTTP/1.1 200 OK\r\n"), 1)
        << block;
    EXPECT_EQ(CountOf(block, "Accept-Ranges: bytes\r\n\r\n" + body + "\r\n"), 1) << block;
    EXPECT_EQ(CountOf(block, "In scanodbc\r\n"), 2) << block;  // its reschedule, after the hit
    // The system's text at the server's close, on standard error, inside
    // the block between the last receive and the reply.
    static const std::regex kCloseText("Data available\r\n[^\r\n]+\nhead=");
    EXPECT_EQ(std::distance(std::sregex_iterator(block.begin(), block.end(), kCloseText),
                            std::sregex_iterator()),
              1)
        << block;
  }
  EXPECT_EQ(seen.size(), stored.size());
}

// One server among 50 accepts and never answers: the other 49 are hit and
// moved on within seconds, and the cycle ends only after the silent one's
// time limit, with that entry moved on too.
TEST_P(ParallelHits, ASilentServerHoldsOnlyItsOwnEntry) {
  int port = testsupport::NginxPort();
  std::atomic<bool> done{false};
  testsupport::LoopbackPeer silent([&](int fd) {
    testsupport::ReadUntil(fd, "\r\n\r\n");
    for (int i = 0; i < 900 && !done; ++i) usleep(100 * 1000);
  });
  auto stored = AddEntries(db_, 1, 1, "127.0.0.1", silent.port(), [](int) { return "/silent"; });
  auto fast = AddEntries(db_, 2, 50, "127.0.0.1", port,
                         [&](int id) { return "/hello.txt?" + tag_ + "-" + std::to_string(id); });
  stored.insert(fast.begin(), fast.end());

  testsupport::RunResult r;
  long long start = NowMs();
  std::thread run([&] { r = JantorJoined(db_, {"-c", "8", "-i", "4", "-r", "1"}); });
  // Port 80 refuses in this network, so the silent peer is reached on its
  // own port like every other entry.
  int moved = 0;
  long long moved_at = -1;
  for (int i = 0; i < 200 && moved < 49; ++i) {
    usleep(100 * 1000);
    moved = 0;
    for (auto& [id, next] : NextRuns(db_))
      moved += ParseLocalTimestamp(next) == ParseLocalTimestamp(stored[id]) + kInterval;
    if (moved >= 49) moved_at = NowMs() - start;
  }
  EXPECT_EQ(moved, 49);
  EXPECT_GE(moved_at, 0);
  EXPECT_LT(moved_at, 15000) << "the fast entries waited for the silent one";
  EXPECT_EQ(NextRuns(db_)[1], stored[1]) << "the silent entry moved before its hit ended";
  run.join();
  done = true;
  long long took = NowMs() - start;
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_GE(took, 45000) << "the cycle ended before the silent server's time limit";
  for (auto& [id, next] : NextRuns(db_))
    EXPECT_EQ(ParseLocalTimestamp(next), ParseLocalTimestamp(stored[id]) + kInterval) << id;
}

// A large reply that keeps coming: its words pass the capture's bound
// early, so its block holds the streams until its hit ends. The other hits
// go on meanwhile and are moved on; their blocks follow the large one, which
// stays whole.
TEST_P(ParallelHits, ALargeReplyThatKeepsComingHoldsOnlyItsOwnEntry) {
  int port = testsupport::NginxPort();
  testsupport::LoopbackPeer large([&](int fd) {
    testsupport::ReadUntil(fd, "\r\n\r\n");
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
    // 1.25 MiB at once: the reader's words for it pass 64 KiB.
    for (int i = 0; i < 20; ++i) testsupport::SendAll(fd, std::string(64 * 1024, 'x'));
    for (int i = 0; i < 100; ++i) {  // and 10 s more of it
      usleep(100 * 1000);
      testsupport::SendAll(fd, std::string(1024, 'y'));
    }
  });
  auto stored = AddEntries(db_, 1, 1, "127.0.0.1", large.port(), [](int) { return "/large"; });
  auto fast = AddEntries(db_, 2, 31, "127.0.0.1", port,
                         [&](int id) { return "/hello.txt?" + tag_ + "-" + std::to_string(id); });
  stored.insert(fast.begin(), fast.end());

  testsupport::RunResult r;
  std::thread run([&] { r = JantorJoined(db_, {"-c", "4", "-i", "4", "-r", "1", "-v"}); });
  // Until the other 30 are moved on, or the large one is.
  int moved = 0;
  bool large_moved = false;
  for (int i = 0; i < 600 && moved < 30 && !large_moved; ++i) {
    usleep(50 * 1000);
    auto now = NextRuns(db_);
    moved = 0;
    for (auto& [id, next] : now)
      moved += id > 1 && ParseLocalTimestamp(next) == ParseLocalTimestamp(stored[id]) + kInterval;
    large_moved = now[1] != stored[1];
  }
  EXPECT_EQ(moved, 30) << "the other entries waited for the large reply";
  EXPECT_FALSE(large_moved) << "the large reply ended first";
  run.join();
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  auto blocks = HitBlocks(r.out);
  ASSERT_EQ(blocks.size(), stored.size());
  for (const std::string& block : blocks) {
    EXPECT_NE(block.find("(Successful)"), std::string::npos) << block.substr(0, 2000);
    if (block.find("/large") != std::string::npos) {
      EXPECT_NE(block.find(std::string(20 * 64 * 1024, 'x') + std::string(100 * 1024, 'y')),
                std::string::npos);
    }
  }
}

// The update of entry 5 is refused by the database: nothing more is
// fetched, the hits in flight end and every other hit entry is moved on
// (also those whose updates shared a commit with the refused one), and the
// refused update is named last, with status 1. Every hit takes 200 ms, so
// that the hits end in fours and share commits, and a hit slowed by a busy
// machine does not let the others run far ahead of entry 5's.
TEST_P(ParallelHits, AFailedUpdateStopsTheFetchingAndTheHitsInFlightAreWritten) {
  servicetest::SlowServer server(200);
  auto object = [&](int id) { return "/hello.txt?" + tag_ + "-" + std::to_string(id); };
  auto stored = AddEntries(db_, 1, 30, "127.0.0.1", server.port(), object);
  if (GetParam() == "sqlite") {
    ASSERT_TRUE(Exec(db_, "create trigger refuse before update on schedule_2 when new.id = 5 "
                          "begin select raise(abort, 'refused'); end"));
  } else {
    ASSERT_TRUE(Exec(db_, "create function refuse() returns trigger language plpgsql as $$ begin "
                          "if new.id = 5 then raise exception 'refused'; end if; return new; "
                          "end $$"));
    ASSERT_TRUE(Exec(db_, "create trigger refuse before update on schedule_2 for each row "
                          "execute function refuse()"));
  }
  auto r = JantorJoined(db_, {"-c", "4", "-i", "4"});
  EXPECT_EQ(r.status, 1) << r.out;
  time_t expected = ParseLocalTimestamp(stored[5]) + kInterval;
  EXPECT_EQ(r.out.substr(r.out.find("Error Executing")),
            "Error Executing - update schedule_2 set i_next = '" + hostile::LocalText(expected) +
                "' where id = 5\r\n");

  std::set<int> hit;
  for (const std::string& line : server.requests())
    hit.insert(std::stoi(line.substr(line.find(tag_ + "-") + tag_.size() + 1)));
  EXPECT_TRUE(hit.count(5));
  EXPECT_LE(hit.size(), 5u + 2 * 4) << "fetching went on after the failed update";
  for (auto& [id, next] : NextRuns(db_)) {
    bool moved = ParseLocalTimestamp(next) == ParseLocalTimestamp(stored[id]) + kInterval;
    EXPECT_EQ(moved, hit.count(id) == 1 && id != 5) << "entry " << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, ParallelHits, testing::Values("sqlite", "postgres"));

// -h 2: of eight hits in flight at most two go to the slow host (the server
// counts the requests it holds at once), and the entries of the fast host,
// fetched after all of the slow host's, are not held up behind them: each
// comes before the slow host has seen half of its entries.
TEST(HostCap, NoMoreThanTwoHitsGoToOneHostAndTheOthersGoOn) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  std::mutex mutex;
  int slow_now = 0, slow_most = 0;
  std::vector<long long> slow_at, fast_at;
  servicetest::SlowServer slow(
      [&](const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        slow_most = std::max(slow_most, ++slow_now);
        slow_at.push_back(NowMs());
        return 1000;
      },
      [&](const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        --slow_now;
        return std::string("HTTP/1.0 200 OK\r\n\r\nslow");
      });
  servicetest::SlowServer fast([&](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex);
    fast_at.push_back(NowMs());
    return 20;
  });
  auto stored =
      AddEntries(db, 1, 10, "127.0.0.1", slow.port(), [](int id) { return "/s-" + std::to_string(id); });
  AddEntries(db, 11, 50, "127.0.0.1", fast.port(), [](int id) { return "/f-" + std::to_string(id); });
  const time_t moved = ParseLocalTimestamp(stored[1]) + kInterval;
  auto r = JantorJoined(db, {"-c", "8", "-H", "2", "-i", "4", "-r", "1"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_NE(r.out.find("At most 2 hits in flight to one host.\r\n"), std::string::npos);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(slow_most, 2);
  ASSERT_EQ(slow_at.size(), 10u);
  ASSERT_EQ(fast_at.size(), 40u);
  EXPECT_LT(*std::max_element(fast_at.begin(), fast_at.end()), slow_at[4]);
  for (auto& [id, next] : NextRuns(db))
    EXPECT_EQ(ParseLocalTimestamp(next), moved) << "entry " << id;
}

// -H 1 with -c 2: more entries of a slow host (a reply a second) than a
// cycle puts aside, then one of another host, fetched last. The worker the
// slow host leaves free takes that entry at once; the slow host's entries
// past the bound are left for a later cycle, their i_next as it was.
TEST(HostCap, PastTheEntriesAsideOtherHostsAreStillHitAtOnce) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  std::atomic<long long> fast_at{0};
  servicetest::SlowServer slow(1000);
  servicetest::SlowServer fast([&](const std::string&) {
    fast_at = NowMs();
    return 0;
  });
  auto stored = AddEntries(db, 1, 1100, "127.0.0.1", slow.port(),
                           [](int id) { return "/s-" + std::to_string(id); });
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
                   "i_next, i_start, i_stop) values (2000, " +
                       std::to_string(fast.port()) + ", '/f', '127.0.0.1', 30, 3600, '" +
                       LocalTimestamp(-50) + "', 0, 1)"));
  testsupport::RunResult r;
  long long start = NowMs();
  std::thread run([&] { r = JantorJoined(db, {"-c", "2", "-H", "1", "-i", "60"}); });
  for (int i = 0; i < 200 && fast_at == 0; ++i) usleep(50 * 1000);
  pid_t pid = hostile::FindProcess(testsupport::OdbcEnv()[0]);
  if (pid > 0) kill(pid, SIGTERM);
  run.join();
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  ASSERT_NE(fast_at, 0) << "the other host's entry waited 10 s and more";
  EXPECT_LT(fast_at - start, 2500) << "the other host's entry waited for the slow one's";
  std::set<std::string> hit;
  for (const std::string& line : slow.requests()) hit.insert(line.substr(line.find("/s-") + 3));
  EXPECT_LT(hit.size(), 10u);
  for (auto& [id, next] : NextRuns(db)) {
    if (id == 2000 || hit.count(std::to_string(id))) continue;
    EXPECT_EQ(next, stored[id]) << "entry " << id << " was not hit and yet moved";
  }
}

// The hits of a table that keeps their state end in fours and are written
// a group at a time, a statement to each set of writes that change the same
// columns; the replies (200, 503, 404 by the entry) and the rows' states
// before (half of them already "ok") mix those sets in every group. Each
// row must get its own values. The database refuses the state of entry 5:
// its group is rolled back and written again one by one, every other hit
// entry is moved on, with its result row under -l, and the refused
// statement is named. Plainly, sharing the table (-s) and with -l.
class GroupedStateWrites
    : public testing::TestWithParam<std::tuple<std::string, std::vector<std::string>>> {};

TEST_P(GroupedStateWrites, EachRowGetsItsOwnStateAndARefusedRowIsNamed) {
  const auto& [kind, way] = GetParam();
  TestDb db = testsupport::MakeDbForCurrentTest(kind);
  testsupport::CreateShippedScheduleTable(db);
  if (!way.empty() && way[0] == "-l") testsupport::CreateShippedResultsTable(db);
  const char* const replies[] = {"HTTP/1.0 200 OK\r\n\r\nfine", "HTTP/1.0 503 Busy\r\n\r\n",
                                 "HTTP/1.0 404 Gone\r\n\r\n"};
  auto id_of = [](const std::string& line) { return std::stoi(line.substr(line.find("/g-") + 3)); };
  servicetest::SlowServer server([](const std::string&) { return 200; },
                                 [&](const std::string& line) { return replies[id_of(line) % 3]; });
  const std::string due = LocalTimestamp(-100);
  std::string sql =
      "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
      "i_start, i_stop, i_failures, i_outcome) values ";
  for (int id = 1; id <= 24; ++id)
    sql += (id == 1 ? "(" : ", (") + std::to_string(id) + ", " + std::to_string(server.port()) +
           ", '/g-" + std::to_string(id) + "', '127.0.0.1', 30, 3600, '" + due + "', 0, 1, " +
           (id % 2 == 0 ? "0, 'ok')" : "NULL, NULL)");
  ASSERT_TRUE(Exec(db, sql));
  if (kind == "postgres") {
    ASSERT_TRUE(Exec(db, "create function refuse() returns trigger language plpgsql as $$ begin "
                         "if new.id = 5 and new.i_last is not null then raise exception "
                         "'refused'; end if; return new; end $$"));
    ASSERT_TRUE(Exec(db, "create trigger refuse before update on schedule_2 for each row "
                         "execute function refuse()"));
  } else {
    ASSERT_TRUE(Exec(db, "create trigger refuse before update on schedule_2 for each row begin "
                         "if new.id = 5 and new.i_last is not null then signal sqlstate '45000' "
                         "set message_text = 'refused'; end if; end"));
  }
  std::vector<std::string> args = {"-c", "4", "-i", "4"};
  args.insert(args.end(), way.begin(), way.end());
  auto r = JantorJoined(db, args);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error Executing - update schedule_2 set i_next = ?"), std::string::npos)
      << r.out;

  std::set<int> hit;
  for (const std::string& line : server.requests()) hit.insert(id_of(line));
  ASSERT_TRUE(hit.count(5));
  const char* const outcomes[] = {"ok", "server-error", "client-error"};
  const char* const statuses[] = {"200", "503", "404"};
  auto rows = Query(db, "select id, i_next, i_status, i_failures, i_outcome, i_recent, i_last "
                        "from schedule_2 order by id");
  ASSERT_EQ(rows.size(), 24u);
  std::map<std::string, std::string> letter_of;  // outcome -> its letter
  for (const auto& row : rows) {
    int id = std::stoi(row[0]);
    SCOPED_TRACE("entry " + row[0]);
    if (id == 5 || !hit.count(id)) {
      EXPECT_NE(ParseLocalTimestamp(row[1].substr(0, 19)), ParseLocalTimestamp(due) + 3600);
      EXPECT_EQ(row[6], "<NULL>");
      continue;
    }
    EXPECT_EQ(ParseLocalTimestamp(row[1].substr(0, 19)), ParseLocalTimestamp(due) + 3600);
    EXPECT_EQ(row[2], statuses[id % 3]);
    EXPECT_EQ(row[3], id % 3 == 0 ? "0" : "1");
    EXPECT_EQ(row[4], outcomes[id % 3]);
    ASSERT_EQ(row[5].size(), 1u);
    auto known = letter_of.emplace(row[4], row[5]).first;
    EXPECT_EQ(known->second, row[5]) << "two letters for " << row[4];
  }
  std::set<std::string> letters;
  for (auto& [outcome, letter] : letter_of) letters.insert(letter);
  EXPECT_EQ(letters.size(), letter_of.size()) << "two outcomes share a letter";
  if (!way.empty() && way[0] == "-l") {
    std::set<int> with_rows;
    for (auto& row : Query(db, "select entry_id from hit_results")) with_rows.insert(std::stoi(row[0]));
    std::set<int> expected = hit;
    expected.erase(5);
    EXPECT_EQ(with_rows, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Databases, GroupedStateWrites,
    testing::Combine(testing::Values("postgres", "mariadb"),
                     testing::Values(std::vector<std::string>{},
                                     std::vector<std::string>{"-s", "60"},
                                     std::vector<std::string>{"-l", "hit_results"})));

// A slow server (one reply every 20 ms, in order) keeps 16 hits in flight;
// the process is killed in the middle of the cycle. No entry may be moved
// twice or be left with a broken time, and of the entries that were hit no
// more than the 16 in flight may have lost their reschedule.
TEST(ParallelHitsKilled, AKillLosesAtMostTheReschedulesInFlight) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  const int kEntries = 300;
  std::atomic<bool> stop{false};
  testsupport::LoopbackPeer slow(
      [&](int fd) {
        std::string request = testsupport::ReadUntil(fd, "\r\n\r\n", 2000);
        slow.Record(request.substr(0, request.find(" HTTP/1.0")));
        if (!stop) usleep(20 * 1000);
        testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nslow");
      },
      kEntries);
  auto stored = AddEntries(db, 1, kEntries, "127.0.0.1", slow.port(),
                           [](int id) { return "/slow-" + std::to_string(id); });

  const std::string mine = testsupport::OdbcEnv()[0];
  testsupport::RunResult r;
  std::thread run([&] {
    std::vector<std::string> args = db.Args();
    args.insert(args.end(), {"-c", "16", "-i", "60"});
    r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 120000);
  });
  for (int i = 0; i < 300 && slow.accepted() < 100; ++i) usleep(20 * 1000);
  pid_t pid = hostile::FindProcess(mine);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  run.join();
  stop = true;
  EXPECT_EQ(r.signal, SIGKILL);

  std::set<int> hit;
  for (const std::string& request : slow.records())
    hit.insert(std::stoi(request.substr(request.find("/slow-") + 6)));
  auto now = NextRuns(db);
  ASSERT_EQ(now.size(), static_cast<size_t>(kEntries));
  int moved = 0, hit_not_moved = 0;
  for (auto& [id, next] : now) {
    time_t was = ParseLocalTimestamp(stored[id]), is = ParseLocalTimestamp(next);
    ASSERT_NE(is, -1) << "entry " << id << " holds " << next;
    EXPECT_TRUE(is == was || is == was + kInterval) << "entry " << id << " holds " << next;
    if (is == was + kInterval) {
      ++moved;
      EXPECT_TRUE(hit.count(id)) << "entry " << id << " moved without a hit";
    } else if (hit.count(id)) {
      ++hit_not_moved;
    }
  }
  EXPECT_GE(moved, 50);
  EXPECT_LT(moved, kEntries);
  EXPECT_LE(hit_not_moved, 16);
}

}  // namespace
