// Database faults: the PostgreSQL server stopped while jantor sleeps and in
// the middle of a cycle (a private server of this test program, not the
// shared one), and SIGKILL at random moments of a long run on SQLite. jantor
// ends with "Error Executing - ..." and status 1; every entry that was hit
// and rescheduled keeps its new next run, none is half-written, and none
// falls more than one interval behind: a hit may repeat, none is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/hostile_support.h"
#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using hostile::ParseLocal;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::LoopbackPeer;
using testsupport::Query;
using testsupport::ReadFile;
using testsupport::Shell;
using testsupport::TestDb;
using testsupport::Trimmed;

// A PostgreSQL server of this test program (tests/support/pg.sh), which the
// tests stop and start again at will.
class PrivatePostgres {
 public:
  PrivatePostgres()
      : dir_(std::string(JANTOR_TEST_WORK) + "/pg-faults-" + std::to_string(getpid())) {
    started_ = Shell(Support("pg.sh") + " start '" + dir_ + "' >/dev/null") == 0;
    if (!started_) return;
    port_ = Trimmed(ReadFile(dir_ + "/port"));
    socket_dir_ = Trimmed(ReadFile(dir_ + "/socketdir"));
    password_ = Trimmed(ReadFile(dir_ + "/password"));
    bin_ = Trimmed(Output("ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n1"));
  }
  ~PrivatePostgres() { Shell(Support("pg.sh") + " stop '" + dir_ + "' >/dev/null 2>&1"); }

  bool started() const { return started_; }

  // A fresh database on this server and a data source for it.
  TestDb MakeDb(const std::string& name) {
    AddDsn("faults_admin", "jantor");
    TestDb admin{"postgres", "faults_admin", "jantor", password_, ""};
    Exec(admin, "drop database if exists " + name);
    Exec(admin, "create database " + name);
    AddDsn(name, name);
    return TestDb{"postgres", name, "jantor", password_, ""};
  }

  // "fast" ends the sessions politely; "immediate" is a crash.
  bool Stop(const std::string& mode) {
    return Shell(AsOwner() + bin_ + "/pg_ctl -D '" + dir_ + "/data' -m " + mode +
                 " -w stop >/dev/null 2>&1") == 0;
  }
  bool Start() {
    return Shell(AsOwner() + bin_ + "/pg_ctl -D '" + dir_ + "/data' -l '" + dir_ +
                 "/server.log' -w -t 60 -o '-p " + port_ + " -k " + socket_dir_ +
                 " -c listen_addresses=127.0.0.1 -c fsync=off' start >/dev/null 2>&1") == 0;
  }

 private:
  static std::string Support(const std::string& script) {
    return std::string(JANTOR_SUPPORT_DIR) + "/" + script;
  }
  static std::string AsOwner() { return getuid() == 0 ? "runuser -u postgres -- " : ""; }
  static std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[512];
      while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
      pclose(pipe);
    }
    return out;
  }
  void AddDsn(const std::string& name, const std::string& database) {
    std::string env = testsupport::OdbcEnv()[0];  // ODBCSYSINI=<folder>
    std::string folder = env.substr(env.find('=') + 1);
    Shell(std::string(JANTOR_SOURCE_DIR) + "/scripts/odbc-dsn.sh '" + folder + "' " + name +
          " postgres '" + socket_dir_ + "' " + port_ + " " + database);
  }

  std::string dir_, port_, socket_dir_, password_, bin_;
  bool started_ = false;
};

// Entries of a schedule table and how far each has moved on.
class Schedule : public testing::Test {
 protected:
  // Entries 1..n due in that order, each hitting `port` with object /e<id>.
  void AddEntries(const TestDb& db, int n, int port) {
    for (int id = 1; id <= n; ++id) {
      stored_[id] = LocalTimestamp(-1000 + id);
      ASSERT_TRUE(Exec(db,
                       "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                       "i_interval, i_next, i_start, i_stop) values (" +
                           std::to_string(id) + ", " + std::to_string(port) + ", '/e" +
                           std::to_string(id) + "', '127.0.0.1', 30, 3600, '" + stored_[id] +
                           "', 0, 1)"));
    }
  }

  // Seconds each entry has moved on, by id.
  std::map<int, long> Moved(const TestDb& db) {
    std::map<int, long> moved;
    for (auto& row : Query(db, "select id, i_next from schedule_2")) {
      int id = std::stoi(row[0]);
      moved[id] = static_cast<long>(ParseLocal(row[1]) - ParseLocal(stored_[id]));
    }
    return moved;
  }

  std::map<int, std::string> stored_;
};

class DatabaseFaults : public Schedule {
 protected:
  static void SetUpTestSuite() { server_ = new PrivatePostgres; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->started()) << "the private PostgreSQL server did not start";
  }

  static PrivatePostgres* server_;
};

PrivatePostgres* DatabaseFaults::server_ = nullptr;

using SqliteKills = Schedule;

LoopbackPeer::Script Answer(LoopbackPeer* peer, std::function<void(int)> before_reply = {}) {
  return [peer, before_reply](int fd) {
    std::string request = testsupport::ReadUntil(fd, "\r\n\r\n");
    // A client killed between its connect and its request sent nothing.
    if (request.rfind("GET ", 0) != 0) return;
    peer->Record(request.substr(4, request.find(' ', 4) - 4));  // the object
    if (before_reply) before_reply(static_cast<int>(peer->records().size()));
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nok");
  };
}

TEST_F(DatabaseFaults, ServerStoppedDuringTheSleepEndsTheRunAtTheNextSelect) {
  TestDb db = server_->MakeDb("faults_sleep");
  testsupport::CreateScheduleTable(db);
  std::atomic<LoopbackPeer*> peer_ptr{nullptr};  // set once the peer's thread runs
  LoopbackPeer peer([&](int fd) { Answer(peer_ptr.load())(fd); }, 10);
  peer_ptr = &peer;
  AddEntries(db, 4, peer.port());

  // Once the cycle's four hits are made (and written back right after), the
  // server goes away while jantor sleeps.
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    if (!peer.WaitServed(4, 60000)) return;
    usleep(1500 * 1000);
    stopped = server_->Stop("fast");
  });
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "6"});
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 60000);
  stopper.join();
  ASSERT_TRUE(stopped);
  ASSERT_TRUE(server_->Start());

  EXPECT_EQ(r.status, 1) << r.out;
  size_t error = r.out.find("Error Executing - select id, i_user, i_pass, i_port, i_object, ");
  ASSERT_NE(error, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\r\n", error), r.out.size() - 2);  // the last line
  EXPECT_EQ(peer.records(), (std::vector<std::string>{"/e1", "/e2", "/e3", "/e4"}));
  for (auto& [id, seconds] : Moved(db)) EXPECT_EQ(seconds, 3600) << "entry " << id;
}

// The server stopped while jantor sleeps: the status page says so at once
// with 503 (its connection is its own), the metrics are still served, and
// once the server is back the page reads again over a new connection.
TEST_F(DatabaseFaults, StatusPageAnswers503WhileTheServerIsDownAndReadsAgainAfter) {
  TestDb db = server_->MakeDb("faults_page");
  testsupport::CreateShippedScheduleTable(db);
  ASSERT_TRUE(Exec(db,
                   "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                   "i_interval, i_next) values (1, 9, '/page', '127.0.0.1', 30, 3600, '" +
                       LocalTimestamp(3600) + "')"));
  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "60"});
  servicetest::ServingDaemon jantor(args, "faults-page", 60000);
  const int port = jantor.port();
  auto status = [port](const char* path) {
    return servicetest::Ask(port, std::string("GET ") + path + " HTTP/1.0\r\n\r\n").substr(0, 12);
  };
  EXPECT_EQ(status("/"), "HTTP/1.1 200");

  ASSERT_TRUE(server_->Stop("fast"));
  long long asked = hostile::NowMs();
  std::string down = servicetest::Ask(port, "GET /entries.json HTTP/1.0\r\n\r\n");
  EXPECT_EQ(down.substr(0, 12), "HTTP/1.1 503") << down;
  EXPECT_LT(hostile::NowMs() - asked, 5000);
  EXPECT_EQ(status("/"), "HTTP/1.1 503");
  EXPECT_GE(servicetest::Series(servicetest::Scrape(port), "jantor_cycles_total"), 1);
  ASSERT_TRUE(server_->Start());
  EXPECT_EQ(status("/"), "HTTP/1.1 200");
  EXPECT_EQ(status("/badge/1.svg"), "HTTP/1.1 200");

  const auto& r = jantor.Stop();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(DatabaseFaults, ServerCrashingDuringACycleKeepsWhatWasWrittenWhole) {
  TestDb db = server_->MakeDb("faults_cycle");
  testsupport::CreateScheduleTable(db);
  std::atomic<LoopbackPeer*> peer_ptr{nullptr};  // set once the peer's thread runs
  // The third hit brings the server down before it answers: entries 1 and 2
  // have been written back, 3 is hit but cannot be, 4 to 6 are not reached.
  std::atomic<bool> stopped{false};
  LoopbackPeer peer(
      [&](int fd) {
        Answer(peer_ptr.load(), [&](int hits) {
          if (hits == 3) stopped = server_->Stop("immediate");
        })(fd);
      },
      10);
  peer_ptr = &peer;
  AddEntries(db, 6, peer.port());

  std::vector<std::string> args = db.Args();
  args.insert(args.end(), {"-i", "6"});
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 60000);
  ASSERT_TRUE(stopped);
  ASSERT_TRUE(server_->Start());

  EXPECT_EQ(r.status, 1) << r.out;
  std::string next3 = hostile::LocalText(ParseLocal(stored_[3]) + 3600);
  EXPECT_NE(r.out.find("Error Executing - update schedule_2 set i_next = '" + next3 +
                       "' where id = 3\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(peer.records(), (std::vector<std::string>{"/e1", "/e2", "/e3"}));
  // At least once: 3 was hit and will be hit again; no row is in between.
  std::map<int, long> moved = Moved(db);
  EXPECT_EQ(moved, (std::map<int, long>{{1, 3600}, {2, 3600}, {3, 0}, {4, 0}, {5, 0}, {6, 0}}));
}

TEST_F(SqliteKills, KilledAtRandomMomentsLoseNoHitAndLeaveTheTableWhole) {
  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateScheduleTable(db);
  constexpr int kEntries = 8, kInterval = 60, kKills = 6;
  // Every hit takes a little while, so that kills fall inside cycles too.
  std::atomic<LoopbackPeer*> peer_ptr{nullptr};  // set once the peer's thread runs
  LoopbackPeer peer([&](int fd) { Answer(peer_ptr.load(), [](int) { usleep(120 * 1000); })(fd); },
                    10000);
  peer_ptr = &peer;
  for (int id = 1; id <= kEntries; ++id) {
    // Far behind: due in every cycle of the run.
    stored_[id] = LocalTimestamp(-100000 + id);
    ASSERT_TRUE(Exec(db,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next, i_start, i_stop) values (" +
                         std::to_string(id) + ", " + std::to_string(peer.port()) + ", '/e" +
                         std::to_string(id) + "', '127.0.0.1', 30, " + std::to_string(kInterval) +
                         ", '" + stored_[id] + "', 0, 1)"));
  }

  std::mt19937 random(20261207);  // fixed: a failure can be replayed
  std::uniform_int_distribution<int> moment_ms(200, 5600);
  for (int kill = 1; kill <= kKills; ++kill) {
    int after_ms = moment_ms(random);
    std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL",
                                     std::to_string(after_ms / 1000.0), JANTOR_BIN};
    for (const std::string& a : db.Args()) argv.push_back(a);
    argv.insert(argv.end(), {"-i", "4"});
    auto r = testsupport::Run(argv, testsupport::OdbcEnv(), 30000);
    // timeout passes the kill on to itself (or reports it as 137).
    ASSERT_TRUE(r.signal == SIGKILL || r.status == 137)
        << "kill " << kill << " after " << after_ms << " ms\n"
        << r.out;

    // The table is whole and readable, and every next run a whole time.
    auto check = Query(db, "pragma integrity_check");
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(check[0][0], "ok");
    std::map<int, long> moved = Moved(db);
    std::map<int, int> hits;
    for (const std::string& object : peer.records()) ++hits[std::stoi(object.substr(2))];
    long least = LONG_MAX, most = LONG_MIN;
    int unanswered = 0;
    for (int id = 1; id <= kEntries; ++id) {
      ASSERT_EQ(moved[id] % kInterval, 0) << "entry " << id << " half-written";
      long advances = moved[id] / kInterval;
      least = std::min(least, advances);
      most = std::max(most, advances);
      // Every move on followed a hit; a hit without its move on is repeated.
      EXPECT_GE(hits[id], advances) << "entry " << id << " moved on without a hit";
      unanswered += hits[id] - static_cast<int>(advances);
    }
    // Entries are met in order, one at a time: none falls more than one
    // interval behind another, and each kill leaves at most one hit without
    // its new next run.
    EXPECT_LE(most - least, 1) << "after kill " << kill;
    EXPECT_LE(unanswered, kill);
    printf("kill %d after %d ms: moved on %ld..%ld intervals, %d hits to repeat\n", kill, after_ms,
           least, most, unanswered);
  }
  EXPECT_GT(peer.records().size(), static_cast<size_t>(kEntries));  // work was done
}

}  // namespace
