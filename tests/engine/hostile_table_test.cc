// Hostile schedule tables: NULL in every column, texts longer than their
// fetch buffers, next-run times in other forms and before 1970, huge and
// negative intervals, ports outside 1..65535, hosts that do not resolve (the
// test program runs in a network namespace of its own with nothing but a
// loopback interface, so no name query leaves the machine), objects with
// blanks, and keys that are not numbers. Each entry gets its documented
// outcome, every stored next run is a whole timestamp, and nothing else in
// the table moves.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "engine/hostile_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"

namespace {

using hostile::LocalText;
using hostile::ParseLocal;
using testsupport::CountOf;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::LoopbackPeer;
using testsupport::Query;
using testsupport::TestDb;

constexpr long kTenYears = 315360000;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Base64 of the tests' own, to check credentials on the wire.
std::string Base64Of(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

class HostileTables : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { db_ = testsupport::MakeDbForCurrentTest(GetParam()); }

  bool Is(const char* kind) const { return GetParam() == kind; }

  // The shipped schedule table.
  void Schedule() { testsupport::CreateScheduleTable(db_); }

  // A table of the schedule format whose texts (and key) are unbounded.
  void WideTable(const std::string& id_type) {
    std::string text = "text";
    std::string when = Is("sqlite") ? "text" : Is("postgres") ? "timestamp(0)" : "datetime";
    std::string real = Is("postgres") ? "double precision" : "double";
    ASSERT_TRUE(Exec(db_, "create table wide (id " + id_type + ", i_user " + text + ", i_pass " +
                              text + ", i_port " + text + ", i_object " + text + ", i_host " +
                              text + ", i_timeout " + text + ", i_interval " + text + ", i_next " +
                              when + ", i_start " + real + ", i_stop " + real + ")"));
  }

  // One entry; every value is an SQL literal. The window is the whole day.
  void Add(const std::string& table, const std::string& id, const std::string& user,
           const std::string& pass, const std::string& port, const std::string& object,
           const std::string& host, const std::string& interval, const std::string& next,
           const std::string& timeout = "30") {
    std::string error;
    ASSERT_TRUE(Exec(db_,
                     "insert into " + table +
                         " (id, i_user, i_pass, i_port, i_object, i_host, i_timeout, i_interval, "
                         "i_next, i_start, i_stop) values (" +
                         id + ", " + user + ", " + pass + ", " + port + ", " + object + ", " +
                         host + ", " + timeout + ", " + interval + ", " + next + ", 0, 1)",
                     &error))
        << error;
  }

  // An entry of the shipped table that is due and hits a port where
  // nothing listens, with only the named columns set otherwise.
  void AddDue(int id, const std::string& interval, const std::string& next,
              const std::string& port = "9", const std::string& object = "'/x'",
              const std::string& host = "'127.0.0.1'") {
    Add("schedule_2", std::to_string(id), "NULL", "NULL", port, object, host, interval, next);
  }

  testsupport::RunResult Jantor(std::vector<std::string> extra) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), extra.begin(), extra.end());
    return testsupport::RunJantor(args, testsupport::OdbcEnv(), 120000);
  }

  // i_next of every entry by its key text.
  std::map<std::string, std::string> NextRuns(const std::string& table = "schedule_2") {
    std::map<std::string, std::string> next;
    for (auto& row : Query(db_, "select id, i_next from " + table)) next[row[0]] = row[1];
    return next;
  }

  TestDb db_;
};

TEST_P(HostileTables, NullInEveryColumnIsTheEmptyText) {
  Schedule();
  LoopbackPeer peer([&](int fd) {
    peer.Record(testsupport::ReadUntil(fd, "\r\n\r\n"));
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nok");
  });
  // Due, with every other fetched column NULL: no host to reach, port 80,
  // interval 0, so it stays due and is met again in the second cycle.
  std::string past = LocalTimestamp(-1000);
  Add("schedule_2", "1", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", Quoted(past), "NULL");
  // NULL everywhere (but the key): never due.
  ASSERT_TRUE(Exec(db_,
                   "insert into schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, "
                   "i_timeout, i_interval, i_next, i_start, i_stop) values (2, NULL, NULL, "
                   "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)"));
  // A good entry after them.
  Add("schedule_2", "3", "NULL", "NULL", std::to_string(peer.port()), "'/after'", "'127.0.0.1'",
      "3600", Quoted(LocalTimestamp(-999)));

  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(CountOf(r.out,
                    "Hitting - http://: with s timeout.\r\nWarning - Object missing / - "
                    "hit not likely to succeed\r\n\r\n-- -- -- -- *80*\r\n"),
            2)
      << r.out;
  EXPECT_EQ(CountOf(r.out, "(Hit Failed)"), 2);
  ASSERT_EQ(peer.records().size(), 1u);
  EXPECT_EQ(peer.records()[0], "GET /after HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  auto next = NextRuns();
  EXPECT_EQ(next["1"].substr(0, 19), past);
  EXPECT_EQ(next["2"], "<NULL>");
  EXPECT_GT(ParseLocal(next["3"].substr(0, 19)), time(nullptr)) << next["3"];
}

TEST_P(HostileTables, KeyThatIsNotANumberIsNeverPutIntoTheUpdate) {
  WideTable("text");
  std::string later = LocalTimestamp(+5000);
  std::string past = LocalTimestamp(-1000);
  Add("wide", "'1'", "NULL", "NULL", "'9'", "'/x'", "'127.0.0.1'", "'3600'", Quoted(later));
  // Unquoted, this key would pick every row of the table.
  Add("wide", "'2 or 1=1'", "NULL", "NULL", "'9'", "'/x'", "'127.0.0.1'", "'3600'", Quoted(past));
  Add("wide", "'3'", "NULL", "NULL", "'9'", "'/x'", "'127.0.0.1'", "'3600'", Quoted(later));
  auto r = Jantor({"-i", "4", "-r", "1", "-t", "wide"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error Executing - update wide set i_next = '" +
                       LocalText(ParseLocal(past) + 3600) + "' where id = 2 or 1=1\r\n"),
            std::string::npos)
      << r.out;
  auto next = NextRuns("wide");
  EXPECT_EQ(next["1"].substr(0, 19), later);
  EXPECT_EQ(next["2 or 1=1"].substr(0, 19), past);
  EXPECT_EQ(next["3"].substr(0, 19), later);
}

TEST_P(HostileTables, NullKeyIsNeverPutIntoTheUpdate) {
  WideTable("integer");
  std::string past = LocalTimestamp(-1000);
  Add("wide", "NULL", "NULL", "NULL", "'9'", "'/x'", "'127.0.0.1'", "'3600'", Quoted(past));
  auto r = Jantor({"-i", "4", "-r", "1", "-t", "wide"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error Executing - update wide set i_next = '" +
                       LocalText(ParseLocal(past) + 3600) + "' where id = \r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(NextRuns("wide")["<NULL>"].substr(0, 19), past);
}

TEST_P(HostileTables, OverLongTextsAreCutToTheirFetchBuffers) {
  WideTable("integer");
  LoopbackPeer peer([&](int fd) {
    peer.Record(testsupport::ReadUntil(fd, "\r\n\r\n"));
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nok");
  });
  const std::string user(200, 'u'), pass(200, 'p'), object = "/" + std::string(300, 'o');
  const std::string port = std::to_string(peer.port()) + std::string(100, 'x');
  const std::string timeout(100, '7'), interval = "3600" + std::string(100, '0');
  std::string past = LocalTimestamp(-1000);
  // SQLite keeps any text in the time column: the stored time followed by
  // more than its buffer holds.
  std::string next = Is("sqlite") ? past + std::string(100, ' ') + "tail" : past;
  Add("wide", "1", Quoted(user), Quoted(pass), Quoted(port), Quoted(object), "'127.0.0.1'",
      Quoted(interval), Quoted(next), Quoted(timeout));
  Add("wide", "2", "NULL", "NULL", "'9'", "'/x'", Quoted(std::string(300, 'h')), "'3600'",
      Quoted(past));

  time_t before = time(nullptr);
  auto r = Jantor({"-i", "4", "-r", "1", "-v", "-t", "wide"});
  ASSERT_EQ(r.status, 0) << r.out;
  // Each text is cut to its buffer less the terminator: 62, 62, 30, 126,
  // 126, 30, 30 and 62 characters.
  const std::string u = user.substr(0, 62), p = pass.substr(0, 62), o = object.substr(0, 126);
  EXPECT_NE(r.out.find("Hitting - http://" + u + ":" + p + "@127.0.0.1:" + port.substr(0, 30) + o +
                       " with " + timeout.substr(0, 30) + "s timeout.\r\n"),
            std::string::npos)
      << r.out.substr(0, 3000);
  ASSERT_EQ(peer.records().size(), 1u);
  EXPECT_EQ(peer.records()[0], "GET " + o +
                                   " HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                                   Base64Of(u + ":" + p) + "\r\n\r\n");
  EXPECT_NE(r.out.find("Hitting - http://" + std::string(126, 'h') + ":9/x with"),
            std::string::npos);
  EXPECT_EQ(CountOf(r.out, "(Hit Failed)"), 1);
  // Thirty digits of interval are more than an int holds: the largest one.
  auto runs = NextRuns("wide");
  EXPECT_EQ(ParseLocal(runs["1"].substr(0, 19)), ParseLocal(past) + INT_MAX) << runs["1"];
  EXPECT_EQ(ParseLocal(runs["2"].substr(0, 19)), ParseLocal(past) + 3600);
  EXPECT_LT(before, ParseLocal(runs["1"].substr(0, 19)));
}

TEST_P(HostileTables, NextRunInOtherFormsIsRescheduledFromNow) {
  Schedule();
  // Texts the scanners refuse (other forms, before 1970) are rescheduled from
  // the present; texts they accept move on from what they say. The interval
  // takes both far into the future, so each is met once.
  std::vector<std::string> refused = {"1969-12-31 23:59:59", "1900-01-01 00:00:00"};
  std::map<std::string, std::string> accepted = {{"2020-02-29 10:00:00", "2020-02-29 10:00:00"}};
  if (Is("sqlite")) {
    refused.insert(refused.end(),
                   {"", "0000-00-00 00:00:00", "2000-13-45 99:99:99", "01.02.2026 10:00:00", "1a"});
    accepted[" 2020-01-01 00:00:00"] = "2020-01-01 00:00:00";
    accepted["2020-02-30 10:00:00"] = "2020-03-01 10:00:00";
    accepted["2020-01-01 10:00:00.999 and more"] = "2020-01-01 10:00:00";
  }
  if (Is("postgres")) refused.insert(refused.end(), {"0044-03-15 00:00:00 BC", "0001-01-01"});
  if (Is("mariadb")) refused.push_back("1000-01-01 00:00:00");
  int id = 1;
  std::map<int, std::string> expected;  // id -> next run, for the accepted ones
  for (const std::string& text : refused) AddDue(id++, std::to_string(kTenYears), Quoted(text));
  int first_accepted = id;
  for (auto& [text, reading] : accepted) {
    expected[id] = LocalText(ParseLocal(reading) + kTenYears);
    AddDue(id++, std::to_string(kTenYears), Quoted(text));
  }

  time_t before = time(nullptr);
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  time_t after = time(nullptr);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(CountOf(r.out, "rescheduled from now"), static_cast<int>(refused.size())) << r.out;
  for (auto& [key, next] : NextRuns()) {
    int n = std::stoi(key);
    time_t written = ParseLocal(next.substr(0, 19));
    ASSERT_NE(written, -1) << "entry " << n << ": " << next;
    if (n < first_accepted) {
      EXPECT_GE(written, before + kTenYears) << "entry " << n;
      EXPECT_LE(written, after + kTenYears) << "entry " << n;
    } else {
      EXPECT_EQ(next.substr(0, 19), expected[n]) << "entry " << n;
    }
  }
}

TEST_P(HostileTables, HugeAndNegativeIntervalsGiveWholeTimestamps) {
  Schedule();
  std::string past = LocalTimestamp(-1000);
  AddDue(1, "2147483647", Quoted(past));
  AddDue(2, "-2147483648", Quoted(past));
  AddDue(3, "-3600", Quoted(past));
  if (Is("sqlite")) {  // SQLite keeps any text: numbers beyond 32 bits are clamped
    AddDue(4, "'99999999999999999999 s'", Quoted(past));
    AddDue(5, "'-99999999999999999999 s'", Quoted(past));
  }
  time_t before = time(nullptr);
  auto r = Jantor({"-i", "4", "-r", "1"});
  time_t after = time(nullptr);
  ASSERT_EQ(r.status, 0) << r.out;
  auto next = NextRuns();
  time_t stored = ParseLocal(past);
  // Cycle one moves each on; in cycle two only the past ones are due again.
  EXPECT_EQ(ParseLocal(next["1"].substr(0, 19)), stored + INT_MAX) << next["1"];
  EXPECT_EQ(ParseLocal(next["3"].substr(0, 19)), stored - 7200) << next["3"];
  // Back before 1970, the time is refused in cycle two and taken from then.
  time_t minus = ParseLocal(next["2"].substr(0, 19));
  EXPECT_GE(minus, before + INT_MIN) << next["2"];
  EXPECT_LE(minus, after + INT_MIN) << next["2"];
  if (Is("sqlite")) {
    EXPECT_EQ(next["4"], next["1"]);
    EXPECT_EQ(next["5"], next["2"]);
  }
}

TEST_P(HostileTables, PortsOutsideTheRangeWrapOrFail) {
  Schedule();
  LoopbackPeer peer(
      [&](int fd) {
        peer.Record(testsupport::ReadUntil(fd, "\r\n\r\n"));
        testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nok");
      },
      5);
  std::string past = LocalTimestamp(-1000);
  AddDue(1, "3600", Quoted(past), "-1", "'/minus-one'");
  AddDue(2, "3600", Quoted(past), std::to_string(65536 + peer.port()), "'/wrapped'");
  AddDue(3, "3600", Quoted(past), std::to_string(-65536 + peer.port()), "'/negative'");
  AddDue(4, "3600", Quoted(past), "2147483647", "'/largest'");
  AddDue(5, "3600", Quoted(past), "0", "'/zero'");
  if (Is("sqlite")) {
    AddDue(6, "3600", Quoted(past), "'abc'", "'/letters'");
    AddDue(7, "3600", Quoted(past), "99999999999", "'/beyond'");
  }
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  // Only the port that wraps onto the peer reaches it: a service number is
  // taken modulo 65536, and a negative one is no number at all.
  ASSERT_EQ(peer.records().size(), 1u) << r.out;
  EXPECT_EQ(peer.records()[0], "GET /wrapped HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_NE(r.out.find("-127.0.0.1- -/minus-one- -- -- *-1*"), std::string::npos);
  EXPECT_NE(r.out.find("-127.0.0.1- -/zero- -- -- *80*"), std::string::npos);
  if (Is("sqlite")) {
    EXPECT_NE(r.out.find("-127.0.0.1- -/letters- -- -- *80*"), std::string::npos);
    EXPECT_NE(r.out.find("-127.0.0.1- -/beyond- -- -- *2147483647*"), std::string::npos);
  }
  EXPECT_EQ(CountOf(r.out, "(Successful)"), 1);
  for (auto& [key, next] : NextRuns())
    EXPECT_EQ(ParseLocal(next.substr(0, 19)), ParseLocal(past) + 3600) << "entry " << key;
}

TEST_P(HostileTables, HostsThatDoNotResolveFailAtOnce) {
  Schedule();
  std::string past = LocalTimestamp(-1000);
  const std::vector<std::string> hosts = {"no-such-host.invalid",
                                          "host with blanks",
                                          std::string(126, 'h'),
                                          "256.256.256.256",
                                          "::1",
                                          "-",
                                          "",
                                          "127.0.0.1.invalid"};
  int id = 1;
  for (const std::string& host : hosts)
    AddDue(id++, "3600", Quoted(past), "80", "'/x'", Quoted(host));
  long long start = hostile::NowMs();
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  long long took_ms = hostile::NowMs() - start;
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(CountOf(r.out, "(Hit Failed)"), static_cast<int>(hosts.size())) << r.out;
  EXPECT_EQ(CountOf(r.out, "Could not connect to httphost1\r\n\r\n***** Setting Error 1900"),
            static_cast<int>(hosts.size()));
  // Two cycles and the sleep between them; no lookup waits on a network.
  EXPECT_LT(took_ms, 30000);
  for (auto& [key, next] : NextRuns())
    EXPECT_EQ(ParseLocal(next.substr(0, 19)), ParseLocal(past) + 3600) << "entry " << key;
}

TEST_P(HostileTables, ObjectsWithBlanksAreSentAsTheyAre) {
  Schedule();
  LoopbackPeer peer(
      [&](int fd) {
        peer.Record(testsupport::ReadUntil(fd, "\r\n\r\n"));
        testsupport::SendAll(fd, "HTTP/1.0 400 Bad Request\r\n\r\n");
      },
      3);
  std::string port = std::to_string(peer.port());
  AddDue(1, "3600", Quoted(LocalTimestamp(-1000)), port, "'/a b/c d?e f'");
  AddDue(2, "3600", Quoted(LocalTimestamp(-999)), port, "'   '");
  auto r = Jantor({"-i", "4", "-r", "1", "-v"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(peer.records().size(), 2u);
  EXPECT_EQ(peer.records()[0], "GET /a b/c d?e f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(peer.records()[1],
            "GET " + std::string(3, ' ') + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(CountOf(r.out, "Warning - Object missing /"), 1);
  EXPECT_EQ(CountOf(r.out, "(Successful)\r\nServer said - HTTP/1.0 400 Bad Request"), 2);
  for (auto& [key, next] : NextRuns()) EXPECT_GT(ParseLocal(next.substr(0, 19)), time(nullptr));
}

INSTANTIATE_TEST_SUITE_P(Databases, HostileTables,
                         testing::Values("sqlite", "postgres", "mariadb"));

}  // namespace
