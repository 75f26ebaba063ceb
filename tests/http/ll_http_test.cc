#include "http/ll_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "gtest/gtest.h"
#include "support/loopback_peer.h"
#include "support/private_network.h"

// The allocation seam of ll_cpapi.cc: a true answer refuses the request.
extern bool (*jantor_alloc_refuse_for_test)(std::size_t bytes);

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using testsupport::LoopbackPeer;

// HttpRequest tries port 80 of a host before the port it is given, so these
// tests must not meet whatever this machine runs on port 80; where no
// private network can be made, they fall back to 127.0.0.2 of the machine
// and skip when something answers on its port 80.
const bool kPrivateNetwork = testsupport::EnterPrivateNetwork();
constexpr char kHost[] = "127.0.0.2";

bool Accepts(const char *address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &to.sin_addr);
  bool accepted = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
  close(fd);
  return accepted;
}

#define SKIP_IF_HTTP_PORT_TAKEN()                  \
  if (!kPrivateNetwork && Accepts(kHost, 80))      \
  GTEST_SKIP() << "something answers on " << kHost \
               << ":80 and no private "            \
                  "network namespace could be made"

std::string Text(const char *managed) { return managed ? std::string(managed) : "(null)"; }

// A peer script that reads a request up to and including `until`, answers,
// and records everything the client sent until it closed.
LoopbackPeer::Script Answer(std::string *request, std::string until, std::string answer) {
  return [=](int fd) {
    std::string got = testsupport::ReadUntil(fd, until);
    testsupport::SendAll(fd, answer);
    shutdown(fd, SHUT_WR);
    *request = got + testsupport::ReadToClose(fd);
  };
}

class Http : public testing::Test {
 protected:
  void SetUp() override { GWinsockTimeout = 1; }
  void TearDown() override {
    jantor_alloc_refuse_for_test = nullptr;
    firee(reply_);
    GWinsockTimeout = 45;
  }

  // One HttpRequest to a peer on kHost that records the request bytes.
  int Hit(std::string until, const char *object, const char *raw, const char *body, int length,
          const char *user, const char *password,
          std::string answer = "HTTP/1.0 200 OK\r\n\r\nok") {
    LoopbackPeer peer(Answer(&request_, until, answer), 1, kHost);
    CaptureStdout();
    int result = HttpRequest(0, kHost, object, raw, body, length, &reply_, peer.port(), 1, user,
                             password, 1, 0);
    out_ = GetCapturedStdout();
    EXPECT_TRUE(peer.WaitServed(1));
    return result;
  }

  // Connects to a peer that sends `bytes` and closes, and reads the reply.
  int ReadReply(std::string bytes, int want_header, int want_body) {
    LoopbackPeer peer([&](int fd) { testsupport::SendAll(fd, bytes); }, 1);
    gensock_connection *link = nullptr;
    CaptureStdout();
    EXPECT_EQ(gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &link), 0);
    int result = get_http_data(0, link, &reply_, want_header, want_body, 0);
    gensock_close(link);
    out_ = GetCapturedStdout();
    return result;
  }

  char *reply_ = nullptr;
  std::string request_, out_;
};

// ---- Request bytes ---------------------------------------------------------

TEST_F(Http, GetIsComposedWithHostWithoutPort) {
  SKIP_IF_HTTP_PORT_TAKEN();
  EXPECT_EQ(Hit("\r\n\r\n", "/a?b=1", "", nullptr, 0, "", ""), 1);
  EXPECT_EQ(request_, "GET /a?b=1 HTTP/1.0\r\nHost: 127.0.0.2\r\n\r\n");
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\r\n\r\nok");
}

TEST_F(Http, CredentialsAddOneAuthorizationLineAfterHost) {
  SKIP_IF_HTTP_PORT_TAKEN();
  struct {
    const char *user, *password, *encoded;
  } cases[] = {{"u", "", "dTo="}, {"", "pw", "OnB3"}, {"alice", "secret", "YWxpY2U6c2VjcmV0"}};
  for (const auto &c : cases) {
    EXPECT_EQ(Hit("\r\n\r\n", "/p", "", nullptr, 0, c.user, c.password), 1);
    EXPECT_EQ(request_, std::string("GET /p HTTP/1.0\r\nHost: 127.0.0.2\r\nAuthorization: Basic ") +
                            c.encoded + "\r\n\r\n");
  }
}

TEST_F(Http, PostCarriesLengthWithoutBlankAndTheBody) {
  SKIP_IF_HTTP_PORT_TAKEN();
  const char head[] =
      "POST /f HTTP/1.0\r\nUser-Agent: Vornis http access\r\nContent-Length:5\r\nHost: 127.0.0.2";
  EXPECT_EQ(Hit("hello", "/f", "", "hello", 5, "", ""), 1);
  EXPECT_EQ(request_, std::string(head) + "\r\n\r\nhello");
  EXPECT_EQ(Hit("hello", "/f", "", "hello", 5, "u", ""), 1);
  EXPECT_EQ(request_, std::string(head) + "\r\nAuthorization: Basic dTo=\r\n\r\nhello");
  EXPECT_NE(out_.find("Data Put to socket\r\nData posted\r\nIn Get_http\r\n"), std::string::npos);
  // A body with length 0 makes a GET.
  EXPECT_EQ(Hit("\r\n\r\n", "/f", "", "hello", 0, "", ""), 1);
  EXPECT_EQ(request_, "GET /f HTTP/1.0\r\nHost: 127.0.0.2\r\n\r\n");
}

TEST_F(Http, RawRequestIsSentUnchanged) {
  SKIP_IF_HTTP_PORT_TAKEN();
  EXPECT_EQ(Hit("\n", "/ignored", "PING %s\r\n", nullptr, 0, "u", "p"), 1);
  EXPECT_EQ(request_, "PING %s\r\n");
  EXPECT_EQ(Hit("xyz", "/ignored", "RAW\r\n\r\n", "xyz", 3, "", ""), 1);
  EXPECT_EQ(request_, "RAW\r\n\r\nxyz");
}

TEST_F(Http, SuccessfulHitPrintsItsWordsInOrder) {
  SKIP_IF_HTTP_PORT_TAKEN();
  CaptureStderr();
  EXPECT_EQ(Hit("\r\n\r\n", "/", "", nullptr, 0, "", ""), 1);
  // The refused "http" port's error text, from the socket layer and again
  // before the fallback (the peer's close adds a text of its own after them).
  EXPECT_EQ(GetCapturedStderr().rfind("Connection refused\nConnection refused\n", 0), 0u);
  size_t at = 0;
  for (const char *word : {"About to connect to http\r\n", "Connected to remote http host\r\n",
                           "Http connected\r\n", "Data Put to socket\r\n", "In Get_http\r\n",
                           "head=HTTP/1.0 200 OK\r\n\r\r\nbod=\nok\r\n"}) {
    size_t found = out_.find(word, at);
    ASSERT_NE(found, std::string::npos) << word;
    at = found;
  }
  EXPECT_EQ(out_.find("Connected to remote http host", at), std::string::npos);
}

TEST_F(Http, CallSendsItsMethodHeadersCredentialsAndBody) {
  SKIP_IF_HTTP_PORT_TAKEN();
  const std::string host = " /o HTTP/1.0\r\nHost: 127.0.0.2\r\n",
                    auth = "Authorization: Basic dTo=\r\n";
  struct {
    WebCall call;
    const char *user;
    std::string expected;
  } cases[] = {
      {{"GET", "", nullptr, 0, 0}, "u", "GET" + host + auth + "\r\n"},  // as HttpRequest sends it
      {{"HEAD", "B: 1:2\r\nA: \xE9t\r\n", nullptr, 0, 0},
       "",
       "HEAD" + host + "B: 1:2\r\nA: \xE9t\r\n\r\n"},
      {{"PUT", "A: 1\r\n", "h\0o", 3, 0},
       "u",
       "PUT" + host + "A: 1\r\n" + auth + "Content-Length: 3\r\n\r\n" + std::string("h\0o", 3)},
      {{"POST", "", nullptr, 0, 0}, "", "POST" + host + "Content-Length: 0\r\n\r\n"},
  };
  for (const auto &c : cases) {
    // The peer answers after the head; the body, if any, is read to the close.
    LoopbackPeer peer(Answer(&request_, "\r\n\r\n", "HTTP/1.0 204 No\r\n\r\n"), 1, kHost);
    HttpResult result;
    CaptureStdout();
    EXPECT_EQ(HttpRequestWithCall(0, kHost, "/o", &c.call, &reply_, peer.port(), 1, c.user, "", 1,
                                  &result),
              1);
    GetCapturedStdout();
    EXPECT_TRUE(peer.WaitServed(1));
    EXPECT_EQ(request_, c.expected);
    EXPECT_TRUE(result.end == kHttpReplyRead && result.status == 204) << result.reason;
  }
}

TEST_F(Http, CallTimeLimitReplacesTheUsualLimitsAndEndsTheExchange) {
  SKIP_IF_HTTP_PORT_TAKEN();
  // Silent after the request, the usual limit would end the reply after
  // 1 s; dripping a byte a second, after 4 x 3 s. The limit ends both at 2 s.
  for (bool drip : {false, true}) {
    GWinsockTimeout = drip ? 3 : 1;
    std::atomic<bool> stop{false};
    LoopbackPeer peer(
        [&](int fd) {
          testsupport::ReadUntil(fd, "\r\n\r\n");
          if (drip) testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n");
          for (int i = 0; i < 2000 && !stop && (!drip || i % 200 || testsupport::SendAll(fd, "x"));
               ++i)
            usleep(5000);
        },
        1, kHost);
    WebCall call{"GET", "", nullptr, 0, 2};
    HttpResult result;
    CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    HttpRequestWithCall(0, kHost, "/", &call, &reply_, peer.port(), 1, "", "", 1, &result);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    GetCapturedStdout();
    stop = true;
    EXPECT_TRUE(seconds >= 1.9 && seconds < 4.0) << seconds;
    EXPECT_EQ(result.end, kHttpTimedOut);
    EXPECT_STREQ(result.reason, "time limit of 2 s ran out");
    EXPECT_EQ(result.status, drip ? 200 : 0);
    EXPECT_EQ(gensock_deadline(), 0);  // the thread's next exchange has the usual limits
  }
}

// ---- Replies -----------------------------------------------------------------

TEST_F(Http, ReplyIsSplitAfterTheCrOfTheEmptyLine) {
  const std::string reply = "HTTP/1.0 200 OK\r\nA: b\r\n\r\nxyz";
  ASSERT_EQ(reply.size(), 28u);
  struct {
    int header, body;
    std::string expected;
  } cases[] = {{1, 0, reply.substr(0, 24)}, {0, 1, "\nxyz"}, {1, 1, reply}, {0, 0, ""}};
  for (const auto &c : cases) {
    EXPECT_EQ(ReadReply(reply, c.header, c.body), 1);
    EXPECT_EQ(Text(reply_), c.expected) << c.header << c.body;
    EXPECT_NE(out_.find("In Get_http\r\n"), std::string::npos);
    EXPECT_NE(out_.find("head=" + reply.substr(0, 24) + "\r\nbod=\nxyz\r\n"), std::string::npos);
  }
}

TEST_F(Http, LineEndsAndMissingEmptyLine) {
  EXPECT_EQ(ReadReply("HTTP/1.0 200 OK\nA: b\n\nxyz", 0, 1), 1);
  EXPECT_EQ(Text(reply_), "xyz");
  EXPECT_EQ(ReadReply("HTTP/1.0 200 OK\nA: b\n\nxyz", 1, 0), 1);
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\nA: b\n\n");
  EXPECT_EQ(ReadReply("HTTP/1.0 200 OK\r\nA: b", 1, 0), 1);
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\r\nA: b");
  EXPECT_NE(out_.find("bod=\r\n"), std::string::npos);
}

TEST_F(Http, EmptyPercentAndNulRepliesAreData) {
  reply_ = mialloc(8);  // an earlier reply is released when the new one is stored
  EXPECT_EQ(ReadReply("", 1, 1), 1);
  EXPECT_EQ(Text(reply_), "");
  EXPECT_NE(out_.find("head=\r\nbod=\r\n"), std::string::npos) << out_;

  EXPECT_EQ(ReadReply("HTTP/1.0 200 OK\n\n100%s %n%d", 1, 1), 1);
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\n\n100%s %n%d");
  EXPECT_NE(out_.find("bod=100%s %n%d\r\n"), std::string::npos);

  EXPECT_EQ(ReadReply(std::string("H\r\n\r\nab\0cd", 10), 1, 1), 1);
  EXPECT_EQ(Text(reply_), "H\r\n\r\nab");
}

TEST_F(Http, LongReplyArrivesWhole) {
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>('a' + i % 26);
  EXPECT_EQ(ReadReply("HTTP/1.0 200 OK\r\n\r\n" + body, 1, 1), 1);
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\r\n\r\n" + body);
}

// A peer that sends `bytes` and then holds the connection open, silent,
// until the test releases it (or 20 seconds pass).
struct SilentAfter {
  explicit SilentAfter(std::string bytes, const char *address = "127.0.0.1")
      : peer(
            [this, bytes](int fd) {
              testsupport::SendAll(fd, bytes);
              for (int i = 0; i < 4000 && !released; ++i) usleep(5000);
              held_until_released = released.load();
            },
            1, address) {}
  ~SilentAfter() { released = true; }
  std::atomic<bool> released{false}, held_until_released{false};
  LoopbackPeer peer;
};

TEST_F(Http, SilentServerEndsTheReplyAfterTheTimeLimit) {
  SilentAfter silent("HTTP/1.0 200 OK\r\n\r\npartial");
  gensock_connection *link = nullptr;
  CaptureStdout();
  ASSERT_EQ(gensock_connect("127.0.0.1", std::to_string(silent.peer.port()).c_str(), &link), 0);
  EXPECT_EQ(get_http_data(0, link, &reply_, 1, 1, 0), 1);
  char *rest = nullptr;
  EXPECT_EQ(get_http_num(0, link, &rest, 100), 1);  // nothing more comes
  silent.released = true;
  gensock_close(link);
  GetCapturedStdout();
  ASSERT_TRUE(silent.peer.WaitServed(1));
  EXPECT_TRUE(silent.held_until_released);  // the reader gave up, not the server
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\r\n\r\npartial");
  EXPECT_EQ(Text(rest), "");
  firee(rest);
}

TEST_F(Http, DrippingServerIsCutOffAtTheDeadlineOfTheWholeReply) {
  // One byte every 100 ms never leaves the reader a second without data,
  // so only the deadline of the whole read (4 x 1 s here) ends it.
  std::atomic<bool> stop{false};
  LoopbackPeer peer(
      [&](int fd) {
        testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
        for (int i = 0; i < 200 && !stop; ++i) {
          if (!testsupport::SendAll(fd, "x")) break;
          usleep(100000);
        }
      },
      1);
  gensock_connection *link = nullptr;
  CaptureStdout();
  ASSERT_EQ(gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &link), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get_http_data(0, link, &reply_, 1, 1, 0), 1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  gensock_close(link);
  GetCapturedStdout();
  EXPECT_TRUE(peer.WaitServed(1));
  EXPECT_GE(seconds, 3.9);
  EXPECT_LT(seconds, 8.0);
  std::string reply = Text(reply_);
  ASSERT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n\r\n", 0), 0u);
  size_t dripped = reply.size() - 19;
  EXPECT_GE(dripped, 20u);
  EXPECT_LE(dripped, 60u);
  EXPECT_EQ(reply.find_first_not_of('x', 19), std::string::npos);
}

// A reader waiting for a slow server sleeps until the reply comes: with
// hundreds of hits waiting at once, a reader that kept polling would burn a
// processor. It must also leave the thread's timer slack as it found it.
TEST_F(Http, ASlowReplyCostsTheReaderNoProcessorTime) {
  ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0), 0);
  LoopbackPeer peer(
      [](int fd) {
        usleep(500000);
        testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nlate");
      },
      1);
  gensock_connection *link = nullptr;
  CaptureStdout();
  ASSERT_EQ(gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &link), 0);
  timespec before, after;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
  EXPECT_EQ(get_http_data(0, link, &reply_, 1, 1, 0), 1);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
  gensock_close(link);
  GetCapturedStdout();
  EXPECT_TRUE(peer.WaitServed(1));
  EXPECT_EQ(Text(reply_), "HTTP/1.0 200 OK\r\n\r\nlate");
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
  prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);  // back to the thread's default
  double cpu_ms = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
  EXPECT_LT(cpu_ms, 25.0) << "the reader kept the processor busy while the server was silent";
}

TEST_F(Http, EndlessServerIsCutAtTheLimitAndCountsAsDone) {
  SKIP_IF_HTTP_PORT_TAKEN();
  std::atomic<long long> sent{0};
  LoopbackPeer peer(
      [&](int fd) {
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        testsupport::ReadUntil(fd, "\r\n\r\n");
        std::string chunk(65536, 'x');
        bool open = testsupport::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
        while (open && sent < 64LL * 1024 * 1024) {
          open = testsupport::SendAll(fd, chunk);
          if (open) sent += static_cast<long long>(chunk.size());
        }
      },
      1, kHost);
  CaptureStdout();
  int result = HttpRequest(0, kHost, "/", "", nullptr, 0, &reply_, peer.port(), 1, "", "", 1, 0);
  GetCapturedStdout();
  ASSERT_TRUE(peer.WaitServed(1));
  EXPECT_EQ(result, 1);
  ASSERT_NE(reply_, nullptr);
  std::string reply(reply_);
  EXPECT_EQ(reply.size(), static_cast<size_t>(kHttpReplyLimit));
  EXPECT_EQ(reply.find_first_not_of('x', 19), std::string::npos);
  EXPECT_LT(sent.load(), 64LL * 1024 * 1024);  // the closed connection stopped the server
}

TEST_F(Http, NumReaderStopsAtCountByteOrLineEnd) {
  std::string stream =
      "0123456789abcdefghijklmno"
      "ab\r\ncd"
      "x\ry\nz";
  LoopbackPeer peer([&](int fd) { testsupport::SendAll(fd, stream); }, 1);
  gensock_connection *link = nullptr;
  char *text = nullptr;
  CaptureStdout();
  ASSERT_EQ(gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &link), 0);
  EXPECT_EQ(get_http_num(0, link, &text, 10), 1);
  EXPECT_EQ(Text(text), "0123456789");
  EXPECT_EQ(get_http_num(0, link, &text, -'o'), 1);
  EXPECT_EQ(Text(text), "abcdefghijklmno");
  EXPECT_EQ(get_http_num(0, link, &text, -1), 1);
  EXPECT_EQ(Text(text), "ab\r\n");
  EXPECT_EQ(get_http_num(0, link, &text, -10), 1);
  EXPECT_EQ(Text(text), "cdx\ry\n");
  EXPECT_EQ(get_http_num(0, link, &text, 50), 1);  // the end of the connection stops it
  EXPECT_EQ(Text(text), "z");
  gensock_close(link);
  EXPECT_NE(GetCapturedStdout().find("char list\r\n"), std::string::npos);
  firee(text);
}

TEST_F(Http, PeekAndPing) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  EXPECT_EQ(SocketPeek(ends[0]), 0);  // a read end never becomes writable
  EXPECT_EQ(SocketPeek(ends[1]), 1);
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(ping_host(), 0);
}

// ---- Connections and the port fallback ----------------------------------------

TEST_F(Http, NeitherPortAcceptsLeavesTheReplyAlone) {
  SKIP_IF_HTTP_PORT_TAKEN();
  reply_ = mialloc(4);
  std::strcpy(reply_, "old");
  char *before = reply_;
  CaptureStdout();
  CaptureStderr();
  int result = HttpRequest(0, kHost, "/", "", nullptr, 0, &reply_, testsupport::UnusedPort(), 1,
                           "u", "p", 1, 0);
  GetCapturedStderr();
  std::string out = GetCapturedStdout();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(reply_, before);
  EXPECT_EQ(Text(reply_), "old");
  EXPECT_NE(
      out.find("Could not connect to httphost1\r\n\r\n***** Setting Error 1900 *****\r\n\r\n"),
      std::string::npos);
  EXPECT_EQ(out.find("Http connected"), std::string::npos);
}

TEST_F(Http, HttpPortIsTriedBeforeTheGivenPort) {
  if (!kPrivateNetwork) GTEST_SKIP() << "needs a private network namespace to use port 80";
  std::string on_http, on_given;
  LoopbackPeer http_port(Answer(&on_http, "\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n80"), 1, kHost, 80);
  LoopbackPeer given_port(Answer(&on_given, "\r\n\r\n", ""), 1, kHost);
  CaptureStdout();
  EXPECT_EQ(HttpRequest(0, kHost, "/", "", nullptr, 0, &reply_, given_port.port(), 0, "", "", 1, 0),
            1);
  GetCapturedStdout();
  EXPECT_TRUE(http_port.WaitServed(1));
  EXPECT_EQ(Text(reply_), "\n80");
  EXPECT_EQ(on_http, "GET / HTTP/1.0\r\nHost: 127.0.0.2\r\n\r\n");
  EXPECT_EQ(given_port.accepted(), 0);
}

TEST_F(Http, ConnectionOperations) {
  std::string received;
  LoopbackPeer peer([&](int fd) { received = testsupport::ReadToClose(fd); }, 1);
  gensock_connection *link = nullptr;
  CaptureStdout();
  EXPECT_EQ(open_telnet_socket(&link, "127.0.0.1", std::to_string(peer.port()).c_str()), 0);
  std::string body(40000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  EXPECT_EQ(put_http_data(link, body.data(), static_cast<int>(body.size())), 1);
  EXPECT_EQ(put_http_data(link, nullptr, 0), 1);
  EXPECT_EQ(put_http_data(link, nullptr, 3), 0);
  EXPECT_EQ(close_http_socket(link), 0);
  gensock_connection *none = nullptr;
  EXPECT_EQ(
      open_telnet_socket(&none, "127.0.0.1", std::to_string(testsupport::UnusedPort()).c_str()),
      kHttpOpenFailed);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(close_http_socket(nullptr), kHttpCloseFailed);
  std::string out = GetCapturedStdout();
  ASSERT_TRUE(peer.WaitServed(1));
  EXPECT_EQ(received, body);
  EXPECT_NE(out.find("Connected to remote http host\r\nData posted\r\nData posted\r\n"),
            std::string::npos);
  EXPECT_NE(out.find("Could not connect to remotehost\r\n"), std::string::npos);
}

// ---- Failures ------------------------------------------------------------------

TEST_F(Http, StalledServerFailsTheSendAndTheReplyIsNotRead) {
  SKIP_IF_HTTP_PORT_TAKEN();
  SilentAfter silent("", kHost);    // accepts and never reads
  std::string body(64 << 20, 'b');  // more than loopback buffers hold
  CaptureStdout();
  CaptureStderr();
  int result = HttpRequest(0, kHost, "/", "", body.data(), static_cast<int>(body.size()), &reply_,
                           silent.peer.port(), 1, "", "", 1, 0);
  GetCapturedStderr();
  std::string out = GetCapturedStdout();
  silent.released = true;
  EXPECT_EQ(result, 0);
  EXPECT_EQ(reply_, nullptr);
  EXPECT_EQ(out.find("In Get_http"), std::string::npos);
  EXPECT_EQ(out.find("Data posted"), std::string::npos);
}

TEST_F(Http, ExhaustedHeapFailsWithSettingError110) {
  jantor_alloc_refuse_for_test = [](std::size_t) { return true; };
  CaptureStdout();
  EXPECT_EQ(HttpRequest(0, kHost, "/", "", nullptr, 0, &reply_, 1, 1, "u", "", 1, 0), 0);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("***** Setting Error 110 *****"), std::string::npos);
  EXPECT_EQ(out.find("About to connect"), std::string::npos);  // no connection was tried

  // A reply that outgrows what the heap gives: result 0, the old reply kept.
  jantor_alloc_refuse_for_test = [](std::size_t bytes) { return bytes > 4096; };
  reply_ = mialloc(4);
  std::strcpy(reply_, "old");
  EXPECT_EQ(ReadReply("HTTP/1.0 200 OK\r\n\r\n" + std::string(10000, 'z'), 1, 1), 0);
  EXPECT_EQ(Text(reply_), "old");
  EXPECT_NE(out_.find("***** Setting Error 110 *****"), std::string::npos);

  // The number reader keeps what it read as a valid text.
  LoopbackPeer peer([](int fd) { testsupport::SendAll(fd, std::string(10000, 'q')); }, 1);
  gensock_connection *link = nullptr;
  char *text = nullptr;
  CaptureStdout();
  ASSERT_EQ(gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &link), 0);
  EXPECT_EQ(get_http_num(0, link, &text, 0), 0);
  gensock_close(link);
  GetCapturedStdout();
  ASSERT_NE(text, nullptr);
  EXPECT_GT(std::strlen(text), 0u);
  EXPECT_EQ(std::string(text).find_first_not_of('q'), std::string::npos);
  firee(text);
}

}  // namespace
