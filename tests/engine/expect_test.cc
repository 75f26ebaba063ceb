// What a successful reply is, per entry (i_expect): one cycle against a
// scripted peer meets every kind of rule and reply; each entry's result
// row has its outcome and reason, a rule that cannot be read is refused
// before any connection, and no output or reason holds a byte of a body.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

// In every body the peer sends, and nowhere in what jantor prints or keeps.
const std::string kMark = "BODY-BYTES-7f3";

struct Case {
  std::string expect;            // i_expect, "NULL" for none
  std::string method;            // i_method, "NULL" for a GET
  std::string status;            // the reply's status line's code
  std::string body;              // the body after kMark
  std::string outcome, reason;   // the result row's; "<NULL>" for none
};

TEST(Expect, EachRuleDecidesItsRepliesOutcomeWithoutQuotingTheBody) {
  const std::string big = std::string(1024 * 1024, 'x') + "NEEDLE";
  const std::vector<Case> cases = {
      {"200", "NULL", "200", "fine", "ok", "<NULL>"},
      {"200", "NULL", "204", "", "unexpected", "status 204 not in 200"},
      {" 200 , 204 ", "NULL", "204", "", "ok", "<NULL>"},
      {"2xx,301", "NULL", "301", "", "ok", "<NULL>"},
      {"2XX", "NULL", "301", "", "unexpected", "status 301 not in 2XX"},
      {"200-299", "NULL", "226", "", "ok", "<NULL>"},
      {"404", "NULL", "404", "", "ok", "<NULL>"},
      {"200", "NULL", "503", "", "server-error", "<NULL>"},
      {"200; body contains UP", "NULL", "200", "{\"status\":\"UP\"}", "ok", "<NULL>"},
      {"200; body contains UP", "NULL", "200", "{\"status\":\"DOWN\"}", "unexpected",
       "body lacks the expected text"},
      {"2xx; body lacks DOWN", "NULL", "200", "{\"status\":\"DOWN\"}", "unexpected",
       "body holds the text it must lack"},
      {"2xx; body contains A;B; body lacks C", "NULL", "200", "xA;By", "ok", "<NULL>"},
      {"2xx; body contains A; body lacks C", "NULL", "200", "AC", "unexpected",
       "body holds the text it must lack"},
      // Sent in two parts with a pause inside the text.
      {"2xx; body contains SPLIT-TEXT", "NULL", "200", "..SPLIT-TEXT..", "ok", "<NULL>"},
      {"2xx; body contains NEEDLE", "NULL", "200", big, "unexpected",
       "body lacks the expected text"},
      {"2xx; body lacks NEEDLE", "NULL", "200", big, "ok", "<NULL>"},
      {"", "NULL", "204", "", "ok", "<NULL>"},
      {"NULL", "NULL", "404", "", "client-error", "<NULL>"},
      {"200; body contains UP", "'HEAD'", "200", "", "bad-request",
       "i_expect: a HEAD reply has no body to look into"},
      {"2x9", "NULL", "200", "", "bad-request",
       "i_expect: '2x9' is no status code, class or range"},
      {"600", "NULL", "200", "", "bad-request",
       "i_expect: '600' is no status code, class or range"},
      {"299-200", "NULL", "200", "", "bad-request",
       "i_expect: '299-200' is no status code, class or range"},
      {"200,,204", "NULL", "200", "", "bad-request", "i_expect: an empty status in '200,,204'"},
      {"200; body has UP", "NULL", "200", "", "bad-request",
       "i_expect: 'body has UP' is no clause (body contains TEXT, or body lacks TEXT)"},
      {"200; body contains  ", "NULL", "200", "", "bad-request",
       "i_expect: body contains needs a text"},
  };
  std::map<int, const Case*> by_id;
  for (size_t i = 0; i < cases.size(); ++i) by_id[static_cast<int>(i + 1)] = &cases[i];

  testsupport::LoopbackPeer peer(
      [&](int fd) {
        std::string request = testsupport::ReadUntil(fd, "\r\n\r\n");
        size_t at = request.find("/e-");
        if (at == std::string::npos) return;
        int id = std::stoi(request.substr(at + 3));
        peer.Record(std::to_string(id));
        const Case& c = *by_id.at(id);
        std::string reply = "HTTP/1.0 " + c.status + " Whatever\r\n\r\n" + kMark + c.body;
        size_t split = reply.find("SPLIT-");
        if (split != std::string::npos) {
          testsupport::SendAll(fd, reply.substr(0, split + 4));
          usleep(100 * 1000);
          reply = reply.substr(split + 4);
        }
        testsupport::SendAll(fd, reply);
      },
      static_cast<int>(cases.size()));

  TestDb db = testsupport::MakeDbForCurrentTest("sqlite");
  testsupport::CreateShippedScheduleTable(db);
  testsupport::CreateShippedResultsTable(db);
  const std::string due = LocalTimestamp(-100);
  for (auto& [id, c] : by_id) {
    std::string expect = c->expect == "NULL" ? "NULL" : "'" + c->expect + "'";
    ASSERT_TRUE(Exec(db, "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                         "i_interval, i_next, i_start, i_stop, i_method, i_expect) values (" +
                             std::to_string(id) + ", " + std::to_string(peer.port()) +
                             ", '/e-" + std::to_string(id) + "', '127.0.0.1', 30, 3600, '" + due +
                             "', 0, 1, " + c->method + ", " + expect + ")"));
  }
  auto r = testsupport::RunJantor(
      [&] {
        auto args = db.Args();
        for (const char* a : {"-c", "4", "-q", "-l", "hit_results", "-i", "4", "-r", "1"})
          args.push_back(a);
        return args;
      }(),
      testsupport::OdbcEnv());
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_EQ(r.out.find(kMark), std::string::npos) << "a body byte was printed";
  EXPECT_EQ(r.out.find("NEEDLE"), std::string::npos);

  std::set<std::string> asked;
  for (const std::string& id : peer.records()) asked.insert(id);
  auto rows = Query(db, "select entry_id, outcome, reason from hit_results order by entry_id");
  ASSERT_EQ(rows.size(), cases.size());
  for (const auto& row : rows) {
    const Case& c = *by_id.at(std::stoi(row[0]));
    SCOPED_TRACE("i_expect " + c.expect + ", reply " + c.status);
    EXPECT_EQ(row[1], c.outcome);
    EXPECT_EQ(row[2], c.reason);
    EXPECT_EQ(row[2].find(kMark), std::string::npos);
    // A rule that is refused is refused before any connection.
    EXPECT_EQ(asked.count(row[0]) == 0, c.outcome == "bad-request");
    if (c.outcome == "unexpected" || c.outcome == "bad-request") {
      EXPECT_NE(r.out.find("Hit failed - id " + row[0] + " - 127.0.0.1:" +
                           std::to_string(peer.port()) + "/e-" + row[0] + " - " + c.outcome +
                           " - " + c.reason + "\r\n"),
                std::string::npos)
          << r.out.substr(0, 3000);
    }
  }
  // An unexpected reply ends its run failed.
  auto failures = Query(db, "select i_failures from schedule_2 where id = 2");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0][0], "1");
}

}  // namespace
