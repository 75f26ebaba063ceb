#include "http/ll_serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "support/loopback_peer.h"
#include "support/private_network.h"

namespace {

using namespace std::literals;

// The wildcard addresses are bound only in a network of the test's own.
const bool kPrivateNetwork = testsupport::EnterPrivateNetwork();

// Reads from an exact-size heap copy, so that a read past length is caught
// by the address sanitizer.
int Read(std::string_view bytes, HttpRequestHead* head) {
  std::unique_ptr<char[]> exact(new char[bytes.size() + 1]);
  memcpy(exact.get(), bytes.data(), bytes.size());
  memset(head, 'x', sizeof *head);  // what the reader leaves unset shows up
  return ReadHttpRequest(exact.get(), bytes.size(), head);
}

struct ReadCase {
  std::string_view bytes;
  int result;
  const char* method;  // "" unless complete
  const char* target;
};

void Check(const ReadCase& c) {
  SCOPED_TRACE(testing::Message() << "bytes: \"" << c.bytes << "\"");
  HttpRequestHead head;
  EXPECT_EQ(Read(c.bytes, &head), c.result);
  EXPECT_STREQ(head.method, c.method);
  EXPECT_STREQ(head.target, c.target);
}

TEST(ReadHttpRequest, CompleteHeadsAndEveryPrefixOfThem) {
  const ReadCase cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: localhost:9100\r\nAccept: */*\r\n\r\n", kRequestComplete,
       "GET", "/metrics"},
      {"GET /metrics HTTP/1.0\n\n", kRequestComplete, "GET", "/metrics"},
      {"M-SEARCH /a?b=%20&c#d HTTP/1.1\r\nX-Empty:\r\nX-Tab:\tv \xc3\xa9\n\r\nbody\0\n\n"sv,
       kRequestComplete, "M-SEARCH", "/a?b=%20&c#d"},
      {"ABCDEFGHIJKLMNO / HTTP/1.1\r\n\r\n", kRequestComplete, "ABCDEFGHIJKLMNO", "/"},
  };
  for (const ReadCase& c : cases) {
    Check(c);
    size_t crlf_end = c.bytes.find("\n\r\n");
    size_t head_size = crlf_end != std::string_view::npos ? crlf_end + 3 : c.bytes.find("\n\n") + 2;
    for (size_t size = 0; size < head_size; ++size) {
      Check({c.bytes.substr(0, size), kRequestIncomplete, "", ""});
    }
  }
}

TEST(ReadHttpRequest, TheSizeBoundCountsTheWholeHead) {
  const std::string start = "GET / HTTP/1.1\r\nX: ";
  const std::string filler(kMostRequestBytes - start.size() - 4, 'a');
  const std::string longest = start + filler + "\r\n\r\n";
  ASSERT_EQ(longest.size(), static_cast<size_t>(kMostRequestBytes));
  const std::string one_more_text = start + filler + "a\r\n\r\n";
  const std::string_view one_more = one_more_text;
  const std::string target = "/" + std::string(kRequestTargetSize - 2, 't');
  const std::string request_line = "GET " + target + " HTTP/1.1\r\n\r\n";
  const std::string too_long_target = "GET " + target + "t HTTP/1.1\r\n\r\n";
  const std::string bad_then_long = "GET / HTTP/1.1\r\nbad\r\n" + filler + filler;
  const ReadCase cases[] = {
      {longest, kRequestComplete, "GET", "/"},
      {one_more, kRequestTooLarge, "", ""},
      {one_more.substr(0, kMostRequestBytes - 1), kRequestIncomplete, "", ""},
      {one_more.substr(0, kMostRequestBytes), kRequestTooLarge, "", ""},
      {request_line, kRequestComplete, "GET", target.c_str()},
      {too_long_target, kRequestMalformed, "", ""},
      {bad_then_long, kRequestMalformed, "", ""},
  };
  for (const ReadCase& c : cases) Check(c);
}

TEST(ReadHttpRequest, LeavesTheTicketZero) {
  for (std::string_view bytes :
       {"GET / HTTP/1.1\r\n\r\n"sv, "GET /"sv, "GET x HTTP/1.1\r\n\r\n"sv}) {
    HttpRequestHead head;
    Read(bytes, &head);
    EXPECT_EQ(head.ticket, 0u) << bytes;
  }
}

// ---- Malformed heads -----------------------------------------------------------

TEST(ReadHttpRequest, MalformedHeads) {
  auto refused = [](std::string_view head) { Check({head, kRequestMalformed, "", ""}); };
  // Request lines, each followed by an empty line.
  const char* lines[] = {"GET",
                         "GET /",
                         "GET  / HTTP/1.1",
                         " GET / HTTP/1.1",
                         "GET / HTTP/1.1 ",
                         "GET / HTTP/1.1\rX: y",
                         "G(T / HTTP/1.1",
                         "ABCDEFGHIJKLMNOP / HTTP/1.1",
                         "GET metrics HTTP/1.1",
                         "GET * HTTP/1.1",
                         "GET http://h/ HTTP/1.1",
                         "GET / HTTP/0.9",
                         "GET / HTTP/2.0",
                         "GET / http/1.1",
                         "GET / HTTP/1.10",
                         "GET /\x01 HTTP/1.1",
                         "GET /\xc3\xa9 HTTP/1.1"};
  for (const char* line : lines) refused(std::string(line) + "\r\n\r\n");
  refused("GET /\0 HTTP/1.1\r\n\r\n"sv);
  refused("\n");  // an empty request line
  // Header lines after a good request line.
  const std::string_view headers[] = {"NoColon", "A: b\r\n folded", "\tX: y",  "Name : v",
                                      ": v",     "X: a\0b"sv,       "X: a\rb", "X: \x7f"};
  for (std::string_view header : headers) {
    refused("GET / HTTP/1.1\r\n" + std::string(header) + "\r\n\r\n");
  }
}

// ---- Endpoint texts ------------------------------------------------------------

// A connected blocking client socket, or -1 when the port refuses.
int ConnectTo127(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
  close(fd);
  return -1;
}

TEST(OpenHttpListener, AcceptedTextsBindWhatTheySay) {
  const struct {
    const char* address;  // before ":PORT", or null for the text "PORT"
    const char* bound;    // address as getsockname reports it
    bool reached_on_127;  // whether 127.0.0.1:PORT then connects
    bool wildcard;
  } cases[] = {
      {nullptr, "127.0.0.1", true, false},      {"127.0.0.1", "127.0.0.1", true, false},
      {"127.0.0.2", "127.0.0.2", false, false}, {"0.0.0.0", "0.0.0.0", true, true},
      {"[::1]", "::1", false, false},           {"[::]", "::", true, true},  // IPv4 clients too
  };
  for (const auto& c : cases) {
    if (c.wildcard && !kPrivateNetwork) continue;
    int port = testsupport::UnusedPort();
    std::string text = (c.address ? std::string(c.address) + ":" : "") + std::to_string(port);
    SCOPED_TRACE(text);
    int fd = -2;
    char why[64] = "untouched";
    ASSERT_EQ(OpenHttpListener(text.c_str(), &fd, why, sizeof why), 0) << why;
    EXPECT_STREQ(why, "");
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    sockaddr_in6 bound{};  // room for either family; both keep the port at the same place
    socklen_t size = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    char bound_text[INET6_ADDRSTRLEN] = "";
    inet_ntop(bound.sin6_family,
              bound.sin6_family == AF_INET6 ? static_cast<void*>(&bound.sin6_addr)
                                            : &reinterpret_cast<sockaddr_in*>(&bound)->sin_addr,
              bound_text, sizeof bound_text);
    EXPECT_STREQ(bound_text, c.bound);
    EXPECT_EQ(ntohs(bound.sin6_port), port);
    int client = ConnectTo127(port);
    EXPECT_EQ(client >= 0, c.reached_on_127);
    if (client >= 0) close(client);
    close(fd);
  }
}

TEST(OpenHttpListener, RefusedTextsAndABoundPort) {
  auto refused = [](const char* text) {
    SCOPED_TRACE(text);
    int fd = 7;
    char why[64] = "";
    EXPECT_EQ(OpenHttpListener(text, &fd, why, sizeof why), -1);
    EXPECT_EQ(fd, -1);
    EXPECT_STREQ(why, "not [ADDRESS:]PORT");
  };
  const char* ports[] = {"",    "0",    "65536", "4294967377", "-1",         "+80",        " 80",
                         "80 ", "0x50", "9100a", ":9100",      "127.0.0.1:", "127.0.0.1:0"};
  const char* addresses[] = {"localhost:9100", "1.2.3:80",        "256.0.0.1:80",
                             "01.2.3.4:80",    "127.0.0.1:80:90", "::1:9100",
                             "[::1]9100",      "[::1]",           "[::1:9100",
                             "[127.0.0.1]:80", "[]:80",           "[fe80::1%lo]:80"};
  for (const char* text : ports) refused(text);
  for (const char* text : addresses) refused(text);
  refused(nullptr);

  int fd = 7;
  char why[64];
  EXPECT_EQ(OpenHttpListener("x", &fd, why, 4), -1);
  EXPECT_STREQ(why, "not");  // cut to fit
  EXPECT_EQ(OpenHttpListener("x", &fd, nullptr, 0), -1);

  std::string text = "127.0.0.1:" + std::to_string(testsupport::UnusedPort());
  int first = -1;
  ASSERT_EQ(OpenHttpListener(text.c_str(), &first, why, sizeof why), 0);
  EXPECT_EQ(OpenHttpListener(text.c_str(), &fd, why, sizeof why), -1);
  EXPECT_EQ(fd, -1);
  EXPECT_STREQ(why, "Address already in use");
  close(first);
}

// ---- The server on loopback ------------------------------------------------------

// Records whether the handler ran with the daemon's signals blocked.
std::atomic<int> handled_with_signals_blocked{-1};

void Answer(const HttpRequestHead& request, std::string* response, void*) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  handled_with_signals_blocked = sigismember(&mask, SIGALRM) && sigismember(&mask, SIGTERM);
  if (strcmp(request.method, "GET") != 0) {
    HttpResponse(response, 405, "Method Not Allowed", "text/plain", "GET only\n", "Allow: GET\r\n");
  } else if (strcmp(request.target, "/metrics") != 0) {
    HttpResponse(response, 404, "Not Found", nullptr, "");
  } else {
    HttpResponse(response, 200, "OK", "text/plain; version=0.0.4", "up 1\n");
  }
}

// CPU time of the whole process, both threads.
int64_t CpuMs() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

class Served : public testing::Test {
 protected:
  void Start(HttpServerLimits limits = {}, HttpHandler handler = Answer, void* context = nullptr) {
    descriptors_ = testsupport::OpenDescriptorCount();
    port_ = testsupport::UnusedPort();
    int fd;
    char why[64];
    ASSERT_EQ(OpenHttpListener(std::to_string(port_).c_str(), &fd, why, sizeof why), 0) << why;
    server_ = StartHttpServer(fd, handler, context, &limits);
    ASSERT_NE(server_, nullptr);
  }
  void TearDown() override {
    StopHttpServer(server_);
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors_ + static_cast<int>(clients_.size()));
    for (int fd : clients_) close(fd);
  }
  int Connect() {
    int fd = ConnectTo127(port_);
    EXPECT_GE(fd, 0);
    if (fd >= 0) clients_.push_back(fd);
    return fd;
  }
  std::string Exchange(std::string_view request) {
    int fd = Connect();
    EXPECT_TRUE(testsupport::SendAll(fd, request));
    return testsupport::ReadToClose(fd);
  }

  HttpServer* server_ = nullptr;
  int port_ = 0;
  int descriptors_ = 0;
  std::vector<int> clients_;
};

TEST_F(Served, AnswersEachKindOfRequestWithExactBytes) {
  Start();
  const std::string too_large =
      "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n";
  const struct {
    std::string_view request;
    std::string_view response;
  } cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: 5\r\n"
       "Connection: close\r\n\r\nup 1\n"},
      {"GET /other HTTP/1.0\n\n",
       "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
       "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
       "Connection: close\r\nAllow: GET\r\n\r\nGET only\n"},
      {"GET metrics HTTP/1.1\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
       "Content-Length: 12\r\nConnection: close\r\n\r\nBad Request\n"},
      {too_large,
       "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain; charset=utf-8\r\n"
       "Content-Length: 32\r\nConnection: close\r\n\r\nRequest Header Fields Too Large\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Exchange(c.request), c.response);
  EXPECT_EQ(handled_with_signals_blocked, 1);
}

TEST_F(Served, ASilentClientDelaysNoOtherAndIsClosedAtTheStop) {
  Start();
  int silent = Connect();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange("GET /metrics HTTP/1.1\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  pollfd still_open{silent, POLLIN, 0};
  EXPECT_EQ(poll(&still_open, 1, 0), 0);
  StopHttpServer(server_);
  server_ = nullptr;
  pollfd closed{silent, POLLIN, 0};
  ASSERT_EQ(poll(&closed, 1, 2000), 1);
  char byte;
  EXPECT_EQ(recv(silent, &byte, 1, 0), 0);
}

TEST_F(Served, FortyClientsAtOnceAreAllAnswered) {
  Start();
  std::vector<int> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(Connect());
    ASSERT_TRUE(testsupport::SendAll(clients.back(), "GET /metrics HTTP/1.1\r\n\r\n"));
  }
  // The clients keep their ends open after the answer, so the later ones
  // are answered only because a slot is given up soon after its answer,
  // not at the deadline of 5 s that ReadToClose would not outwait.
  for (int fd : clients) {
    EXPECT_EQ(testsupport::ReadToClose(fd).substr(0, 17), "HTTP/1.1 200 OK\r\n");
  }
}

TEST_F(Served, SilentClientsAreClosedAtTheirDeadlineAndOnlyFourAreAccepted) {
  constexpr int kDeadlineMs = 300;
  Start({4, kDeadlineMs});
  int64_t cpu_before_ms = CpuMs();
  auto start = std::chrono::steady_clock::now();
  std::vector<pollfd> silent;
  for (int i = 0; i < 6; ++i) silent.push_back({Connect(), POLLIN, 0});
  // Watched together, so that each close is seen when it happens.
  std::vector<int64_t> closed_ms;
  while (closed_ms.size() < silent.size() && poll(silent.data(), silent.size(), 3000) > 0) {
    for (pollfd& client : silent) {
      if (client.revents == 0) continue;
      char byte;
      EXPECT_EQ(recv(client.fd, &byte, 1, 0), 0);  // no answer, only the close
      closed_ms.push_back((std::chrono::steady_clock::now() - start) / 1ms);
      client.fd = -client.fd - 1;  // no longer watched
    }
  }
  ASSERT_EQ(closed_ms.size(), 6u);
  // The two left in the backlog are accepted only when the first four close,
  // and while they wait the listener is not watched, so nothing spins.
  for (int i = 0; i < 6; ++i) EXPECT_GE(closed_ms[i], i < 4 ? kDeadlineMs : 2 * kDeadlineMs) << i;
  EXPECT_LT(CpuMs() - cpu_before_ms, kDeadlineMs / 3);
  EXPECT_EQ(Exchange("GET /metrics HTTP/1.1\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
}

// A connection begun without waiting for the handshake, or -1.
int ConnectWithoutWaiting(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 || errno == EINPROGRESS) {
    return fd;
  }
  close(fd);
  return -1;
}

// A thousand clients that connect and say nothing, and a hundred that send
// a byte of a request a second, do not keep a scraper waiting, and the
// server holds a bounded number of them. Before the server shed idle
// connections, the first sixteen held it for 5 s each and the rest queued
// in the system's backlog, ahead of the scraper, which had no answer within
// the 3 s allowed here.
TEST_F(Served, IdleAndTricklingClientsDoNotKeepAScrapeWaitingOrHoldDescriptors) {
  constexpr int kIdle = 1000, kTrickling = 100, kTrickleRounds = 3;
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit before = limit;
  constexpr rlim_t kWanted = kIdle + kTrickling + 256;
  if (limit.rlim_cur < kWanted) limit.rlim_cur = std::min(kWanted, limit.rlim_max);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < kWanted) GTEST_SKIP() << "RLIMIT_NOFILE is below " << kWanted;

  Start();
  std::vector<pollfd> opened;
  for (int i = 0; i < kIdle + kTrickling; ++i) {
    int fd = ConnectWithoutWaiting(port_);
    ASSERT_GE(fd, 0) << i;
    clients_.push_back(fd);
    opened.push_back({fd, POLLOUT, 0});
  }
  // Until every handshake is through (a connection shed already counts),
  // 5 s at most: a SYN dropped while the backlog was full is sent again 1 s
  // later.
  auto until = std::chrono::steady_clock::now() + 5s;
  for (size_t done = 0; done < opened.size() && std::chrono::steady_clock::now() < until;) {
    if (poll(opened.data(), opened.size(), 200) <= 0) continue;
    for (pollfd& client : opened) {
      if (client.revents == 0) continue;
      client.fd = -client.fd - 1;
      ++done;
    }
  }
  // What the server holds: every descriptor but the test's own clients and
  // those it had before the server's listener.
  auto server_held = [&] {
    return testsupport::OpenDescriptorCount() - descriptors_ - static_cast<int>(clients_.size());
  };
  int most_held = server_held();
  const std::string_view request = "GET /metrics HTTP/1.1\r\n\r\n";
  for (int round = 0; round < kTrickleRounds; ++round) {
    for (int i = kIdle; i < kIdle + kTrickling; ++i) {
      send(clients_[i], &request[round], 1, MSG_NOSIGNAL | MSG_DONTWAIT);  // shed ones fail
    }
    std::this_thread::sleep_for(1s);
    most_held = std::max(most_held, server_held());
  }
  // The listener, the two wake-up descriptors (stop, answers) and a newcomer
  // not yet placed.
  EXPECT_LE(most_held, kServedAtOnce + kQueuedAtOnce + 4);

  auto start = std::chrono::steady_clock::now();
  int scraper = ConnectWithoutWaiting(port_);
  ASSERT_GE(scraper, 0);
  clients_.push_back(scraper);
  pollfd connected{scraper, POLLOUT, 0};
  ASSERT_EQ(poll(&connected, 1, 3000), 1) << "not even connected";
  ASSERT_TRUE(testsupport::SendAll(scraper, request));
  EXPECT_EQ(testsupport::ReadToClose(scraper, 3000).substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  most_held = std::max(most_held, server_held());
  EXPECT_LE(most_held, kServedAtOnce + kQueuedAtOnce + 4);
  setrlimit(RLIMIT_NOFILE, &before);
}

// ---- Answers given later ------------------------------------------------------

// Every request the handler saw, in order; those for "/later..." are left
// to be answered with HttpAnswer, the rest answered at once by Answer.
struct Requests {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<unsigned long long, std::string>> seen;  // ticket, target

  // The first n requests, once they have come (within timeout), else fewer.
  std::vector<std::pair<unsigned long long, std::string>> Wait(
      size_t n, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex);
    arrived.wait_for(lock, timeout, [&] { return seen.size() >= n; });
    return {seen.begin(), seen.begin() + static_cast<long>(std::min(n, seen.size()))};
  }
};

void AnswerSomeLater(const HttpRequestHead& request, std::string* response, void* context) {
  auto* requests = static_cast<Requests*>(context);
  if (strncmp(request.target, "/later", 6) == 0) {
    HttpAnswerLater(response);
  } else {
    Answer(request, response, nullptr);
  }
  std::lock_guard<std::mutex> lock(requests->mutex);
  requests->seen.push_back({request.ticket, request.target});
  requests->arrived.notify_all();
}

// An answer that names its request, so that one given to the wrong client
// shows.
std::string AnswerFor(std::string_view target) {
  std::string response;
  HttpResponse(&response, 200, "OK", kHttpPlainText, "answer to " + std::string(target) + "\n");
  return response;
}

class ServedLater : public Served {
 protected:
  void StartLater(HttpServerLimits limits = {}) { Start(limits, AnswerSomeLater, &requests_); }
  // Connects and sends a request for target.
  int Request(std::string_view target) {
    int fd = Connect();
    EXPECT_TRUE(testsupport::SendAll(fd, "GET " + std::string(target) + " HTTP/1.1\r\n\r\n"));
    return fd;
  }
  // What the server holds besides its listener and its two eventfds.
  int ConnectionsHeld() {
    return testsupport::OpenDescriptorCount() - descriptors_ - static_cast<int>(clients_.size()) -
           3;
  }

  Requests requests_;
};

// The test's thread is not the server's: every HttpAnswer below comes from
// another thread.
TEST_F(ServedLater, AnAnswerFromAnotherThreadReachesTheClientByteForByte) {
  StartLater();
  int client = Request("/later");
  auto seen = requests_.Wait(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].first, 0u);
  // Every byte value, and more than a socket's buffers hold, so that the
  // answer goes out in several writes.
  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 256);
  std::string response;
  HttpResponse(&response, 200, "OK", "application/octet-stream", body);
  EXPECT_TRUE(HttpAnswer(server_, seen[0].first, response));
  std::string got = testsupport::ReadToClose(client);
  EXPECT_EQ(got.size(), response.size());
  EXPECT_TRUE(got == response);
}

TEST_F(ServedLater, OthersAreAnsweredAtOnceWhileOneWaits) {
  StartLater();
  int waiting = Request("/later");
  ASSERT_EQ(requests_.Wait(1).size(), 1u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange("GET /metrics HTTP/1.1\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  pollfd unanswered{waiting, POLLIN, 0};
  EXPECT_EQ(poll(&unanswered, 1, 0), 0);
  EXPECT_TRUE(HttpAnswer(server_, requests_.Wait(1)[0].first, AnswerFor("/later")));
  EXPECT_EQ(testsupport::ReadToClose(waiting), AnswerFor("/later"));
}

TEST_F(ServedLater, AWaitingConnectionKeepsItsTurn) {
  StartLater({1, 5000});
  int waiting = Request("/later");
  ASSERT_EQ(requests_.Wait(1).size(), 1u);
  int next = Request("/metrics");
  pollfd unanswered{next, POLLIN, 0};
  EXPECT_EQ(poll(&unanswered, 1, 300), 0);
  EXPECT_EQ(requests_.Wait(2, 0ms).size(), 1u);  // its handler has not run
  EXPECT_TRUE(HttpAnswer(server_, requests_.Wait(1)[0].first, AnswerFor("/later")));
  EXPECT_EQ(testsupport::ReadToClose(waiting), AnswerFor("/later"));
  EXPECT_EQ(testsupport::ReadToClose(next).substr(0, 17), "HTTP/1.1 200 OK\r\n");
}

TEST_F(ServedLater, ManyAnsweredOutOfOrderEachGetTheirOwn) {
  constexpr int kClients = 12;
  StartLater();
  std::vector<int> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(Request("/later/" + std::to_string(i)));
  auto seen = requests_.Wait(kClients);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kClients));
  std::set<unsigned long long> tickets;
  for (const auto& [ticket, target] : seen) tickets.insert(ticket);
  EXPECT_EQ(tickets.size(), seen.size());
  EXPECT_EQ(tickets.count(0), 0u);
  // From the last to come to the first, each from a thread of its own.
  std::vector<std::thread> answerers;
  std::atomic<int> handed_over{0};
  for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
    answerers.emplace_back(
        [&, it] { handed_over += HttpAnswer(server_, it->first, AnswerFor(it->second)); });
  }
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(testsupport::ReadToClose(clients[i]), AnswerFor("/later/" + std::to_string(i)));
  }
  for (std::thread& answerer : answerers) answerer.join();
  EXPECT_EQ(handed_over, kClients);
}

// Requests left waiting for answers that do not come (a page from a slow
// database) hold at most kAwaitingAtOnce turns: one more is answered 503
// at once, and a scrape finds a turn rather than waiting for the first
// deadline. A waiting client is known to be gone as soon as it has closed,
// so that its answer need not be made.
TEST_F(ServedLater, LaterAnswersHoldSomeTurnsOnlyAndAGoneClientIsKnown) {
  StartLater();
  std::vector<int> waiting;
  for (int i = 0; i < kAwaitingAtOnce; ++i)
    waiting.push_back(Request("/later/" + std::to_string(i)));
  auto seen = requests_.Wait(kAwaitingAtOnce);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kAwaitingAtOnce));
  for (int i = kAwaitingAtOnce; i < kServedAtOnce + 4; ++i) {
    int refused = Request("/later/" + std::to_string(i));
    EXPECT_EQ(testsupport::ReadToClose(refused, 2000),
              "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 20\r\nConnection: close\r\nRetry-After: 1\r\n\r\n"
              "Service Unavailable\n")
        << i;
    // Closed, so that its turn is not held while the server lingers.
    clients_.erase(std::find(clients_.begin(), clients_.end(), refused));
    close(refused);
    auto ticket = requests_.Wait(i + 1).back().first;
    EXPECT_FALSE(HttpClientWaiting(server_, ticket));
    EXPECT_FALSE(HttpAnswer(server_, ticket, AnswerFor("/refused")));
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange("GET /metrics HTTP/1.1\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  // Each client is seen[i]'s, the order of handling being the order of
  // connecting.
  for (int i = 0; i < kAwaitingAtOnce; ++i) {
    ASSERT_EQ(seen[i].second, "/later/" + std::to_string(i));
    EXPECT_TRUE(HttpClientWaiting(server_, seen[i].first)) << i;
  }
  clients_.erase(std::find(clients_.begin(), clients_.end(), waiting[0]));
  close(waiting[0]);
  auto until = std::chrono::steady_clock::now() + 2s;
  while (HttpClientWaiting(server_, seen[0].first) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(HttpClientWaiting(server_, seen[0].first));
  for (int i = 1; i < kAwaitingAtOnce; ++i) {
    EXPECT_TRUE(HttpClientWaiting(server_, seen[i].first)) << i;
    EXPECT_TRUE(HttpAnswer(server_, seen[i].first, AnswerFor(seen[i].second)));
    EXPECT_EQ(testsupport::ReadToClose(waiting[i]), AnswerFor(seen[i].second));
  }
}

// ---- Answers that find no one ---------------------------------------------------

TEST_F(ServedLater, AnAnswerAfterTheDeadlineIsRefusedAndTheClientHadNone) {
  constexpr int kDeadlineMs = 300;
  StartLater({4, kDeadlineMs});
  auto start = std::chrono::steady_clock::now();
  int client = Request("/later");
  auto seen = requests_.Wait(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(testsupport::ReadToClose(client, 3000), "");
  auto closed_after = std::chrono::steady_clock::now() - start;
  EXPECT_GE(closed_after, std::chrono::milliseconds(kDeadlineMs));
  EXPECT_LT(closed_after, 2s);  // closed, not given up on by ReadToClose
  EXPECT_FALSE(HttpAnswer(server_, seen[0].first, AnswerFor("/later")));
}

TEST_F(ServedLater, TicketsNotWaitingAreRefused) {
  StartLater();
  EXPECT_EQ(Exchange("GET /metrics HTTP/1.1\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
  int client = Request("/later");
  auto seen = requests_.Wait(2);
  ASSERT_EQ(seen.size(), 2u);
  const unsigned long long answered_at_once = seen[0].first, waiting = seen[1].first;
  for (unsigned long long ticket : {0ull, answered_at_once, waiting + 1000}) {
    EXPECT_FALSE(HttpAnswer(server_, ticket, AnswerFor("/wrong"))) << ticket;
  }
  EXPECT_TRUE(HttpAnswer(server_, waiting, AnswerFor("/later")));
  EXPECT_FALSE(HttpAnswer(server_, waiting, AnswerFor("/again")));
  EXPECT_EQ(testsupport::ReadToClose(client), AnswerFor("/later"));
}

TEST_F(ServedLater, AClientGoneWhileWaitingIsClosedWhenItsAnswerComes) {
  StartLater();
  int client = Request("/later");
  auto seen = requests_.Wait(1);
  ASSERT_EQ(seen.size(), 1u);
  clients_.erase(std::find(clients_.begin(), clients_.end(), client));
  int64_t cpu_before_ms = CpuMs();
  close(client);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(ConnectionsHeld(), 1);          // not read from, so not yet found closed
  EXPECT_LT(CpuMs() - cpu_before_ms, 100);  // nor watched: its end of input would spin poll
  EXPECT_TRUE(HttpAnswer(server_, seen[0].first, AnswerFor("/later")));
  auto until = std::chrono::steady_clock::now() + 2s;
  while (ConnectionsHeld() > 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(ConnectionsHeld(), 0);
}

}  // namespace
