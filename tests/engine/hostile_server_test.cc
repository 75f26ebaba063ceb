// Hostile web servers, each a scripted loopback peer, all met in one poll
// cycle so that one run covers them (the silent server alone costs the full
// silence limit of 45 seconds): a refusal, a reset in the middle of a reply,
// silence, a drip of one byte a second, a flood that never stops, NUL bytes
// and invalid UTF-8, a 4 MiB header without an empty line, and a close before
// the request. For each, jantor moves on within its bound, its memory stays
// bounded, the entry is rescheduled, and the entries after it are hit.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>

#include "engine/hostile_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/private_network.h"
#include "support/process.h"

namespace {

using hostile::CountOf;
using hostile::HitSection;
using hostile::NowMs;
using hostile::ParseLocal;
using testsupport::Exec;
using testsupport::LocalTimestamp;
using testsupport::LoopbackPeer;
using testsupport::Query;
using testsupport::ReadUntil;
using testsupport::SendAll;

constexpr int kSilenceLimitS = 45;                    // GWinsockTimeout
constexpr long long kReplyLimit = 8LL * 1024 * 1024;  // the reader's cut
constexpr long long kFloodMost = 64LL * 1024 * 1024;  // the flood peer's own bound

// What one peer saw of its connection.
struct Seen {
  std::atomic<long long> held_ms{-1};   // from the request to jantor's close
  std::atomic<long long> sent{0};       // bytes the peer got rid of
  std::atomic<long> jantor_hwm_kb{-1};  // jantor's peak memory when the case ended
  std::atomic<long> hwm_before_kb{-1};  // ... and when it began
};

// `mine` tells this program's jantor from any other (see FindProcess).
void Begin(Seen* seen, const std::string& mine) {
  pid_t pid = hostile::FindProcess(mine);
  if (pid > 0) seen->hwm_before_kb = hostile::StatusKb(pid, "VmHWM");
}

void Note(Seen* seen, const std::string& mine, long long since_ms) {
  seen->held_ms = NowMs() - since_ms;
  pid_t pid = hostile::FindProcess(mine);
  if (pid > 0) seen->jantor_hwm_kb = hostile::StatusKb(pid, "VmHWM");
}

// Waits until jantor closes its end (or limit_ms pass); true when it did.
bool AwaitClose(int fd, int limit_ms) {
  long long start = NowMs();
  char buffer[4096];
  while (NowMs() - start < limit_ms) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, 200) <= 0) continue;
    if (recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

class HostileServers : public testing::Test {
 protected:
  void SetUp() override {
    db_ = testsupport::MakeDbForCurrentTest("sqlite");
    testsupport::CreateScheduleTable(db_);
  }

  // Entries are due in the order they are added (i_next one second apart),
  // so the cycle meets them in that order.
  void AddEntry(int id, int port, const std::string& object) {
    std::string next = LocalTimestamp(-1000 + id);
    ASSERT_TRUE(Exec(db_,
                     "insert into schedule_2 (id, i_port, i_object, i_host, i_timeout, "
                     "i_interval, i_next, i_start, i_stop) values (" +
                         std::to_string(id) + ", " + std::to_string(port) + ", '" + object +
                         "', '127.0.0.1', 30, 3600, '" + next + "', 0, 1)"));
    stored_[id] = next;
  }

  testsupport::TestDb db_;
  std::map<int, std::string> stored_;
};

TEST_F(HostileServers, OneCycleMeetsEveryKindAndMovesOnWithinItsBound) {
  const std::string dsn = db_.dsn;
  const std::string mine = testsupport::OdbcEnv()[0];
  Seen reset, silent, drip, flood, binary, header, early, good;

  // 2: a reply cut off by a reset.
  LoopbackPeer reset_peer([&](int fd) {
    Begin(&reset, mine);
    ReadUntil(fd, "\r\n\r\n");
    long long start = NowMs();
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\npartial-reply");
    usleep(300 * 1000);
    Note(&reset, mine, start);
    hostile::ResetOnClose(fd);
  });
  // 3: accepts, reads the request, and then says nothing and keeps the
  // connection open until jantor gives up on it.
  LoopbackPeer silent_peer([&](int fd) {
    Begin(&silent, mine);
    ReadUntil(fd, "\r\n\r\n");
    long long start = NowMs();
    AwaitClose(fd, (kSilenceLimitS + 30) * 1000);
    Note(&silent, mine, start);
  });
  // 4: one byte a second, then the end.
  LoopbackPeer drip_peer([&](int fd) {
    Begin(&drip, mine);
    ReadUntil(fd, "\r\n\r\n");
    long long start = NowMs();
    SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
    for (char c : std::string("drip!")) {
      sleep(1);
      if (!SendAll(fd, std::string(1, c))) break;
    }
    Note(&drip, mine, start);
  });
  // 5: a flood that stops only when jantor hangs up (or at its own bound).
  LoopbackPeer flood_peer([&](int fd) {
    Begin(&flood, mine);
    ReadUntil(fd, "\r\n\r\n");
    long long start = NowMs();
    std::string chunk = "HTTP/1.0 200 OK\r\n\r\n" + std::string(65536 - 19, 'f');
    while (flood.sent < kFloodMost && SendAll(fd, chunk)) {
      flood.sent += static_cast<long long>(chunk.size());
      chunk.assign(65536, 'f');
    }
    Note(&flood, mine, start);
  });
  // 6: NUL bytes and invalid UTF-8 in the header and the body.
  LoopbackPeer binary_peer([&](int fd) {
    Begin(&binary, mine);
    ReadUntil(fd, "\r\n\r\n");
    long long start = NowMs();
    static const char kBytes[] =
        "HTTP/1.0 200 OK\r\nX-Bytes: \xff\xfe\xc3\x28\r\n\r\nbefore\xed\xa0\x80-nul\0after-nul";
    SendAll(fd, std::string(kBytes, sizeof kBytes - 1));
    Note(&binary, mine, start);
  });
  // 7: a header of 4 MiB that never reaches an empty line.
  LoopbackPeer header_peer([&](int fd) {
    Begin(&header, mine);
    ReadUntil(fd, "\r\n\r\n");
    long long start = NowMs();
    std::string line = "X-Fill: " + std::string(1014, 'h') + "\r\n";
    SendAll(fd, "HTTP/1.0 200 OK\r\n");
    for (int i = 0; i < 4096 && SendAll(fd, line); ++i) header.sent += 1024;
    SendAll(fd, "X-Last: no empty line follows");
    Note(&header, mine, start);
  });
  // 8: hangs up before the request, with a reset.
  LoopbackPeer early_peer([&](int fd) {
    Begin(&early, mine);
    Note(&early, mine, NowMs());
    hostile::ResetOnClose(fd);
  });
  // 9: a good server after all of them.
  LoopbackPeer good_peer([&](int fd) {
    Begin(&good, mine);
    long long start = NowMs();
    good_peer.Record(ReadUntil(fd, "\r\n\r\n"));
    SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nstill here");
    Note(&good, mine, start);
  });

  AddEntry(1, testsupport::UnusedPort(), "/refused");
  AddEntry(2, reset_peer.port(), "/reset");
  AddEntry(3, silent_peer.port(), "/silent");
  AddEntry(4, drip_peer.port(), "/drip");
  AddEntry(5, flood_peer.port(), "/flood");
  AddEntry(6, binary_peer.port(), "/binary");
  AddEntry(7, header_peer.port(), "/header");
  AddEntry(8, early_peer.port(), "/early");
  AddEntry(9, good_peer.port(), "/good");
  AddEntry(10, testsupport::NginxPort(), "/hello.txt?" + dsn);

  std::vector<std::string> args = db_.Args();
  args.insert(args.end(), {"-i", "4", "-r", "1", "-v"});
  long long start = NowMs();
  auto r = testsupport::RunJantor(args, testsupport::OdbcEnv(), 240000);
  long long took_ms = NowMs() - start;
  ASSERT_EQ(r.status, 0) << r.err << r.out.substr(0, 4000);
  ASSERT_EQ(CountOf(r.out, "Hitting - "), 10);

  // Each case in turn: what jantor made of it.
  std::string refused = HitSection(r.out, "/refused");
  EXPECT_NE(refused.find("Could not connect to httphost1\r\n\r\n***** Setting Error 1900"),
            std::string::npos)
      << refused;
  EXPECT_NE(refused.find("(Hit Failed)"), std::string::npos);

  // The bytes before the reset are the reply.
  std::string reset_out = HitSection(r.out, "/reset");
  EXPECT_NE(reset_out.find("(Successful)\r\nServer said - HTTP/1.0 200 OK\r\nContent-Length: "
                           "100000\r\n\r\npartial-reply\r\n"),
            std::string::npos)
      << reset_out;

  // Silence ends the reply after the limit; what came (nothing) is the reply.
  EXPECT_GE(silent.held_ms, (kSilenceLimitS - 1) * 1000LL);
  EXPECT_LE(silent.held_ms, (kSilenceLimitS + 15) * 1000LL);
  EXPECT_NE(HitSection(r.out, "/silent").find("(Successful)\r\nServer said - \r\n"),
            std::string::npos);

  // A drip is read to its end: every byte restarts the silence limit.
  EXPECT_NE(HitSection(r.out, "/drip").find("Server said - HTTP/1.0 200 OK\r\n\r\ndrip!\r\n"),
            std::string::npos);
  EXPECT_LT(drip.held_ms, 15000);

  // The flood is cut at the reply limit and jantor hangs up: the peer got
  // rid of no more than that and what the two socket buffers hold.
  EXPECT_LT(flood.sent, kFloodMost);
  EXPECT_GE(flood.sent, kReplyLimit);
  EXPECT_LE(flood.sent, kReplyLimit + 16 * 1024 * 1024);
  std::string flood_out = HitSection(r.out, "/flood");
  size_t said = flood_out.find("Server said - ");
  ASSERT_NE(said, std::string::npos);
  size_t reply_end = flood_out.find("\r\n", said + 40);
  EXPECT_EQ(reply_end - said - 14, static_cast<size_t>(kReplyLimit));

  // NUL ends the printed reply; other bytes pass as they are.
  EXPECT_NE(HitSection(r.out, "/binary")
                .find("(Successful)\r\nServer said - HTTP/1.0 200 OK\r\nX-Bytes: "
                      "\xff\xfe\xc3\x28\r\n\r\nbefore\xed\xa0\x80-nul\r\n"),
            std::string::npos);
  EXPECT_EQ(r.out.find("after-nul"), std::string::npos);

  // Without an empty line all of it is header and the body is empty.
  EXPECT_EQ(header.sent, 4096 * 1024);
  std::string header_out = HitSection(r.out, "/header");
  EXPECT_NE(header_out.find("X-Last: no empty line follows\r\nbod=\r\n"), std::string::npos);
  EXPECT_NE(header_out.find("(Successful)"), std::string::npos);

  // A hang-up before the request: the send or the read fails, at once.
  std::string early_out = HitSection(r.out, "/early");
  EXPECT_TRUE(early_out.find("(Hit Failed)") != std::string::npos ||
              early_out.find("(Successful)\r\nServer said - \r\n") != std::string::npos)
      << early_out;

  // The entries after all of that are still hit.
  ASSERT_EQ(good_peer.records().size(), 1u);
  EXPECT_EQ(good_peer.records()[0], "GET /good HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_NE(HitSection(r.out, "/good").find("still here"), std::string::npos);
  EXPECT_NE(
      HitSection(r.out, "/hello.txt?" + dsn).find("(Successful)\r\nServer said - HTTP/1.1 200 OK"),
      std::string::npos);

  // The whole cycle costs the silence limit plus the drip and the reading,
  // not more: no other case waited.
  EXPECT_LT(took_ms, (kSilenceLimitS + 60) * 1000LL);

  // Memory: the peak stays far below what holding the flood (64 MiB, twice
  // over while it is copied) would take.
  EXPECT_GT(good.jantor_hwm_kb, 0);
  EXPECT_LT(good.jantor_hwm_kb, 200 * 1024);

  // Every entry moved on by its interval, the failed ones too.
  for (auto& row : Query(db_, "select id, i_next from schedule_2")) {
    int id = std::stoi(row[0]);
    EXPECT_EQ(ParseLocal(row[1]), ParseLocal(stored_[id]) + 3600) << "entry " << id;
  }

  // The numbers behind the README's table.
  printf("case     held_ms  sent_bytes  peak_before_kB  peak_after_kB  outcome\n");
  for (auto [name, seen] : std::map<std::string, Seen*>{{"reset", &reset},
                                                        {"silent", &silent},
                                                        {"drip", &drip},
                                                        {"flood", &flood},
                                                        {"binary", &binary},
                                                        {"header", &header},
                                                        {"early", &early},
                                                        {"good", &good}}) {
    std::string section = HitSection(r.out, "/" + name);
    const char* outcome = section.find("(Successful)") != std::string::npos   ? "Successful"
                          : section.find("(Hit Failed)") != std::string::npos ? "Hit Failed"
                                                                              : "?";
    printf("%-8s %7lld  %10lld  %14ld  %13ld  %s\n", name.c_str(), seen->held_ms.load(),
           seen->sent.load(), seen->hwm_before_kb.load(), seen->jantor_hwm_kb.load(), outcome);
  }
  printf("whole run: %lld ms\n", took_ms);
}

}  // namespace
