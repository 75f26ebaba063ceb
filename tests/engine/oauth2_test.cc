// Entries whose calls carry an OAuth2 token (i_auth): the token fetched
// with client credentials from a scripted token server over verified TLS
// (the certificate of the test CA's "valid" server), shared by the entries
// that ask for the same one, fetched again after 90% of its life and once
// after a 401; a failed fetch is the outcome no-token, asked once a cycle,
// and reaches no target. No output, row or page shows the token or the
// client's secret.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/service_support.h"
#include "engine/tls_servers.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using servicetest::Ask;
using servicetest::Scrape;
using testsupport::CountOf;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::Query;
using testsupport::TestDb;

const testing::Environment* const kServers = testing::AddGlobalTestEnvironment(new TlsServers);

constexpr char kSecret[] = "s3cr3t+0f/the:client";  // in the credential file
constexpr char kSecretEncoded[] = "s3cr3t%2B0f%2Fthe%3Aclient";

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(length));
  return out;
}

// Reads one HTTP request over ssl: its head and as many body bytes as its
// Content-Length says.
std::string ReadRequest(SSL* ssl) {
  std::string got;
  char buffer[4096];
  for (;;) {
    size_t head = got.find("\r\n\r\n");
    if (head != std::string::npos) {
      size_t at = got.find("Content-Length: ");
      size_t length = at == std::string::npos ? 0 : std::stoul(got.substr(at + 16));
      if (got.size() >= head + 4 + length) return got;
    }
    int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) return got;
    got.append(buffer, static_cast<size_t>(n));
  }
}

// A token server of the test's own on 127.0.0.1: each connection is one
// token request, recorded whole and answered with what reply gives for the
// request and its number (1 for the first).
class TokenServer {
 public:
  using Reply = std::function<std::string(const std::string& request, int number)>;
  explicit TokenServer(Reply reply, int most = 16)
      : context_(SSL_CTX_new(TLS_server_method()), SSL_CTX_free), reply_(std::move(reply)) {
    std::string dir = TlsServers::dir();
    if (SSL_CTX_use_certificate_chain_file(context_.get(), (dir + "/valid.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_.get(), (dir + "/valid.key").c_str(),
                                    SSL_FILETYPE_PEM) != 1)
      ADD_FAILURE() << "the token server has no certificate";
    peer_ = std::make_unique<testsupport::LoopbackPeer>([this](int fd) { Serve(fd); }, most);
  }
  int port() const { return peer_->port(); }
  int accepted() const { return peer_->accepted(); }
  bool WaitServed(int n) const { return peer_->WaitServed(n); }
  std::vector<std::string> requests() const { return peer_->records(); }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port()) + "/oauth/token"; }
  static std::string Json(int status, const std::string& json) {
    return "HTTP/1.0 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n\r\n" + json;
  }

 private:
  void Serve(int fd) {
    timeval limit = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context_.get()), SSL_free);
    SSL_set_fd(ssl.get(), fd);
    if (SSL_accept(ssl.get()) != 1) return;
    std::string request = ReadRequest(ssl.get());
    peer_->Record(request);
    std::string answer = reply_(request, ++served_);
    SSL_write(ssl.get(), answer.data(), static_cast<int>(answer.size()));
    SSL_shutdown(ssl.get());
  }

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
  Reply reply_;
  int served_ = 0;  // the peer's thread only
  std::unique_ptr<testsupport::LoopbackPeer> peer_;
};

// The entries' target on 127.0.0.1, plain HTTP: records each request and
// answers what status gives for it.
class Target {
 public:
  explicit Target(std::function<int(const std::string&)> status, int most = 32)
      : peer_(
            [this, status](int fd) {
              std::string request = testsupport::ReadUntil(fd, "\r\n\r\n");
              size_t at = request.find("Content-Length: ");
              if (at != std::string::npos) {
                size_t length = std::stoul(request.substr(at + 16));
                while (request.size() - (request.find("\r\n\r\n") + 4) < length) {
                  std::string more = testsupport::ReadUntil(fd, std::string(), 2000);
                  if (more.empty()) break;
                  request += more;
                }
              }
              peer_.Record(request);
              int code = status(request);
              testsupport::SendAll(fd, "HTTP/1.0 " + std::to_string(code) + " X\r\n\r\nfine");
            },
            most) {}
  testsupport::LoopbackPeer peer_;
};

// The bearer token a request carries; "" for none.
std::string Bearer(const std::string& request) {
  size_t at = request.find("\r\nAuthorization: Bearer ");
  if (at == std::string::npos) return "";
  at += 24;
  return request.substr(at, request.find("\r\n", at) - at);
}

// The object a request asks for.
std::string Object(const std::string& request) {
  size_t space = request.find(' ');
  return request.substr(space + 1, request.find(' ', space + 1) - space - 1);
}

class OAuth2Calls : public testing::Test {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest("sqlite");
    testsupport::CreateShippedScheduleTable(db_);
    testsupport::CreateShippedResultsTable(db_);
    credentials_ = std::string(JANTOR_TEST_WORK) + "/oauth2-" + std::to_string(getpid()) + "-" +
                   testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(credentials_.c_str(), 0700);
    std::ofstream(credentials_ + "/oauth_secret") << kSecret << "\n";
    chmod((credentials_ + "/oauth_secret").c_str(), 0600);
  }

  // An entry due now, met in the order of ids, hit every cycle (interval
  // 1) unless interval says otherwise.
  void Add(int id, int port, const std::string& auth, const std::string& extra_columns = "",
           const std::string& extra_values = "", int interval = 1) {
    ASSERT_TRUE(Exec(
        db_,
        "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, i_interval, "
        "i_next, i_start, i_stop, i_auth" +
            extra_columns + ") values (" + std::to_string(id) + ", " + std::to_string(port) +
            ", '/e" + std::to_string(id) + "', '127.0.0.1', 30, " + std::to_string(interval) +
            ", '" + LocalTimestamp(-100 + id) + "', 0, 1, '" + auth + "'" + extra_values + ")"));
  }

  std::vector<std::string> Args(std::vector<std::string> extra) {
    std::vector<std::string> args = db_.Args();
    args.insert(args.end(), {"-a", credentials_, "-l", "hit_results"});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  std::vector<std::string> Env() {
    std::vector<std::string> env = testsupport::OdbcEnv();
    env.push_back("SSL_CERT_FILE=" + TlsServers::dir() + "/ca.pem");
    return env;
  }

  // entry id -> its results rows' "outcome status reason", oldest first.
  std::map<std::string, std::vector<std::string>> Results() {
    std::map<std::string, std::vector<std::string>> rows;
    for (auto& row : Query(db_,
                           "select entry_id, outcome, coalesce(status, 0), coalesce(reason, '') "
                           "from hit_results "
                           "order by id"))
      rows[row[0]].push_back(row[1] + " " + row[2] + " " + row[3]);
    return rows;
  }

  // Every text of every results row, for the search for secrets.
  std::string ResultTexts() {
    std::string texts;
    for (auto& row : Query(db_, "select * from hit_results"))
      for (auto& cell : row) texts += cell + "\n";
    for (auto& row : Query(db_, "select * from schedule_2"))
      for (size_t i = 0; i < row.size(); ++i) texts += row[i] + "\n";
    return texts;
  }

  TestDb db_;
  std::string credentials_;
};

// Four entries share one token and a fifth (another scope) has its own:
// one fetch each in a cycle, whatever the hits in flight, and again in the
// next cycle once 90% of the 2 s life has passed. Each request reaches its
// server byte for byte, and the token and the secret reach no output, row,
// page, JSON or metric.
TEST_F(OAuth2Calls, OneTokenServesItsEntriesUntilItsLifeIsMostlyGone) {
  TokenServer tokens([](const std::string& request, int number) {
    std::string scope = request.find("scope=read") != std::string::npos ? "r" : "w";
    return TokenServer::Json(200, "{\"access_token\":\"tok-" + std::to_string(number) + "-" +
                                      scope + "-9f8e7d\",\"token_type\":\"bearer\"," +
                                      "\"expires_in\":2}");
  });
  Target target([](const std::string&) { return 200; });
  const std::string auth =
      "oauth2 " + tokens.url() + " client_id=jantor-app client_secret=${cred:oauth_secret}";
  for (int id = 1; id <= 4; ++id) {
    if (id == 3)
      Add(id, target.peer_.port(), auth + "  scope=read:hooks", ", i_method, i_headers, i_body",
          ", 'POST', 'X-Trace: 7', '{\"a\": 1}'");
    else
      Add(id, target.peer_.port(), auth + " scope=read:hooks");
  }
  Add(5, target.peer_.port(), auth + "\tscope=write audience=https://api.example");
  const int endpoint = testsupport::UnusedPort();

  testsupport::RunResult r;
  std::thread run([&] {
    r = testsupport::RunJantor(
        Args({"-c", "4", "-i", "4", "-r", "1", "-v", "-m", std::to_string(endpoint)}), Env(),
        60000);
  });
  // Between the two cycles: the page, its JSON and the metrics.
  std::string json, page, metrics;
  bool served = target.peer_.WaitServed(5, 20000);
  for (int i = 0; i < 100 && CountOf(json, "\"outcome\":\"ok\"") < 5; ++i, usleep(50 * 1000))
    json = Ask(endpoint, "GET /entries.json HTTP/1.0\r\n\r\n");
  page = Ask(endpoint, "GET / HTTP/1.0\r\n\r\n");
  metrics = Scrape(endpoint);
  run.join();
  ASSERT_TRUE(served) << r.out.substr(0, 3000);
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);

  EXPECT_EQ(CountOf(json, "\"outcome\":\"ok\""), 5) << json;
  EXPECT_NE(page.find("a no-token"), std::string::npos);
  EXPECT_NE(metrics.find("\njantor_hits_total{outcome=\"no-token\"} 0\n"), std::string::npos)
      << metrics;

  // Two tokens a cycle, each once.
  std::vector<std::string> fetches = tokens.requests();
  ASSERT_EQ(fetches.size(), 4u);
  const std::string basic = Base64(std::string("jantor-app:") + kSecretEncoded);
  auto request = [&](const std::string& form) {
    return "POST /oauth/token HTTP/1.0\r\nHost: 127.0.0.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n"
           "Authorization: Basic " +
           basic + "\r\nContent-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form;
  };
  const std::string read_form = "grant_type=client_credentials&scope=read%3Ahooks";
  const std::string write_form =
      "grant_type=client_credentials&scope=write&audience=https%3A%2F%2Fapi.example";
  EXPECT_EQ(std::multiset<std::string>(fetches.begin(), fetches.end()),
            (std::multiset<std::string>{request(read_form), request(read_form), request(write_form),
                                        request(write_form)}));

  // Every entry twice, each cycle with its scope's token of that cycle.
  std::map<std::string, std::vector<std::string>> seen;  // object -> tokens
  std::string post;
  for (const std::string& got : target.peer_.records()) {
    seen[Object(got)].push_back(Bearer(got));
    if (Object(got) == "/e3") post = got;
  }
  ASSERT_EQ(seen.size(), 5u);
  std::set<std::string> read_tokens, write_tokens;
  for (auto& [object, used] : seen) {
    ASSERT_EQ(used.size(), 2u) << object;
    EXPECT_NE(used[0], used[1]) << object;
    for (const std::string& token : used)
      (object == "/e5" ? write_tokens : read_tokens).insert(token);
  }
  EXPECT_EQ(read_tokens.size(), 2u);
  EXPECT_EQ(write_tokens.size(), 2u);
  for (const std::string& token : read_tokens)
    EXPECT_EQ(token.substr(token.size() - 9), "-r-9f8e7d");
  for (const std::string& token : write_tokens)
    EXPECT_EQ(token.substr(token.size() - 9), "-w-9f8e7d");
  EXPECT_EQ(post, "POST /e3 HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Trace: 7\r\nAuthorization: Bearer " +
                      Bearer(post) + "\r\nContent-Length: 8\r\n\r\n{\"a\": 1}");

  // -v names the token URL and nothing else of i_auth.
  EXPECT_EQ(CountOf(r.out, "Authorization - oauth2 " + tokens.url() + "\r\n"), 10) << r.out;
  for (auto& [id, rows] : Results())
    EXPECT_EQ(rows, (std::vector<std::string>{"ok 200 ", "ok 200 "})) << id;
  std::string everything = r.out + r.err + ResultTexts() + json + page + metrics;
  for (const std::string& secret :
       {std::string("tok-"), std::string(kSecret), std::string(kSecretEncoded), basic})
    EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
}

// A 401 from the target drops the token it answered, fetches one more and
// makes the attempt again with it, once. A 401 to a token that was itself
// fetched after a 401 in this cycle stands: no fetch for each such hit.
TEST_F(OAuth2Calls, A401IsAnsweredByOneNewTokenAndOneRepeat) {
  TokenServer tokens([](const std::string&, int number) {
    // No expires_in: the token lives an hour.
    return TokenServer::Json(
        200, "{\"access_token\":\"tok-" + std::to_string(number) + "\",\"token_type\":\"Bearer\"}");
  });
  Target target([](const std::string& request) {
    return Bearer(request) == "tok-1" || Object(request) == "/e4" ? 401 : 200;
  });
  const std::string auth = "oauth2 " + tokens.url() + " client_id=app client_secret=plain";
  for (int id = 1; id <= 4; ++id) Add(id, target.peer_.port(), auth, "", "", 3600);

  auto r = testsupport::RunJantor(Args({"-i", "4", "-r", "1", "-q"}), Env(), 60000);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tokens.requests().size(), 2u);
  std::vector<std::string> sent;
  for (const std::string& got : target.peer_.records())
    sent.push_back(Object(got) + " " + Bearer(got));
  EXPECT_EQ(sent, (std::vector<std::string>{"/e1 tok-1", "/e1 tok-2", "/e2 tok-2", "/e3 tok-2",
                                            "/e4 tok-2"}));
  EXPECT_EQ(Results(),
            (std::map<std::string, std::vector<std::string>>{{"1", {"ok 200 "}},
                                                             {"2", {"ok 200 "}},
                                                             {"3", {"ok 200 "}},
                                                             {"4", {"client-error 401 "}}}));
}

// A token server that refuses the client is asked once in the cycle, and
// every entry of that token is no-token with its status and error code;
// in the next cycle it is asked again, and being gone is unreachable. The
// target is never asked. i_auth with other credentials, or refused itself,
// is bad-request, before any fetch.
TEST_F(OAuth2Calls, AFailedFetchIsNoTokenAndReachesNoTarget) {
  auto tokens = std::make_unique<TokenServer>([](const std::string&, int) {
    return TokenServer::Json(400,
                             "{\"error\":\"invalid_client\",\"error_description\":\"client "
                             "authentication failed for jantor-app\"}");
  });
  Target target([](const std::string&) { return 200; });
  const int port = target.peer_.port();
  const std::string auth =
      "oauth2 " + tokens->url() + " client_id=jantor-app client_secret=${cred:oauth_secret}";
  Add(1, port, auth);
  // Its next run an hour away, so that its retry comes first.
  Add(2, port, auth, ", i_method, i_retries, i_retry_delay", ", 'POST', 1, 1", 3600);
  Add(3, port, auth);
  Add(4, port, auth, ", i_headers", ", 'X-A: 1\nauthorization: Bearer mine'");
  Add(5, port, auth, ", i_user", ", 'alice'");
  Add(6, port, "oauth2 http://example.com/token client_id=a client_secret=b");
  Add(7, port, "oauth2 " + tokens->url() + " client_id=a client_secret=${cred:missing}");

  testsupport::RunResult r;
  std::thread run([&] {
    r = testsupport::RunJantor(Args({"-c", "3", "-i", "4", "-r", "1", "-q"}), Env(), 60000);
  });
  bool served = tokens->WaitServed(1);
  usleep(200 * 1000);  // the cycle's other hits would have asked by now
  const int fetches = tokens->accepted();
  tokens.reset();  // the next cycle finds no server
  run.join();
  ASSERT_TRUE(served) << r.out;
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(fetches, 1);
  EXPECT_EQ(target.peer_.accepted(), 0);

  auto results = Results();
  const std::string refused = "no-token 0 token server answered 400 (invalid_client)";
  for (const char* id : {"1", "2", "3"}) {
    ASSERT_EQ(results[id].size(), 2u) << id;
    EXPECT_EQ(results[id][0], refused) << id;
    EXPECT_EQ(results[id][1].rfind("no-token 0 token server unreachable: ", 0), 0u)
        << results[id][1];
    EXPECT_GT(results[id][1].size(), std::string("no-token 0 token server unreachable: ").size());
  }
  const std::map<std::string, std::string> bad = {
      {"4",
       "bad-request 0 i_auth: given with an Authorization header in i_headers; keep one of "
       "them"},
      {"5", "bad-request 0 i_auth: given with i_user or i_pass; keep one of them"},
      {"6", "bad-request 0 i_auth: token URL: http:// only to a loopback address; use https://"},
      {"7", "bad-request 0 i_auth: credential 'missing' not found"},
  };
  for (auto& [id, reason] : bad)
    EXPECT_EQ(results[id], (std::vector<std::string>{reason, reason})) << id;
  EXPECT_NE(r.out.find("Hit failed - id 1 - 127.0.0.1:" + std::to_string(port) +
                       "/e1 - no-token - token server answered 400 (invalid_client)\r\n"),
            std::string::npos)
      << r.out;
  // The letter a in the entry's latest attempts; and a POST that got no
  // token is tried again, as nothing reached its target.
  auto rows = Query(db_, "select id, i_recent, i_outcome from schedule_2 where id in (1, 2)");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1], "aa");
  EXPECT_EQ(rows[0][2], "no-token");
  EXPECT_EQ(CountOf(r.out, "Hit failed - id 2 - "), 2) << r.out;
  EXPECT_NE(
      r.out.find("/e2 - no-token - token server answered 400 (invalid_client) - retry 1 of 1"),
      std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("authentication failed"), std::string::npos);
  EXPECT_EQ(r.out.find(kSecret), std::string::npos);
}

}  // namespace
