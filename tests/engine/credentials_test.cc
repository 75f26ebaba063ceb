// Secrets named by reference (${cred:NAME}) instead of held in the table:
// the bytes that reach a scripted peer from each column, the references
// refused before any connection and why, a file replaced between cycles,
// and that no resolved byte shows in jantor's output, its result rows, the
// status page or its JSON.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/service_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

std::string Literal(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// Writes a credential file whole, by rename, as systemd and secret mounts
// put theirs in place.
void WriteCredential(const std::string& dir, const std::string& name, const std::string& bytes,
                     mode_t mode = 0600) {
  std::string path = dir + "/" + name, fresh = path + ".new";
  FILE* file = fopen(fresh.c_str(), "wb");
  ASSERT_NE(file, nullptr) << fresh;
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  chmod(fresh.c_str(), mode);
  ASSERT_EQ(rename(fresh.c_str(), path.c_str()), 0);
}

// A peer that keeps each request whole (the head and the body its
// Content-Length announces) and answers 200.
testsupport::LoopbackPeer::Script Recording(testsupport::LoopbackPeer* const* peer) {
  return [peer](int fd) {
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
    (*peer)->Record(request);
    testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nfine");
  };
}

class Credentials : public testing::Test {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest("sqlite");
    testsupport::CreateShippedScheduleTable(db_);
    testsupport::CreateResultsTable(db_);
    dir_ = std::string(JANTOR_TEST_WORK) + "/creds-" + std::to_string(getpid()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
    testsupport::Shell("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "' && chmod 700 '" + dir_ +
                       "'");
  }
  void TearDown() override { testsupport::Shell("rm -rf '" + dir_ + "'"); }

  void Add(int id, int port, const std::string& object, const std::string& method,
           const std::string& headers, const std::string& body, const std::string& user = "",
           const std::string& password = "", int interval = 3600) {
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_user, i_pass, i_port, i_object, i_host, "
                     "i_timeout, i_interval, i_next, i_method, i_headers, i_body) values (" +
                         std::to_string(id) + ", " + Literal(user) + ", " + Literal(password) +
                         ", " + std::to_string(port) + ", " + Literal(object) +
                         ", '127.0.0.1', 30, " + std::to_string(interval) + ", '" +
                         LocalTimestamp(-100) + "', " + Literal(method) + ", " + Literal(headers) +
                         ", " + Literal(body) + ")"));
  }

  // entry id -> {outcome, reason}
  std::map<std::string, std::vector<std::string>> Results() {
    std::map<std::string, std::vector<std::string>> rows;
    for (auto& row : Query(db_, "select entry_id, outcome, reason from hit_results"))
      rows[row[0]] = {row[1], row[2]};
    return rows;
  }
  // Every text of every results row and schedule row, for the leak checks.
  std::string Stored() {
    std::string all;
    for (const char* table : {"hit_results", "schedule_2"})
      for (auto& row : Query(db_, std::string("select * from ") + table))
        for (auto& field : row) all += field + "\n";
    return all;
  }

  TestDb db_;
  std::string dir_;
};

TEST_F(Credentials, EachColumnSendsItsSecretAndRefusalsNameTheReferenceOnly) {
  WriteCredential(dir_, "user", "S3CRET-user\n");
  WriteCredential(dir_, "pass", "S3CRET-pass\r\n");
  WriteCredential(dir_, "api_key", "S3CRET-key");
  WriteCredential(dir_, "token", "S3CRET-token\n", 0640);  // readable by its group: a warning
  WriteCredential(dir_, "blob", "S3CRET-body\r\n");
  WriteCredential(dir_, "multi", "S3CRET-one\nS3CRET-two\n");
  WriteCredential(dir_, "spaced", "S3CRET a");
  WriteCredential(dir_, "bell", "S3CRET\x07");
  const std::string sixty_five(65, 'n');
  WriteCredential(dir_, "locked", "S3CRET-locked", 0000);
  bool root = geteuid() == 0;  // root reads a file of mode 0 all the same

  struct Case {
    std::string object = "/c", method = "GET", headers = "", body = "", user = "", password = "";
    std::string sent = "";    // the request after its first line and Host, "" when refused
    std::string reason = "";  // the refusal
  };
  const std::vector<Case> cases = {
      {.user = "${cred:user}",
       .password = "${cred:pass}",
       .sent =
           "Authorization: Basic " + std::string("UzNDUkVULXVzZXI6UzNDUkVULXBhc3M=") + "\r\n\r\n"},
      {.object = "/o?key=${cred:api_key}&x=1", .sent = "\r\n"},
      {.headers = "Authorization: Bearer ${cred:token}\nX-Literal: $${cred:token} costs $5",
       .sent = "Authorization: Bearer S3CRET-token\r\nX-Literal: ${cred:token} costs $5\r\n\r\n"},
      {.method = "POST",
       .body = "{\"k\": \"${cred:blob}\"}",
       .sent = "Content-Length: 20\r\n\r\n{\"k\": \"S3CRET-body\"}"},
      {.headers = "X-A: ${cred:missing}", .reason = "i_headers: credential 'missing' not found"},
      {.headers = "X-A: ${cred:../x}", .reason = "i_headers: bad credential name '../x'"},
      {.body = "${cred:a/b}", .reason = "i_body: bad credential name 'a/b'"},
      {.user = "${cred:}", .reason = "i_user: bad credential name ''"},
      {.headers = "X-A: ${cred:" + sixty_five + "}",
       .reason = "i_headers: bad credential name '" + sixty_five + "'"},
      {.object = "/o?${cred:token",
       .reason = "i_object: credential reference without its closing '}'"},
      {.headers = "X-M: ${cred:multi}",
       .reason = "i_headers: credential 'multi' holds a line break"},
      {.headers = "X-C: ${cred:bell}",
       .reason = "i_headers: header 1: value holds a control character, from credential 'bell'"},
      {.object = "/o?${cred:spaced}",
       .reason = "i_object: credential 'spaced' holds a blank or control character"},
      {.headers = "X-L: ${cred:locked}",
       .reason = root ? "" : "i_headers: credential 'locked' cannot be read"},
  };
  testsupport::LoopbackPeer* peer_ptr = nullptr;
  testsupport::LoopbackPeer peer(Recording(&peer_ptr), 20);
  peer_ptr = &peer;
  int sent = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    if (c.sent.empty() && c.reason.empty()) continue;  // the mode-0 file as root
    Add(static_cast<int>(i + 1), peer.port(), c.object, c.method, c.headers, c.body, c.user,
        c.password);
    if (!c.sent.empty()) ++sent;
  }
  int metrics_port = testsupport::UnusedPort();
  std::string json, page;
  std::thread reader([&] {
    servicetest::AwaitFirstCycle(metrics_port);
    json = servicetest::Ask(metrics_port, "GET /entries.json HTTP/1.0\r\n\r\n");
    page = servicetest::Ask(metrics_port, "GET / HTTP/1.0\r\n\r\n");
  });
  std::vector<std::string> args = db_.Args();
  args.insert(args.end(), {"-i", "4", "-r", "2", "-l", "hit_results", "-v", "-a", dir_, "-m",
                           std::to_string(metrics_port)});
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 60000);
  reader.join();
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
  EXPECT_NE(r.out.find("Using " + dir_ + " credentials.\r\n"), std::string::npos);
  EXPECT_NE(
      r.out.find("Warning - credential file " + dir_ + "/token is readable by other users.\r\n"),
      std::string::npos)
      << r.out.substr(0, 2000);
  EXPECT_EQ(r.out.find("credential file " + dir_ + "/user "), std::string::npos);

  ASSERT_TRUE(peer.WaitServed(sent));
  auto results = Results();
  std::vector<std::string> expected_sent;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string id = std::to_string(i + 1);
    if (!c.sent.empty()) {
      expected_sent.push_back(c.sent);
      EXPECT_EQ(results[id], (std::vector<std::string>{"ok", "<NULL>"})) << "entry " << id;
    } else if (!c.reason.empty()) {
      EXPECT_EQ(results[id], (std::vector<std::string>{"bad-request", c.reason})) << "entry " << id;
    }
  }
  // What each request sent after its first line and Host, byte for byte,
  // and the path that held a credential.
  std::vector<std::string> got_sent;
  bool key_in_path = false;
  for (const std::string& request : peer.records()) {
    key_in_path |= request.rfind("GET /o?key=S3CRET-key&x=1 HTTP/1.0\r\n", 0) == 0;
    size_t host = request.find("Host: 127.0.0.1\r\n");
    got_sent.push_back(host == std::string::npos ? request : request.substr(host + 17));
  }
  std::sort(expected_sent.begin(), expected_sent.end());
  std::sort(got_sent.begin(), got_sent.end());
  EXPECT_EQ(got_sent, expected_sent);
  EXPECT_TRUE(key_in_path);

  // The references as written show; the values nowhere.
  ASSERT_NE(json.find("200 OK"), std::string::npos) << json.substr(0, 300);
  ASSERT_NE(page.find("200 OK"), std::string::npos) << page.substr(0, 300);
  EXPECT_NE(r.out.find("${cred:user}"), std::string::npos) << "-v shows the stored text";
  for (const auto& [where, text] : std::map<std::string, std::string>{
           {"output", r.out}, {"rows", Stored()}, {"json", json}, {"page", page}})
    for (const char* secret : {"S3CRET", "UzNDUkVU" /* the same in Basic's Base64 */})
      EXPECT_EQ(text.find(secret), std::string::npos) << where << " holds a secret";
}

// With no -a and no $CREDENTIALS_DIRECTORY a reference is refused; with
// the variable (as systemd sets it) a file replaced between two cycles is
// sent anew from the next cycle on.
TEST_F(Credentials, TheDirectoryComesFromSystemdAndAReplacedFileIsSentNextCycle) {
  testsupport::LoopbackPeer* peer_ptr = nullptr;
  testsupport::LoopbackPeer peer(Recording(&peer_ptr), 4);
  peer_ptr = &peer;
  Add(1, peer.port(), "/t", "GET", "Authorization: Bearer ${cred:token}", "", "", "", 1);
  std::vector<std::string> args = db_.Args();
  args.insert(args.end(), {"-i", "4", "-r", "1", "-l", "hit_results", "-q"});
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 30000);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Results()["1"],
            (std::vector<std::string>{"bad-request",
                                      "i_headers: no credentials directory for 'token' (give -a or "
                                      "$CREDENTIALS_DIRECTORY)"}));
  EXPECT_EQ(peer.accepted(), 0);

  WriteCredential(dir_, "token", "first-value\n");
  ASSERT_TRUE(Exec(db_, "update schedule_2 set i_next = '" + LocalTimestamp(-100) + "'"));
  std::thread replacer([&] {
    if (peer.WaitServed(1, 20000)) WriteCredential(dir_, "token", "second-value\n");
  });
  std::vector<std::string> env = testsupport::OdbcEnv();
  env.push_back("CREDENTIALS_DIRECTORY=" + dir_);
  args = db_.Args();
  args.insert(args.end(), {"-i", "4", "-r", "5", "-q"});
  r = testsupport::RunJantor(args, env, 30000);
  replacer.join();
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_GE(peer.records().size(), 2u);
  EXPECT_NE(peer.records()[0].find("Authorization: Bearer first-value\r\n"), std::string::npos);
  EXPECT_NE(peer.records()[1].find("Authorization: Bearer second-value\r\n"), std::string::npos)
      << peer.records()[1];
}

}  // namespace
