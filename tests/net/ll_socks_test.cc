#include "net/ll_socks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/ll_cpapi.h"
#include "gtest/gtest.h"
#include "support/loopback_peer.h"

namespace {

using testsupport::LoopbackPeer;
using testsupport::OpenDescriptorCount;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What a successful connect prints, in order, for a numeric service.
constexpr char kConnectWords[] =
    "j1\r\nj1d\r\nj1e\r\nj1g\r\nj1h\r\nj2\r\nj3\r\nj4\r\nj5\r\nbl1\r\nbl2\r\n"
    "Waiting for connect\r\nselected\r\ndone GSC\r\n";

// A peer that keeps its connection open, silent and unread, until the
// test lets it go (at the latest when this object goes).
class SilentPeer {
 public:
  SilentPeer() : release_(std::make_shared<std::atomic<bool>>(false)), peer_(Hold(release_)) {}
  ~SilentPeer() { *release_ = true; }
  int port() const { return peer_.port(); }

 private:
  static LoopbackPeer::Script Hold(std::shared_ptr<std::atomic<bool>> release) {
    return [release](int) {
      for (int i = 0; i < 2000 && !release->load(); ++i) usleep(5000);
    };
  }
  std::shared_ptr<std::atomic<bool>> release_;
  LoopbackPeer peer_;
};

// Every test starts with a short time limit and leaves the default behind.
class Gensock : public testing::Test {
 protected:
  void SetUp() override { GWinsockTimeout = 2; }
  void TearDown() override { GWinsockTimeout = 45; }

  // Connects quietly; the words are checked by the connect tests.
  gensock_connection *Connect(int port) {
    testing::internal::CaptureStdout();
    gensock_connection *handle = nullptr;
    int code = gensock_connect("127.0.0.1", std::to_string(port).c_str(), &handle);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    return handle;
  }
};

// Runs body in a child process inside a fresh network namespace, in which
// nothing can leave the machine; with loopback_up the namespace's own
// loopback interface is brought up. Returns what body returned, or a note
// on how the child failed.
std::string InNetworkNamespace(bool loopback_up, const std::function<std::string()> &body) {
  int report[2];
  if (pipe(report) != 0) return "pipe failed";
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    alarm(20);  // a child that hangs dies instead
    std::string result = "unshare failed";
    if (unshare(CLONE_NEWNET) == 0) {
      result = "loopback not up";
      int control = socket(AF_INET, SOCK_DGRAM, 0);
      ifreq request{};
      strcpy(request.ifr_name, "lo");
      bool up = !loopback_up;
      if (loopback_up && ioctl(control, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags |= IFF_UP;
        up = ioctl(control, SIOCSIFFLAGS, &request) == 0;
      }
      close(control);
      if (up) result = body();
    }
    if (write(report[1], result.data(), result.size()) < 0) _exit(2);
    _exit(0);
  }
  close(report[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(report[0], buffer, sizeof buffer)) > 0) result.append(buffer, n);
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child died: " + result;
  return result;
}

std::string Describe(int code, const gensock_connection *handle, const std::string &words) {
  return "code=" + std::to_string(code) + (handle ? " handle" : " null") + "\n" + words;
}

// ---- Connect ---------------------------------------------------------------

TEST_F(Gensock, ConnectsByPortNumberWithItsTraceWords) {
  LoopbackPeer peer([&](int fd) { peer.Record(testsupport::ReadToClose(fd)); });
  int descriptors = OpenDescriptorCount();
  testing::internal::CaptureStdout();
  gensock_connection *handle = nullptr;
  int code = gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &handle);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kConnectWords);
  ASSERT_EQ(code, 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->recv_pos, 0u);
  EXPECT_EQ(handle->recv_len, 0u);
  EXPECT_EQ(handle->send_fill, 0u);
  EXPECT_TRUE(fcntl(handle->sock, F_GETFL) & O_NONBLOCK);
  EXPECT_GE(fcntl(handle->sock, F_GETFD), 0);
  EXPECT_EQ(gensock_close(handle), 0);
  // The peer's thread holds a descriptor of its own until it has served
  // the connection, so count only once it is done.
  EXPECT_TRUE(peer.WaitServed(1));
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(peer.accepted(), 1);
}

TEST_F(Gensock, ResolvesAHostNameAndTakesAPortModulo65536) {
  LoopbackPeer peer([](int fd) { testsupport::ReadToClose(fd); });
  testing::internal::CaptureStdout();
  gensock_connection *handle = nullptr;
  int code = gensock_connect("localhost", std::to_string(peer.port() + 65536).c_str(), &handle);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(gensock_close(handle), 0);
  EXPECT_TRUE(peer.WaitServed(1));
}

// The service is looked up in the services database; port 80 is free to
// listen on only in a namespace of our own.
TEST_F(Gensock, ConnectsByServiceName) {
  const servent *http = getservbyname("http", "tcp");
  ASSERT_NE(http, nullptr) << "the services database (package netbase) must know http";
  ASSERT_EQ(ntohs(static_cast<uint16_t>(http->s_port)), 80);

  std::string result = InNetworkNamespace(true, [] {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0) {
      return std::string("cannot listen on port 80");
    }
    // The second connect finds the port it remembers from the first; a
    // name it does not know is still asked of the database, and fails.
    std::string outcome;
    for (const char *service : {"http", "http", "no-such-service"}) {
      testing::internal::CaptureStdout();
      gensock_connection *handle = nullptr;
      int code = gensock_connect("127.0.0.1", service, &handle);
      std::string words = testing::internal::GetCapturedStdout();
      int accepted = handle != nullptr ? accept(listener, nullptr, nullptr) : -1;
      outcome += Describe(code == 0 ? 0 : 1, handle, words) + (accepted >= 0 ? "accepted\n" : "");
      if (accepted >= 0) close(accepted);
      gensock_close(handle);
    }
    return outcome;
  });
  constexpr char kByName[] =
      "code=0 handle\n"
      "j1\r\nj1k\r\nj1l\r\nj2\r\nj3\r\nj4\r\nj5\r\nbl1\r\nbl2\r\n"
      "Waiting for connect\r\nselected\r\ndone GSC\r\naccepted\n";
  EXPECT_EQ(result, std::string(kByName) + kByName +
                        "code=1 null\nj1\r\nj1k\r\nj1m\r\nj1n\r\n" + strerror(0) + "\r\n")
      << "the words of an unknown name show what errno held after the lookup";
}

TEST_F(Gensock, IsANumberAcceptsOnlyDecimalDigits) {
  EXPECT_EQ(gensock_is_a_number(""), 1);
  EXPECT_EQ(gensock_is_a_number("0123"), 1);
  EXPECT_EQ(gensock_is_a_number("12a"), 0);
  EXPECT_EQ(gensock_is_a_number("-1"), 0);
  EXPECT_EQ(gensock_is_a_number("+80"), 0);
  EXPECT_EQ(gensock_is_a_number(" 80"), 0);
}

// ---- Connect failures --------------------------------------------------------

TEST_F(Gensock, ARefusedConnectLeavesNothingBehind) {
  int port = testsupport::UnusedPort();
  int descriptors = OpenDescriptorCount();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  gensock_connection *handle = reinterpret_cast<gensock_connection *>(1);
  int code = gensock_connect("127.0.0.1", std::to_string(port).c_str(), &handle);
  std::string words = testing::internal::GetCapturedStdout();
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 4017);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(words, "j1\r\nj1d\r\nj1e\r\nj1g\r\nj1h\r\nj2\r\nj3\r\nj4\r\nj5\r\n");
  EXPECT_EQ(errors, std::string(strerror(ECONNREFUSED)) + "\n");
  // Kept for the caller's own report, whatever printing has done to errno.
  errno = EINVAL;
  EXPECT_EQ(gensock_connect_error(), ECONNREFUSED);
  // The failed handle may go to gensock_close unconditionally.
  EXPECT_EQ(gensock_close(handle), 4010);
  // The record itself is checked by the leak sanitizer at exit.
}

// Inside a fresh namespace no name server can be reached, so the lookup
// fails at once and no query leaves the machine.
TEST_F(Gensock, AnUnresolvableHostGives4007WithoutASocket) {
  std::string result = InNetworkNamespace(false, [] {
    int descriptors = OpenDescriptorCount();
    testing::internal::CaptureStdout();
    gensock_connection *handle = nullptr;
    int code = gensock_connect("no-such-host.invalid", "80", &handle);
    std::string words = testing::internal::GetCapturedStdout();
    return Describe(code, handle, words) +
           (OpenDescriptorCount() == descriptors ? "no descriptor left" : "descriptor left");
  });
  EXPECT_EQ(result,
            "code=4007 null\n"
            "j1\r\nj1d\r\nj1e\r\nj1g\r\nj1h\r\nj2\r\nno descriptor left");
}

TEST_F(Gensock, TheEmptyServiceHoldsNoNumber) {
  int descriptors = OpenDescriptorCount();
  testing::internal::CaptureStdout();
  gensock_connection *handle = nullptr;
  int code = gensock_connect("127.0.0.1", "", &handle);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "j1\r\nj1d\r\nj1e\r\nj1f\r\n");
  EXPECT_EQ(code, 4014);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// "+80" and " 80" are not all digits, so they go to the services database,
// which knows neither. The code is 4014 or the platform error less 5000,
// whose text is printed.
TEST_F(Gensock, ASignedOrBlankPrefixedPortIsLookedUpAsAName) {
  for (const char *service : {"+80", " 80"}) {
    SCOPED_TRACE(service);
    testing::internal::CaptureStdout();
    gensock_connection *handle = nullptr;
    int code = gensock_connect("127.0.0.1", service, &handle);
    std::string words = testing::internal::GetCapturedStdout();
    EXPECT_EQ(handle, nullptr);
    int error_number = code == 4014 ? 3 : code + 5000;
    if (code != 4014) {
      EXPECT_LE(code, -5000 + 200);
    }
    EXPECT_EQ(words, std::string("j1\r\nj1k\r\nj1m\r\nj1n\r\n") + strerror(error_number) + "\r\n")
        << words;
  }
}

// select() has no room for descriptor 1024 and above: such a socket is
// given back and the connect refused before anything is written outside the
// descriptor set.
// With many hits in flight descriptors pass 1023, beyond what a select set
// holds: such a socket must connect, send and receive like any other.
TEST_F(Gensock, ASocketAbove1023ConnectsSendsAndReceives) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  rlimit raised = limit;
  if (raised.rlim_cur < 1100) raised.rlim_cur = std::min<rlim_t>(1100, limit.rlim_max);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  ASSERT_GE(raised.rlim_cur, 1030u) << "cannot open enough descriptors";

  LoopbackPeer peer([](int fd) {
    std::string request = testsupport::ReadUntil(fd, "\n");
    testsupport::SendAll(fd, "echo " + request);
  });
  int null_device = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_device, 0);
  std::vector<int> fillers = {null_device};
  for (int fd; fillers.size() < 1100 && (fd = dup(null_device)) >= 0;) {
    fillers.push_back(fd);
    if (fd >= 1023) break;  // 0 to 1023 are now all taken
  }
  ASSERT_GE(fillers.back(), 1023);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  gensock_connection *handle = nullptr;
  int code = gensock_connect("127.0.0.1", std::to_string(peer.port()).c_str(), &handle);
  int sock = handle != nullptr ? handle->sock : -1;
  int sent = gensock_put_data(handle, "ping\n", 5);
  std::string echoed;
  char byte;
  for (int code_read; (code_read = gensock_getchar(handle, 0, &byte)) != 4016;) {
    if (code_read == 0) echoed += byte;
    if (code_read == 4013 || echoed.size() > 64) break;
  }
  gensock_close(handle);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &limit);

  EXPECT_EQ(code, 0);
  EXPECT_GT(sock, 1023);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(echoed, "echo ping\n");
}

TEST_F(Gensock, ARecordWithoutBuffersIsRefusedWith4001) {
  gensock_connection *record = nullptr;
  ASSERT_EQ(c_new(&record), 1);
  free(record->send_buf);
  record->send_buf = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_EQ(c_get_connected(record, "127.0.0.1", "80"), 4001);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // A record that never held a descriptor closes nothing.
  EXPECT_EQ(record->sock, -1);
  EXPECT_EQ(gensock_close(record), 0);
}

TEST_F(Gensock, EveryOperationRefusesANullHandle) {
  char byte = 0;
  EXPECT_EQ(gensock_getchar(nullptr, 1, &byte), 4010);
  EXPECT_EQ(gensock_put_data(nullptr, "x", 1), 4010);
  EXPECT_EQ(gensock_put_data_buffered(nullptr, "x", 1), 4010);
  EXPECT_EQ(gensock_put_data_flush(nullptr), 4010);
  EXPECT_EQ(gensock_close(nullptr), 4010);
}

// ---- Reading ---------------------------------------------------------------

TEST_F(Gensock, DeliversEveryByteInOrderThenReportsTheClose) {
  std::string sent(1300, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
  LoopbackPeer peer([&](int fd) { testsupport::SendAll(fd, sent); });
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::string got;
  int code = 0;
  uint32_t largest_receive = 0;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    char byte;
    code = gensock_getchar(handle, 1, &byte);
    if (code == 4013) {
      YieldSlice();
      continue;
    }
    if (code != 0) break;
    got += byte;
    largest_receive = std::max(largest_receive, handle->recv_len);
  }
  std::string words = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();

  EXPECT_EQ(code, 4016);
  EXPECT_EQ(got, sent);
  EXPECT_LE(largest_receive, 512u);
  size_t receives = 0;
  for (size_t at = 0; (at = words.find("recv success\r\n", at)) != std::string::npos; ++at) {
    ++receives;
  }
  EXPECT_GE(receives, 3u);
  EXPECT_EQ(gensock_close(handle), 0);
}

TEST_F(Gensock, APeerThatClosesAtOnceEndsTheFirstRead) {
  LoopbackPeer peer([](int) {});
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(peer.WaitServed(1));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  char byte;
  int code = gensock_getchar(handle, 0, &byte);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data available\r\n");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 4016);
  EXPECT_EQ(gensock_close(handle), 0);
}

TEST_F(Gensock, PollingAnIdleConnectionPrintsNothing) {
  SilentPeer peer;
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  char byte;
  // A poll that finds nothing leaves errno alone: the text printed when the
  // peer closes later is whatever errno held, and must not turn into EAGAIN.
  errno = EDOM;
  int first = gensock_getchar(handle, 1, &byte);
  int second = gensock_getchar(handle, 1, &byte);
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(first, 4013);
  EXPECT_EQ(second, 4013);
  EXPECT_EQ(gensock_close(handle), 0);
}

TEST_F(Gensock, AWaitingReadOfASilentPeerGivesUpAfterTheTimeLimit) {
  SilentPeer peer;
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);
  GWinsockTimeout = 1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  char byte;
  auto start = Clock::now();
  int code = gensock_getchar(handle, 0, &byte);
  double waited = SecondsSince(start);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data available\r\nrecv error");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(strerror(EAGAIN)) + "\n");
  EXPECT_EQ(code, 4013);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 10.0);
  EXPECT_EQ(gensock_close(handle), 0);
}

// ---- Writing ---------------------------------------------------------------

// A packet socket keeps the boundary of every send, so the peer sees exactly
// the pieces that reached send().
class PacketPeer {
 public:
  PacketPeer() {
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends_);
    c_new(&record_);
    record_->sock = ends_[0];
    fcntl(ends_[0], F_SETFL, O_NONBLOCK);
  }
  ~PacketPeer() {
    gensock_close(record_);
    close(ends_[1]);
  }
  gensock_connection *record() { return record_; }
  // The messages that have arrived so far.
  std::vector<std::string> Pieces() {
    std::vector<std::string> pieces;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(ends_[1], buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
      pieces.emplace_back(buffer, static_cast<size_t>(n));
    }
    return pieces;
  }

 private:
  int ends_[2] = {-1, -1};
  gensock_connection *record_ = nullptr;
};

std::string Pattern(size_t length, int seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return bytes;
}

TEST_F(Gensock, DirectWritesGoToSendInPiecesOfAtMost1024) {
  PacketPeer peer;
  std::string data = Pattern(3000, 1);
  EXPECT_EQ(c_put_data(peer.record(), data.data(), 0), 0);
  EXPECT_TRUE(peer.Pieces().empty());
  EXPECT_EQ(gensock_put_data(peer.record(), data.data(), 3000), 0);
  std::vector<std::string> pieces = peer.Pieces();
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], data.substr(0, 1024));
  EXPECT_EQ(pieces[1], data.substr(1024, 1024));
  EXPECT_EQ(pieces[2], data.substr(2048));
}

TEST_F(Gensock, BufferedWritesSendOnlyFullBlocks) {
  PacketPeer peer;
  std::string data = Pattern(512, 3);
  gensock_connection *record = peer.record();
  EXPECT_EQ(gensock_put_data_buffered(record, data.data(), 300), 0);
  EXPECT_EQ(gensock_put_data_buffered(record, data.data() + 300, 211), 0);
  EXPECT_EQ(record->send_fill, 511u);
  EXPECT_TRUE(peer.Pieces().empty());
  EXPECT_EQ(gensock_put_data_buffered(record, data.data() + 511, 1), 0);
  EXPECT_EQ(record->send_fill, 0u);
  EXPECT_EQ(peer.Pieces(), std::vector<std::string>{data});
  EXPECT_EQ(gensock_put_data_flush(record), 0);
  EXPECT_TRUE(peer.Pieces().empty());
}

TEST_F(Gensock, ALargeBufferedWriteLeavesItsTailForTheFlush) {
  PacketPeer peer;
  std::string data = Pattern(1100, 5);
  gensock_connection *record = peer.record();
  EXPECT_EQ(gensock_put_data_buffered(record, data.data(), 1100), 0);
  EXPECT_EQ(record->send_fill, 76u);
  std::vector<std::string> expected = {data.substr(0, 512), data.substr(512, 512)};
  EXPECT_EQ(peer.Pieces(), expected);
  EXPECT_EQ(gensock_put_data_flush(record), 0);
  EXPECT_EQ(record->send_fill, 0u);
  EXPECT_EQ(peer.Pieces(), std::vector<std::string>{data.substr(1024)});
}

TEST_F(Gensock, WrittenBytesReachATcpPeerExactly) {
  LoopbackPeer peer([&](int fd) { peer.Record(testsupport::ReadToClose(fd)); });
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);
  std::string direct = Pattern(5000, 9);
  std::string buffered = Pattern(700, 11);
  EXPECT_EQ(gensock_put_data(handle, direct.data(), 5000), 0);
  EXPECT_EQ(gensock_put_data_buffered(handle, buffered.data(), 700), 0);
  EXPECT_EQ(gensock_put_data_flush(handle), 0);
  EXPECT_EQ(gensock_close(handle), 0);
  ASSERT_TRUE(peer.WaitServed(1));
  EXPECT_EQ(peer.records(), std::vector<std::string>{direct + buffered});
}

TEST_F(Gensock, APeerThatStopsReadingFailsTheWriteWithinTheTimeLimit) {
  SilentPeer peer;
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);
  GWinsockTimeout = 1;
  std::string data(64 << 20, 'x');  // more than both socket buffers hold
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto start = Clock::now();
  int code = gensock_put_data(handle, data.data(), static_cast<unsigned>(data.size()));
  double waited = SecondsSince(start);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "write send error\r\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(strerror(EAGAIN)) + "\n");
  EXPECT_EQ(code, 4002);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 30.0);
  EXPECT_EQ(gensock_close(handle), 0);
}

// Writing to a peer that has gone must give 4002, not a SIGPIPE that would
// end the process.
TEST_F(Gensock, WritingToAPeerThatLeftFailsWithoutASignal) {
  LoopbackPeer peer([](int) {});
  gensock_connection *handle = Connect(peer.port());
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(peer.WaitServed(1));
  struct sigaction default_action {
  }, previous{};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &default_action, &previous);
  std::string data(256 << 10, 'y');
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int first = gensock_put_data(handle, data.data(), static_cast<unsigned>(data.size()));
  int second = gensock_put_data(handle, data.data(), static_cast<unsigned>(data.size()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "write send error\r\nwrite send error\r\n");
  testing::internal::GetCapturedStderr();
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(first, 4002);
  EXPECT_EQ(second, 4002);
  EXPECT_EQ(gensock_close(handle), 0);
}

// ---- Host name -------------------------------------------------------------

TEST_F(Gensock, GetHostnameFillsTheBufferOrCutsItShort) {
  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  char name[256];
  memset(name, 'z', sizeof name);
  EXPECT_EQ(gensock_gethostname(name, sizeof name), 0);
  EXPECT_STREQ(name, expected);

  ASSERT_GT(strlen(expected), 0u);
  char small[1] = {'z'};
  EXPECT_EQ(gensock_gethostname(small, 1), -1 - 5000);
  EXPECT_EQ(small[0], '\0');
}

}  // namespace
