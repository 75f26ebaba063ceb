#include "net/ll_tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "support/loopback_peer.h"
#include "support/private_network.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

using testsupport::LoopbackPeer;
using Clock = std::chrono::steady_clock;

// nginx_tls.sh's servers, one nginx for the whole test program, in a
// network of the program's own: ctest runs the tests side by side, and each
// program's nginx then has the fixture's ports to itself. The trust store is
// read when the first session starts, so SSL_CERT_FILE is set here, before
// any test runs.
struct TlsServers : testing::Environment {
  static inline std::string dir;
  static inline int valid, expired, wrongname, untrusted, plain;

  void SetUp() override {
    ASSERT_TRUE(testsupport::EnterPrivateNetwork());
    dir = std::string(JANTOR_TEST_WORK) + "/nginx-tls-" + std::to_string(getpid());
    ASSERT_EQ(testsupport::Shell(Script("start") + " >/dev/null"), 0) << "nginx_tls.sh start";
    setenv("SSL_CERT_FILE", (dir + "/ca.pem").c_str(), 1);
    valid = Port("valid");
    expired = Port("expired");
    wrongname = Port("wrongname");
    untrusted = Port("untrusted");
    plain = Port("plain");
  }
  void TearDown() override { testsupport::Shell(Script("stop")); }

  static std::string Script(const char *command) {
    return "NGINX_TLS_OWNER=" + std::to_string(getpid()) + " " + JANTOR_SUPPORT_DIR +
           "/nginx_tls.sh " + command + " '" + dir + "'";
  }
  static int Port(const char *kind) {
    return std::atoi(testsupport::ReadFile(dir + "/port_" + kind).c_str());
  }
  static std::string AccessLog() { return testsupport::ReadFile(dir + "/access.log"); }
};
const testing::Environment *const servers = testing::AddGlobalTestEnvironment(new TlsServers);

struct Descriptor {
  int fd;
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

struct TlsCloser {
  void operator()(TlsSession *s) const { TlsClose(s); }
};
using Session = std::unique_ptr<TlsSession, TlsCloser>;

// A non-blocking socket connected to address (IPv4 or IPv6) and port, as the
// socket layer hands it over.
int Connect(const char *address, int port) {
  sockaddr_storage peer{};
  socklen_t size;
  if (strchr(address, ':') != nullptr) {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&peer);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    size = sizeof *in6;
  } else {
    auto *in4 = reinterpret_cast<sockaddr_in *>(&peer);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &in4->sin_addr);
    size = sizeof *in4;
  }
  int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr *>(&peer), size) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

struct Handshake {
  int result;
  Session session;
  std::string reason;
};

Handshake Shake(int fd, const char *name, int is_address, int timeout_seconds = 5) {
  int stale;
  TlsSession *out = reinterpret_cast<TlsSession *>(&stale);
  char reason[128] = "stale";
  int result = TlsHandshake(fd, name, is_address, timeout_seconds, &out, reason, sizeof reason);
  if (result != 0) {
    EXPECT_EQ(out, nullptr) << "a failed handshake leaves no session";
    out = nullptr;
  }
  return {result, Session(out), reason};
}

bool EndsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Reads through TlsRecv in pieces of piece bytes until the peer closes or
// complete says that all has come, polling after kTlsWouldBlock. A poll that
// times out fails the test: bytes the session had already decrypted would
// never make the descriptor readable.
std::string Receive(TlsSession *s, int fd, size_t piece,
                    std::function<bool(const std::string &)> complete = nullptr) {
  std::string got;
  std::vector<char> buffer(piece);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(complete && complete(got)) && Clock::now() < deadline) {
    long n = TlsRecv(s, buffer.data(), piece);
    if (n > 0) {
      got.append(buffer.data(), static_cast<size_t>(n));
    } else if (n == kTlsWouldBlock) {
      pollfd entry = {fd, POLLIN, 0};
      if (poll(&entry, 1, 3000) != 1) {
        ADD_FAILURE() << "waited for data after " << got.size() << " bytes";
        break;
      }
    } else {
      EXPECT_EQ(n, 0) << "after " << got.size() << " bytes";
      break;
    }
  }
  return got;
}

int LineCount(const std::string &text) { return testsupport::CountOf(text, "\n"); }

// The access log once it has at least lines lines (nginx writes a line as
// the request ends, which may be just after the client has read the reply).
std::string AccessLogWith(int lines) {
  std::string log = TlsServers::AccessLog();
  for (int i = 0; i < 100 && LineCount(log) < lines; ++i) {
    usleep(20000);
    log = TlsServers::AccessLog();
  }
  return log;
}

TEST(TlsSession, VerifiedGetByNameAndByAddress) {
  struct Case {
    const char *connect_to;
    const char *name;
    int is_address;
  } cases[] = {{"127.0.0.1", "localhost", 0}, {"127.0.0.1", "127.0.0.1", 1}, {"::1", "::1", 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Descriptor socket(Connect(c.connect_to, TlsServers::valid));
    ASSERT_GE(socket.fd, 0);
    Handshake shake = Shake(socket.fd, c.name, c.is_address);
    ASSERT_EQ(shake.result, 0) << shake.reason;
    EXPECT_EQ(shake.reason, "");
    int lines = LineCount(TlsServers::AccessLog());

    const std::string request =
        "GET /private/ HTTP/1.0\r\nHost: x\r\nAuthorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n";
    EXPECT_EQ(TlsSend(shake.session.get(), request.data(), request.size(), 5),
              static_cast<long>(request.size()));
    std::string reply = Receive(shake.session.get(), socket.fd, 4096);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_TRUE(EndsWith(reply, "\r\n\r\nsecret page\n")) << reply;
    // The user and the protocol as nginx saw them.
    std::string log = AccessLogWith(lines + 1);
    EXPECT_TRUE(EndsWith(log, "\"alice\" \"GET /private/ HTTP/1.0\" 200 TLSv1.3\n")) << log;

    shake.session.reset();
    EXPECT_NE(fcntl(socket.fd, F_GETFD), -1) << "the descriptor belongs to the caller";
  }
}

// The session of one handshake is resumed by the next with the same
// server, skipping the certificate's decoding and checks; it is never
// offered for another name, which must pass the full check of its own.
TEST(TlsSession, TheNextHandshakeWithTheSameServerResumes) {
  auto get = [](const char *connect_to, const char *name) {
    Descriptor socket(Connect(connect_to, TlsServers::valid));
    Handshake shake = Shake(socket.fd, name, 0);
    EXPECT_EQ(shake.result, 0) << shake.reason;
    if (shake.result != 0) return -1;
    const char request[] = "GET /index.html HTTP/1.0\r\n\r\n";
    TlsSend(shake.session.get(), request, sizeof request - 1, 5);
    // With TLS 1.3 the session comes after the handshake, with the reply.
    std::string reply = Receive(shake.session.get(), socket.fd, 1024);
    EXPECT_TRUE(EndsWith(reply, "\r\n\r\nhello over tls\n")) << reply;
    return TlsResumed(shake.session.get());
  };
  get("::1", "localhost");
  EXPECT_EQ(get("::1", "localhost"), 1);
  EXPECT_EQ(get("::1", "localhost"), 1);

  Descriptor socket(Connect("::1", TlsServers::valid));
  Handshake shake = Shake(socket.fd, "wrong.example", 0);
  EXPECT_EQ(shake.result, -1);
  EXPECT_EQ(shake.reason, "hostname mismatch");
}

TEST(TlsSession, SessionsOnSeveralThreadsAtOnce) {
  // ctest runs each test in a process of its own: here the threads also
  // race to make the shared context.
  std::atomic<int> served{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&served] {
      for (int i = 0; i < 3; ++i) {
        Descriptor socket(Connect("127.0.0.1", TlsServers::valid));
        TlsSession *s = nullptr;
        char reason[64];
        if (TlsHandshake(socket.fd, "localhost", 0, 5, &s, reason, sizeof reason) != 0) continue;
        Session session(s);
        const char request[] = "GET /index.html HTTP/1.0\r\n\r\n";
        TlsSend(s, request, sizeof request - 1, 5);
        std::string reply = Receive(s, socket.fd, 1024);
        if (EndsWith(reply, "\r\n\r\nhello over tls\n")) ++served;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(served.load(), 18);
}

TEST(TlsSession, LargeReplyComesWholeThroughSmallReads) {
  // Keep-alive: nginx leaves the connection open after the reply, so a read
  // that waited on the descriptor for bytes already decrypted would hang.
  Descriptor socket(Connect("127.0.0.1", TlsServers::valid));
  Handshake shake = Shake(socket.fd, "localhost", 0);
  ASSERT_EQ(shake.result, 0) << shake.reason;
  const std::string request = "GET /big.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(TlsSend(shake.session.get(), request.data(), request.size(), 5),
            static_cast<long>(request.size()));

  std::string expected;
  char line[16];
  for (int i = 1; i <= 20000; ++i) {
    snprintf(line, sizeof line, "line %06d\n", i);
    expected += line;
  }
  // 100-byte reads: each 16 KiB record is handed out over many calls.
  std::string reply = Receive(shake.session.get(), socket.fd, 100, [&](const std::string &got) {
    size_t end = got.find("\r\n\r\n");
    return end != std::string::npos && got.size() >= end + 4 + expected.size();
  });
  size_t end = reply.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_NE(reply.find("Content-Length: 240000\r\n"), std::string::npos);
  EXPECT_TRUE(reply.substr(end + 4) == expected) << "body of " << reply.size() - end - 4;
  char more;
  EXPECT_EQ(TlsRecv(shake.session.get(), &more, 1), kTlsWouldBlock);
}

// ---- Errors ---------------------------------------------------------------------

TEST(TlsSession, RefusedCertificatesGiveTheVerdictAndNoRequest) {
  struct Case {
    int port;
    const char *name;
    int is_address;
    const char *reason;
  } cases[] = {
      {TlsServers::expired, "localhost", 0, "certificate has expired"},
      {TlsServers::wrongname, "localhost", 0, "hostname mismatch"},
      {TlsServers::untrusted, "localhost", 0, "unable to get local issuer certificate"},
      {TlsServers::valid, "127.0.0.2", 1, "IP address mismatch"},
      {TlsServers::valid, "wrong.example", 0, "hostname mismatch"},
  };
  const std::string log = TlsServers::AccessLog();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name + std::string(" on port ") + std::to_string(c.port));
    Descriptor socket(Connect("127.0.0.1", c.port));
    ASSERT_GE(socket.fd, 0);
    Handshake shake = Shake(socket.fd, c.name, c.is_address);
    EXPECT_EQ(shake.result, -1);
    EXPECT_EQ(shake.reason, c.reason);
  }
  usleep(200000);
  EXPECT_EQ(TlsServers::AccessLog(), log);

  Descriptor socket(Connect("127.0.0.1", TlsServers::expired));
  TlsSession *session;
  char reason[5];
  EXPECT_EQ(TlsHandshake(socket.fd, "localhost", 0, 5, &session, reason, sizeof reason), -1);
  EXPECT_STREQ(reason, "cert") << "cut to its buffer";
}

TEST(TlsSession, PeersThatDoNotSpeakTlsFailTheHandshake) {
  std::atomic<bool> release{false};
  LoopbackPeer silent([&release](int) {
    for (int i = 0; i < 2000 && !release; ++i) usleep(5000);
  });
  // Reads the client's hello, so that closing ends the stream rather than
  // resetting it for unread bytes.
  LoopbackPeer closing([](int fd) { testsupport::ReadUntil(fd, "\x03", 2000); });
  struct Case {
    int port;
    const char *reason;  // null: any reason but a time-out
    double least, most;  // seconds the handshake may take
  } cases[] = {
      {silent.port(), "timed out", 1.9, 4.0},
      {closing.port(), "connection closed", 0, 1.5},
      {TlsServers::plain, nullptr, 0, 1.5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.port);
    Descriptor socket(Connect("127.0.0.1", c.port));
    ASSERT_GE(socket.fd, 0);
    auto start = Clock::now();
    Handshake shake = Shake(socket.fd, "localhost", 0, 2);
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(shake.result, -1);
    if (c.reason != nullptr) {
      EXPECT_EQ(shake.reason, c.reason);
    } else {
      // OpenSSL's words for an HTTP reply read as a TLS record.
      EXPECT_NE(shake.reason, "");
      EXPECT_NE(shake.reason, "timed out");
      EXPECT_NE(shake.reason, "connection closed");
    }
    EXPECT_GE(took, c.least);
    EXPECT_LE(took, c.most);
  }
  release = true;
}

TEST(TlsSession, EndOfStreamEndsTheReplyWithOrWithoutCloseNotify) {
  // A TLS server of the test's own with the fixture's certificate, which
  // may end the stream without the close_notify that nginx always sends.
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()),
                                                            SSL_CTX_free);
  ASSERT_EQ(
      SSL_CTX_use_certificate_chain_file(context.get(), (TlsServers::dir + "/valid.pem").c_str()),
      1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(context.get(), (TlsServers::dir + "/valid.key").c_str(),
                                        SSL_FILETYPE_PEM),
            1);
  for (bool close_notify : {true, false}) {
    SCOPED_TRACE(close_notify ? "close_notify" : "no close_notify");
    LoopbackPeer server([&](int fd) {
      timeval limit = {5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
      SSL_set_fd(ssl.get(), fd);
      if (SSL_accept(ssl.get()) == 1 && SSL_write(ssl.get(), "hello", 5) == 5 && close_notify)
        SSL_shutdown(ssl.get());
    });
    Descriptor socket(Connect("127.0.0.1", server.port()));
    Handshake shake = Shake(socket.fd, "localhost", 0);
    ASSERT_EQ(shake.result, 0) << shake.reason;
    EXPECT_EQ(Receive(shake.session.get(), socket.fd, 64), "hello");
    char more;
    EXPECT_EQ(TlsRecv(shake.session.get(), &more, 1), 0);
    ASSERT_TRUE(server.WaitServed(1));
  }
}

TEST(TlsSession, SendingToAGonePeerFailsWithoutSigpipe) {
  Descriptor socket(Connect("127.0.0.1", TlsServers::valid));
  Handshake shake = Shake(socket.fd, "localhost", 0);
  ASSERT_EQ(shake.result, 0) << shake.reason;
  const char request[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(TlsSend(shake.session.get(), request, sizeof request - 1, 5),
            static_cast<long>(sizeof request - 1));
  EXPECT_NE(Receive(shake.session.get(), socket.fd, 4096), "");  // nginx has closed

  struct sigaction default_action = {}, previous;
  default_action.sa_handler = SIG_DFL;  // a SIGPIPE would end the test program
  sigaction(SIGPIPE, &default_action, &previous);
  const std::string junk(16384, 'j');
  long sent = 0;
  for (int i = 0; i < 50 && sent != kTlsFailed; ++i) {
    sent = TlsSend(shake.session.get(), junk.data(), junk.size(), 2);
    if (sent != kTlsFailed) usleep(10000);
  }
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(sent, kTlsFailed);
  char more;
  EXPECT_EQ(TlsRecv(shake.session.get(), &more, 1), kTlsFailed);  // broken for good
}

}  // namespace
