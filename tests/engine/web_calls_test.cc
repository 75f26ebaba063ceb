// Entries that carry their own web call (i_method, i_headers, i_body):
// the bytes that reach a scripted peer, the calls refused before any
// connection, and the whole-hit time limit of -w.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

// A SQL literal of text, or NULL for the null marker.
constexpr char kNull[] = "\x01null";
std::string Literal(const std::string& text) {
  if (text == kNull) return "NULL";
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

struct Call {
  std::string method = kNull, headers = kNull, body = kNull;
  std::string user = kNull, password = kNull;
  std::string timeout = "30";
};

class WebCalls : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest(GetParam());
    testsupport::CreateScheduleTableWithCalls(db_);
    testsupport::CreateResultsTable(db_);
  }

  void Add(int id, int port, const std::string& object, const Call& c) {
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, "
                     "i_timeout, i_interval, i_next, i_start, i_stop, i_method, i_headers, "
                     "i_body) values (" +
                         std::to_string(id) + ", " + Literal(c.user) + ", " +
                         Literal(c.password) + ", " + std::to_string(port) + ", '" + object +
                         "', '127.0.0.1', " + c.timeout + ", 3600, '" + LocalTimestamp(-100) +
                         "', 0, 1, " + Literal(c.method) + ", " + Literal(c.headers) + ", " +
                         Literal(c.body) + ")"));
  }

  testsupport::RunResult Jantor(std::vector<std::string> extra) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), extra.begin(), extra.end());
    return testsupport::RunJantor(args, testsupport::OdbcEnv(), 120000);
  }

  // entry id -> {outcome, reason} of its results row (and its duration_ms).
  std::map<std::string, std::vector<std::string>> Results(bool duration = false) {
    std::map<std::string, std::vector<std::string>> rows;
    for (auto& row : Query(db_, "select entry_id, outcome, reason, duration_ms from hit_results")) {
      rows[row[0]] = {row[1], row[2]};
      if (duration) rows[row[0]].push_back(row[3]);
    }
    return rows;
  }

  bool MovedOn(int id) {
    auto rows = Query(db_, "select i_next from schedule_2 where id = " + std::to_string(id));
    return !rows.empty() && rows[0][0].substr(0, 19) > LocalTimestamp(0);
  }

  TestDb db_;
};

// A peer that records each request whole: the head, then as many body
// bytes as its Content-Length says.
void RecordRequest(testsupport::LoopbackPeer* peer, int fd) {
  std::string request = testsupport::ReadUntil(fd, "\r\n\r\n");
  size_t at = request.find("Content-Length: ");
  if (at != std::string::npos) {
    size_t length = std::stoul(request.substr(at + 16));
    size_t head = request.find("\r\n\r\n") + 4;
    while (request.size() - head < length) {
      std::string more = testsupport::ReadUntil(fd, std::string(), 2000);
      if (more.empty()) break;
      request += more;
    }
  }
  peer->Record(request);
  testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nfine");
}

TEST_P(WebCalls, EachCallReachesThePeerByteForByte) {
  const std::string host = "Host: 127.0.0.1\r\n";
  const std::string megabyte(1 << 20, 'm');
  struct Case {
    Call call;
    std::string expected;  // after "<METHOD> /cN HTTP/1.0\r\n" + Host
  };
  std::vector<Case> cases = {
      {{}, "\r\n"},
      {{.method = "head"}, "\r\n"},
      {{.method = "POST",
        .headers = "Content-Type: application/json\nAuthorization: Bearer t0k:en=\n",
        .body = "{\"event\": \"tick\", \"n\": 1}"},
       "Content-Type: application/json\r\nAuthorization: Bearer t0k:en=\r\n"
       "Content-Length: 25\r\n\r\n{\"event\": \"tick\", \"n\": 1}"},
      {{.method = "Put",
        .headers = "\r\nX-Note:  caf\xc3\xa9 at 10:30  \r\n\r\nX-Empty:\r\n",
        .body = "line one\nline two\t\x7f end"},
       "X-Note: caf\xc3\xa9 at 10:30\r\nX-Empty: \r\nContent-Length: 23\r\n\r\n"
       "line one\nline two\t\x7f end"},
      {{.method = "PATCH"}, "Content-Length: 0\r\n\r\n"},
      {{.method = "delete", .headers = "X-Trace: 7", .user = "alice", .password = "secret"},
       "X-Trace: 7\r\nAuthorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n"},
      {{.method = "OPTIONS", .headers = ""}, "\r\n"},
      {{.method = "POST", .body = megabyte}, "Content-Length: 1048576\r\n\r\n" + megabyte},
  };
  if (GetParam() != "sqlite") cases = {cases[2]};
  testsupport::LoopbackPeer peer([&](int fd) { RecordRequest(&peer, fd); },
                                 static_cast<int>(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i)
    Add(static_cast<int>(i + 1), peer.port(), "/c" + std::to_string(i + 1), cases[i].call);

  auto r = Jantor({"-i", "4", "-r", "1", "-l", "hit_results", "-q"});
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  ASSERT_TRUE(peer.WaitServed(static_cast<int>(cases.size())));
  std::map<std::string, std::string> seen;  // object -> request
  for (const std::string& request : peer.records()) {
    size_t space = request.find(' ');
    seen[request.substr(space + 1, request.find(' ', space + 1) - space - 1)] = request;
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string object = "/c" + std::to_string(i + 1);
    std::string method = cases[i].call.method == kNull ? "GET" : cases[i].call.method;
    for (char& c : method) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string expected = method + " " + object + " HTTP/1.0\r\n" + host + cases[i].expected;
    EXPECT_EQ(seen[object].size(), expected.size()) << object;
    EXPECT_TRUE(seen[object] == expected) << object << ":\n" << seen[object].substr(0, 400);
  }
  for (auto& [id, row] : Results()) EXPECT_EQ(row[0], "ok") << "entry " << id;
}

// The checks and the time limit do not depend on the database.
class WebCallsOnSqlite : public WebCalls {};

TEST_P(WebCallsOnSqlite, RefusedCallsSendNothingAndSayWhyWithoutTheirValues) {
  struct Case {
    Call call;
    std::string reason;
  };
  std::string many;
  for (int i = 0; i < 65; ++i) many += "X-N" + std::to_string(i) + ": SECRET\n";
  const std::vector<Case> cases = {
      {{.method = "FETCH"}, "method: not one of GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS"},
      {{.headers = "X-Ok: 1\nX-Bad: SECRET\rInjected: 1"}, "header 2: value holds a line break"},
      {{.headers = "Bad Name: SECRET"}, "header 1: name is not a token"},
      {{.headers = "NoColonSECRET"}, "header 1: no colon after the name"},
      {{.headers = "X-Bell: SECRET\x07"}, "header 1: value holds a control character"},
      {{.headers = "host: SECRET"}, "header 1: Host is written by jantor"},
      {{.method = "POST", .headers = "Content-Length: 5", .body = "SECRET"},
       "header 1: Content-Length is written by jantor"},
      {{.headers = "Transfer-Encoding: chunked"}, "header 1: Transfer-Encoding is written by jantor"},
      {{.headers = "Authorization: Bearer SECRET", .user = "alice", .password = ""},
       "header 1: Authorization given while i_user or i_pass is set; keep one of them"},
      {{.method = "HEAD", .body = "SECRET"}, "body: given with HEAD"},
      {{.headers = many}, "headers: more than 64 lines"},
      {{.headers = "X-Big: " + std::string(16400, 'S')}, "headers: more than 16384 bytes"},
      {{.method = "POST", .body = std::string((1 << 20) + 1, 'S')},
       "body: more than 1048576 bytes"},
  };
  testsupport::LoopbackPeer peer([](int) {}, 1);
  for (size_t i = 0; i < cases.size(); ++i)
    Add(static_cast<int>(i + 1), peer.port(), "/r" + std::to_string(i + 1), cases[i].call);

  for (const char* mode : {"-q", "-v"}) {
    ASSERT_TRUE(Exec(db_, "delete from hit_results"));
    ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '" + LocalTimestamp(-100) + "'"));
    auto r = Jantor({"-i", "4", "-r", "1", "-l", "hit_results", mode});
    ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
    EXPECT_EQ(r.out.find("SECRET"), std::string::npos) << mode << ": a value was printed";
    EXPECT_EQ(r.out.find("SSSS"), std::string::npos) << mode << ": a value was printed";
    auto results = Results();
    for (size_t i = 0; i < cases.size(); ++i) {
      std::string id = std::to_string(i + 1);
      EXPECT_EQ(results[id], (std::vector<std::string>{"bad-request", cases[i].reason}))
          << mode << " entry " << id;
      EXPECT_TRUE(MovedOn(static_cast<int>(i + 1))) << "entry " << id;
      if (std::string(mode) == "-q") {
        EXPECT_NE(r.out.find("Hit failed - id " + id + " - 127.0.0.1:" +
                             std::to_string(peer.port()) + "/r" + id + " - bad-request - " +
                             cases[i].reason + "\r\n"),
                  std::string::npos)
            << r.out.substr(0, 3000);
      }
    }
  }
  EXPECT_EQ(peer.accepted(), 0) << "a refused call reached the network";
}

// -w: the entry's i_timeout limits its whole hit, against a silent peer and
// one that sends a byte a second; values out of 1..3600 keep the usual
// limits, as does a run without -w.
TEST_P(WebCallsOnSqlite, EachEntrysTimeoutLimitsItsWholeHitWithW) {
  auto silent = [](int fd) {
    testsupport::ReadUntil(fd, "\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::seconds(7));
  };
  auto drip = [](int fd) {
    testsupport::ReadUntil(fd, "\r\n\r\n");
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n");
    for (int i = 0; i < 8 && testsupport::SendAll(fd, "x"); ++i)
      std::this_thread::sleep_for(std::chrono::seconds(1));
  };
  struct Case {
    testsupport::LoopbackPeer::Script script;
    std::string timeout;
    bool with_w;
    bool limited;  // ends as timeout within 2 to 4 s
  };
  const std::vector<Case> cases = {
      {silent, "2", true, true},   {drip, "2", true, true},    {silent, "2", false, false},
      {silent, "0", true, false},  {silent, "'abc'", true, false},
      {silent, "4000", true, false},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Exec(db_, "delete from schedule_2"));
    ASSERT_TRUE(Exec(db_, "delete from hit_results"));
    testsupport::LoopbackPeer peer(c.script, 1);
    Add(1, peer.port(), "/slow", {.timeout = c.timeout});
    std::vector<std::string> args = {"-i", "4", "-r", "1", "-l", "hit_results", "-q"};
    if (c.with_w) args.push_back("-w");
    auto r = Jantor(args);
    std::string label = "i_timeout " + c.timeout + (c.with_w ? " with -w" : " without -w");
    ASSERT_EQ(r.status, 0) << label << r.out.substr(0, 2000);
    auto results = Results(/*duration=*/true);
    ASSERT_EQ(results["1"].size(), 3u) << label;
    double hit_secs = std::stod(results["1"][2]) / 1000;
    if (c.limited) {
      EXPECT_EQ(results["1"][0], "timeout") << label;
      EXPECT_EQ(results["1"][1], "time limit of 2 s ran out") << label;
      EXPECT_GE(hit_secs, 1.9) << label;
      EXPECT_LE(hit_secs, 4) << label;
    } else {
      // The silent peer closes after 7 s, well inside the usual limits.
      EXPECT_GE(hit_secs, 6.5) << label;
      EXPECT_NE(results["1"][0], "timeout") << label;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, WebCalls, testing::Values("sqlite", "postgres", "mariadb"));
INSTANTIATE_TEST_SUITE_P(Databases, WebCallsOnSqlite, testing::Values("sqlite"));

}  // namespace
