#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

int ListenOnLoopback(int* port, const char* address = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(*port));
  if (inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
    close(fd);
    throw std::runtime_error("address");
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen");
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

LoopbackPeer::LoopbackPeer(Script script, int max_connections, const char* address, int port) {
  port_ = port;
  listener_ = ListenOnLoopback(&port_, address);
  thread_ = std::thread(
      [this, script = std::move(script), max_connections] { Serve(script, max_connections); });
}

LoopbackPeer::~LoopbackPeer() {
  stopping_ = true;
  thread_.join();
  close(listener_);
}

void LoopbackPeer::Serve(Script script, int max_connections) {
  for (int served = 0; served < max_connections && !stopping_;) {
    pollfd pfd{listener_, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    script(fd);
    close(fd);
    ++served;
    ++served_;
  }
}

bool LoopbackPeer::WaitServed(int n, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (served_.load() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<std::string> LoopbackPeer::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void LoopbackPeer::Record(std::string bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(std::move(bytes));
}

std::string ReadUntil(int fd, std::string_view marker, int timeout_ms) {
  std::string got;
  char buf[4096];
  while (marker.empty() || got.find(marker) == std::string::npos) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string ReadToClose(int fd, int timeout_ms) { return ReadUntil(fd, "", timeout_ms); }

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int UnusedPort() {
  int port = 0;
  int fd = ListenOnLoopback(&port);
  close(fd);
  return port;
}

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    --count;  // the descriptor of the listing itself
  }
  return count;
}

}  // namespace testsupport
