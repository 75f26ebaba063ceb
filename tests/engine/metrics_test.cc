// The metrics endpoint (-m): its answers to each kind of request, the
// series after a cycle of known outcomes as promtool and a real Prometheus
// server read them, the refusal of an endpoint that cannot be had, and
// clients that hold it do not hold the hits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/hostile_support.h"
#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using hostile::NowMs;
using servicetest::Ask;
using servicetest::Connect;
using servicetest::NotifySocket;
using servicetest::Scrape;
using servicetest::Series;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::TestDb;

void AddEntries(const TestDb& db, int first, int last, int port, const std::string& object,
                const std::string& next) {
  std::string sql =
      "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, i_next, "
      "i_start, i_stop) values ";
  for (int id = first; id <= last; ++id) {
    sql += (id == first ? "(" : ", (") + std::to_string(id) + ", " + std::to_string(port) + ", '" +
           object + "', '127.0.0.1', 30, 3600, '" + next + "', 0, 1)";
  }
  ASSERT_TRUE(Exec(db, sql));
}

class MetricsEndpoint : public testing::Test {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest("sqlite");
    testsupport::CreateScheduleTable(db_);
    port_ = testsupport::UnusedPort();
  }
  std::vector<std::string> Args(std::vector<std::string> extra) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), {"-m", std::to_string(port_)});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // Runs jantor in the background until the test is done with it.
  void Start(std::vector<std::string> extra, std::vector<std::string> env = {}) {
    for (auto& e : testsupport::OdbcEnv()) env.push_back(e);
    run_ = std::thread(
        [this, extra, env] { result_ = testsupport::RunJantor(Args(extra), env, 90000); });
    for (int i = 0; i < 100; ++i, usleep(50 * 1000)) {
      int fd = Connect(port_);
      if (fd >= 0) {
        close(fd);
        return;
      }
    }
    FAIL() << "the endpoint never answered";
  }
  // The running jantor of this test: the one of its environment whose
  // command line serves metrics on port_ (another program, Prometheus say,
  // may share the environment, and another test the port).
  pid_t Running() const {
    const std::string wanted = std::string("-m") + '\0' + std::to_string(port_) + '\0';
    const std::string mine = std::string(1, '\0') + testsupport::OdbcEnv()[0] + '\0';
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string cmdline = testsupport::ReadFile(entry.path().string() + "/cmdline");
      std::string environment = '\0' + testsupport::ReadFile(entry.path().string() + "/environ");
      if (cmdline.rfind(JANTOR_BIN, 0) == 0 && cmdline.find(wanted) != std::string::npos &&
          environment.find(mine) != std::string::npos)
        return static_cast<pid_t>(std::stol(name));
    }
    return 0;
  }
  void Stop() {
    pid_t pid = Running();
    if (pid > 0) kill(pid, SIGTERM);
    run_.join();
  }
  TestDb db_;
  int port_ = 0;
  std::thread run_;
  testsupport::RunResult result_;
};

TEST_F(MetricsEndpoint, AnswersEachKindOfRequestWithItsStatusLine) {
  Start({"-i", "60"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"GET /metrics?format=text HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"GET /other HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi",
       "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"GET metrics\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"GET /metrics HTTP/1.1\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
  };
  for (auto& [request, status] : cases) {
    std::string answer = Ask(port_, request);
    EXPECT_EQ(answer.substr(0, status.size()), status) << request.substr(0, 60);
  }
  std::string answer = Ask(port_, cases[0].first);
  EXPECT_NE(answer.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  Stop();
  EXPECT_EQ(result_.status, 0);
}

// After one cycle of three good hits and two refused ones: the counters of
// every outcome word (all of them there, most at 0), the cycle's series,
// the build, the process; promtool finds nothing to complain about.
TEST_F(MetricsEndpoint, SeriesAfterACycleOfKnownOutcomes) {
  AddEntries(db_, 1, 3, testsupport::NginxPort(), "/hello.txt", LocalTimestamp(-100));
  AddEntries(db_, 4, 5, testsupport::UnusedPort(), "/gone", LocalTimestamp(-100));
  long long before = time(nullptr);
  Start({"-c", "4", "-i", "60", "-q"});
  std::string metrics;
  for (int i = 0; i < 100 && Series(metrics, "jantor_cycles_total") < 1; ++i, usleep(50 * 1000))
    metrics = Scrape(port_);
  const std::vector<std::pair<std::string, double>> expected = {
      {"jantor_hits_total{outcome=\"ok\"}", 3},
      {"jantor_hits_total{outcome=\"unreachable\"}", 2},
      {"jantor_hits_total{outcome=\"redirect\"}", 0},
      {"jantor_hits_total{outcome=\"client-error\"}", 0},
      {"jantor_hits_total{outcome=\"server-error\"}", 0},
      {"jantor_hits_total{outcome=\"no-status\"}", 0},
      {"jantor_hits_total{outcome=\"timeout\"}", 0},
      {"jantor_hits_total{outcome=\"too-large\"}", 0},
      {"jantor_hits_total{outcome=\"tls\"}", 0},
      {"jantor_hits_total{outcome=\"bad-host\"}", 0},
      {"jantor_hits_total{outcome=\"bad-request\"}", 0},
      {"jantor_hits_total{outcome=\"bad-schedule\"}", 0},
      {"jantor_hits_total{outcome=\"error\"}", 0},
      {"jantor_hit_duration_seconds_count", 5},
      {"jantor_hit_duration_seconds_bucket{le=\"+Inf\"}", 5},
      {"jantor_hit_duration_seconds_bucket{le=\"1\"}", 5},
      {"jantor_cycles_total", 1},
      {"jantor_due_entries", 5},
      {"jantor_hits_in_flight", 0},
      {"jantor_database_errors_total", 0},
      {"jantor_build_info{version=\"1.0.0\"}", 1},
  };
  for (auto& [series, value] : expected) EXPECT_EQ(Series(metrics, series), value) << series;
  EXPECT_GE(Series(metrics, "jantor_last_cycle_end_timestamp_seconds"), before);
  EXPECT_LE(Series(metrics, "jantor_last_cycle_end_timestamp_seconds"), time(nullptr));
  EXPECT_GT(Series(metrics, "jantor_last_cycle_duration_seconds"), 0);
  EXPECT_LT(Series(metrics, "jantor_last_cycle_duration_seconds"), 10);
  EXPECT_NEAR(Series(metrics, "process_start_time_seconds"), static_cast<double>(before), 5);
  EXPECT_GT(Series(metrics, "process_resident_memory_bytes"), 1 << 20);
  EXPECT_GT(Series(metrics, "process_open_fds"), 3);
  EXPECT_GE(Series(metrics, "process_cpu_seconds_total"), 0);

  std::string file = std::string(JANTOR_TEST_WORK) + "/metrics-" + std::to_string(getpid());
  std::ofstream(file) << metrics;
  EXPECT_EQ(testsupport::Shell("promtool check metrics < '" + file + "' >'" + file + ".out' 2>&1"),
            0)
      << testsupport::ReadFile(file + ".out");
  Stop();
  EXPECT_EQ(result_.status, 0);
}

// The PromQL expressions of doc/metrics.md, in order: each "```promql" block.
std::vector<std::string> ReadmeExpressions() {
  std::string readme = testsupport::ReadFile(std::string(JANTOR_SOURCE_DIR) + "/doc/metrics.md");
  std::vector<std::string> expressions;
  for (size_t at = readme.find("```promql\n"); at != std::string::npos;
       at = readme.find("```promql\n", at + 1)) {
    size_t begin = at + 10;
    std::string block = readme.substr(begin, readme.find("```", begin) - begin);
    while (!block.empty() && block.back() == '\n') block.pop_back();
    expressions.push_back(block);
  }
  return expressions;
}

// A real Prometheus server scrapes jantor every second: the series reach
// it, and the expressions of doc/metrics.md give what they promise.
TEST_F(MetricsEndpoint, PrometheusScrapesTheSeries) {
  auto expressions = ReadmeExpressions();
  ASSERT_EQ(expressions.size(), 2u);

  std::string dir = std::string(JANTOR_TEST_WORK) + "/prometheus-" + std::to_string(getpid());
  ASSERT_EQ(testsupport::Shell("rm -rf '" + dir + "' && mkdir -p '" + dir + "'"), 0);
  int web = testsupport::UnusedPort();
  std::ofstream(dir + "/prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
      << "scrape_configs:\n  - job_name: jantor\n    static_configs:\n"
      << "      - targets: ['127.0.0.1:" << port_ << "']\n";
  std::string server = "prometheus --config.file='" + dir +
                       "/prometheus.yml' --storage.tsdb.path='" + dir +
                       "/data' --web.listen-address=127.0.0.1:" + std::to_string(web) +
                       " --log.level=error >'" + dir + "/log' 2>&1 & echo $! >'" + dir + "/pid'";
  ASSERT_EQ(testsupport::Shell(server), 0);
  Start({"-c", "4", "-i", "4", "-q"});
  auto query = [&](const std::string& expression) {
    std::string out = dir + "/answer";
    testsupport::Shell("curl -s -G --data-urlencode 'query=" + expression + "' http://127.0.0.1:" +
                       std::to_string(web) + "/api/v1/query >'" + out + "' 2>/dev/null");
    return testsupport::ReadFile(out);
  };
  // One value of a vector answer: ..."value":[<time>,"<value>"]...
  static const std::regex kValue(R"re("value":\[[0-9.]+,"([^"]+)"\])re");
  auto value = [&](const std::string& expression) {
    std::smatch match;
    std::string answer = query(expression);
    return std::regex_search(answer, match, kValue) ? match[1].str() : std::string();
  };
  // The entries become due once Prometheus has seen the counters at 0, so
  // that the rates see them grow.
  std::string ok;
  for (int i = 0; i < 300 && ok != "0"; ++i, usleep(100 * 1000))
    ok = value("jantor_hits_total{outcome=\"ok\"}");
  ASSERT_EQ(ok, "0") << testsupport::ReadFile(dir + "/log");
  AddEntries(db_, 1, 2, testsupport::NginxPort(), "/hello.txt", LocalTimestamp(-100));
  AddEntries(db_, 3, 3, testsupport::UnusedPort(), "/gone", LocalTimestamp(-100));
  for (int i = 0; i < 300 && ok != "2"; ++i, usleep(100 * 1000))
    ok = value("jantor_hits_total{outcome=\"ok\"}");
  EXPECT_EQ(ok, "2") << testsupport::ReadFile(dir + "/log");
  EXPECT_EQ(value("jantor_hits_total{outcome=\"unreachable\"}"), "1");
  EXPECT_EQ(value("jantor_build_info"), "1");
  // Nothing failed but the one refused entry: the failure ratio of
  // "unreachable" is a third, and that of every other failure word 0.
  auto ratio_of = [&](const std::string& answer, const std::string& outcome) {
    size_t at = answer.find("\"outcome\":\"" + outcome + "\"");
    std::smatch match;
    std::string rest = at == std::string::npos ? "" : answer.substr(at);
    return std::regex_search(rest, match, kValue) ? std::atof(match[1].str().c_str()) : -1.0;
  };
  std::string ratios;
  for (int i = 0; i < 100 && !(ratio_of(ratios, "unreachable") > 0); ++i, usleep(100 * 1000))
    ratios = query(expressions[0]);
  EXPECT_NEAR(ratio_of(ratios, "unreachable"), 1.0 / 3, 0.01) << ratios;
  EXPECT_EQ(ratio_of(ratios, "timeout"), 0) << ratios;
  EXPECT_EQ(ratio_of(ratios, "ok"), -1) << ratios;
  double since = std::atof(value(expressions[1]).c_str());
  EXPECT_GT(since, 0);
  EXPECT_LT(since, 60);
  Stop();
  testsupport::Shell("kill $(cat '" + dir + "/pid') 2>/dev/null; rm -rf '" + dir + "'");
  EXPECT_EQ(result_.status, 0);
}

// An endpoint that does not parse, or a port already taken, is refused
// after the echo lines, before the database is opened.
TEST_F(MetricsEndpoint, AnEndpointThatCannotBeHadIsRefusedBeforeTheDatabase) {
  testsupport::LoopbackPeer taken([](int) {});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http", "not [ADDRESS:]PORT"},
      {"127.0.0.1:0", "not [ADDRESS:]PORT"},
      {"::1:9100", "not [ADDRESS:]PORT"},
      {"127.0.0.1:" + std::to_string(taken.port()), "Address already in use"},
  };
  for (auto& [endpoint, why] : cases) {
    auto r =
        testsupport::RunJantor({"-d", "nosuchdsn", "-M", endpoint}, testsupport::OdbcEnv(), 30000);
    EXPECT_EQ(r.out,
              "jantor 1.0.0 - scheduled web requests from a database table\r\n"
              "Using nosuchdsn DSN.\r\nServing metrics on " +
                  endpoint + ".\r\nCould not serve metrics on " + endpoint + " - " + why + "\r\n");
    EXPECT_EQ(r.status, 1);
  }
}

// 500 clients at once and one that connects and says nothing hold only the
// endpoint: a cycle of 200 hits at -c 8 takes no longer than one without
// them (a blocked hit path would wait out the silent client's 5 s).
TEST_F(MetricsEndpoint, ClientsThatHoldTheEndpointDoNotHoldTheHits) {
  auto took = [&](bool load) {
    EXPECT_TRUE(Exec(db_, "delete from schedule_2"));
    // Due at the second cycle, once the clients are in place.
    AddEntries(db_, 1, 200, testsupport::NginxPort(), "/hello.txt", LocalTimestamp(+2));
    NotifySocket notify;
    Start({"-c", "8", "-i", "4"}, {notify.Env()});
    std::vector<int> clients;
    if (load) {
      clients.push_back(Connect(port_));  // says nothing
      // Connected or still queued: each holds the endpoint until its deadline.
      for (int i = 0; i < 500; ++i) clients.push_back(Connect(port_, /*blocking=*/false));
    }
    std::string status;
    for (int i = 0; i < 200 && status.empty(); ++i, usleep(50 * 1000)) {
      for (auto& m : notify.messages())
        if (m.text.find(" 200 due,") != std::string::npos) status = m.text;
    }
    for (int fd : clients) close(fd);
    Stop();
    EXPECT_FALSE(status.empty());
    return std::atof(status.substr(status.find("took ") + 5).c_str());
  };
  double quiet = took(false);
  double loaded = took(true);
  EXPECT_LT(loaded, quiet + 2.0) << "without clients " << quiet << " s, with them " << loaded;
}

}  // namespace
