// A scripted TCP peer on loopback for the network tests. It listens on a
// free port of 127.0.0.1 (or on the address and port given), accepts
// connections one after the other on its own thread and runs the test's
// script on each accepted descriptor, then closes it. The script decides
// what the peer says and when; the helpers below cover the usual moves.
// The destructor stops the thread, so no peer outlives a test.
#ifndef JANTOR_TESTS_SUPPORT_LOOPBACK_PEER_H_
#define JANTOR_TESTS_SUPPORT_LOOPBACK_PEER_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

class LoopbackPeer {
 public:
  using Script = std::function<void(int fd)>;

  // Serves up to max_connections connections, each with the script. address
  // is a dotted IPv4 address (another 127.x.y.z serves tests that must not
  // meet whatever else listens on 127.0.0.1); port 0 takes a free one.
  explicit LoopbackPeer(Script script, int max_connections = 1, const char* address = "127.0.0.1",
                        int port = 0);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int port() const { return port_; }
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }
  // Waits (up to timeout_ms) until n scripts have finished.
  bool WaitServed(int n, int timeout_ms = 10000) const;
  // What a script recorded with Record(); in order of the connections.
  std::vector<std::string> records() const;
  void Record(std::string bytes);

 private:
  void Serve(Script script, int max_connections);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<int> served_{0};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
  std::thread thread_;
};

// Reads until the peer closes, the marker has been seen, or timeout_ms pass
// without a byte; returns what was read.
std::string ReadUntil(int fd, std::string_view marker, int timeout_ms = 5000);
// Reads until the peer closes or timeout_ms pass without a byte.
std::string ReadToClose(int fd, int timeout_ms = 5000);
// Sends all bytes; false when the peer is gone.
bool SendAll(int fd, std::string_view bytes);
// A port on 127.0.0.1 on which nothing listens (bound, then released).
int UnusedPort();
// Open descriptors of this process, for leak checks.
int OpenDescriptorCount();

}  // namespace testsupport

#endif  // JANTOR_TESTS_SUPPORT_LOOPBACK_PEER_H_
