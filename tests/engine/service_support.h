// Helpers of the service tests: a notification socket of the test's own in
// place of systemd's, a web server that answers every request after a
// second, many at once, and a client of the metrics endpoint. Header-only,
// used by the engine test programs.
#ifndef JANTOR_TESTS_ENGINE_SERVICE_SUPPORT_H_
#define JANTOR_TESTS_ENGINE_SERVICE_SUPPORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/hostile_support.h"
#include "support/loopback_peer.h"
#include "support/odbc_db.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace servicetest {

using hostile::NowMs;

// A datagram socket of the test's own as systemd's notification socket.
class NotifySocket {
 public:
  NotifySocket() {
    path_ = std::string(JANTOR_TEST_WORK) + "/notify-" + std::to_string(getpid()) + "-" +
            std::to_string(counter_++);
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval tick{0, 100 * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    reader_ = std::thread([this] {
      char message[4096];
      while (!stop_) {
        ssize_t n = recv(fd_, message, sizeof message, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({NowMs(), std::string(message, static_cast<size_t>(n))});
      }
    });
  }
  ~NotifySocket() {
    stop_ = true;
    reader_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  struct Message {
    long long at_ms;
    std::string text;
  };
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // Waits (up to limit_ms) for a message that begins with prefix.
  bool Await(const std::string& prefix, int limit_ms) {
    for (int waited = 0; waited < limit_ms; waited += 50) {
      for (auto& m : messages())
        if (m.text.rfind(prefix, 0) == 0) return true;
      usleep(50 * 1000);
    }
    return false;
  }

 private:
  static inline int counter_ = 0;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Message> messages_;
  std::thread reader_;
};

// A server that answers each request after delay_ms (or what delay says
// for that request line), many at once, with a 200 (or what reply says for
// that line), and records what was asked.
class SlowServer {
 public:
  using Delay = std::function<int(const std::string& request_line)>;
  using Reply = std::function<std::string(const std::string& request_line)>;
  explicit SlowServer(int delay_ms = 1000)
      : SlowServer([delay_ms](const std::string&) { return delay_ms; }) {}
  explicit SlowServer(Delay delay, Reply reply = [](const std::string&) {
    return std::string("HTTP/1.0 200 OK\r\n\r\nslow");
  }) : delay_(std::move(delay)), reply_(std::move(reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 128);
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        answerers_.emplace_back([this, fd] {
          std::string request = testsupport::ReadUntil(fd, "\r\n\r\n", 3000);
          std::string line = request.substr(0, request.find(" HTTP/1.0"));
          {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(line);
          }
          usleep(static_cast<useconds_t>(delay_(line)) * 1000);
          testsupport::SendAll(fd, reply_(line));
          close(fd);
        });
      }
    });
  }
  ~SlowServer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    acceptor_.join();
    for (auto& t : answerers_) t.join();
  }
  int port() const { return port_; }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  Delay delay_;
  Reply reply_;
  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::thread> answerers_;
  std::thread acceptor_;
};

// A connection to the metrics endpoint on loopback port port.
inline int Connect(int port, bool blocking = true) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && blocking) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends request and returns the whole answer.
inline std::string Ask(int port, const std::string& request) {
  int fd = Connect(port);
  if (fd < 0) return "";
  testsupport::SendAll(fd, request);
  std::string answer = testsupport::ReadToClose(fd, 5000);
  close(fd);
  return answer;
}

inline std::string Scrape(int port) {
  std::string answer = Ask(port, "GET /metrics HTTP/1.1\r\nHost: jantor\r\n\r\n");
  size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The value of one series in an exposition; -1 when it is not there.
inline double Series(const std::string& exposition, const std::string& series) {
  size_t at = exposition.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stod(exposition.substr(at + series.size() + 2));
}

// Scrapes the endpoint on port until it has counted a cycle (up to ten
// seconds) and returns that scrape ("" when none came).
inline std::string AwaitFirstCycle(int port) {
  std::string metrics;
  for (int i = 0; i < 200 && Series(metrics, "jantor_cycles_total") < 1; ++i) {
    usleep(50 * 1000);
    metrics = Scrape(port);
  }
  return metrics;
}

// A jantor of the test's own that serves -m on a free port, running in the
// background from its construction, once its first cycle has ended, until
// Stop sends it a SIGTERM (as a service manager stops it); its environment
// holds a tag that tells it from every other process.
class ServingDaemon {
 public:
  ServingDaemon(std::vector<std::string> args, const std::string& name, int timeout_ms = 90000)
      : port_(testsupport::UnusedPort()),
        tag_("JANTOR_DAEMON=" + name + "-" + std::to_string(port_)) {
    args.insert(args.end(), {"-m", std::to_string(port_)});
    std::vector<std::string> env = testsupport::OdbcEnv();
    env.push_back(tag_);
    thread_ = std::thread(
        [this, args, env, timeout_ms] { result_ = testsupport::RunJantor(args, env, timeout_ms); });
    first_scrape_ = AwaitFirstCycle(port_);
  }
  ~ServingDaemon() { Stop(); }
  ServingDaemon(const ServingDaemon&) = delete;
  ServingDaemon& operator=(const ServingDaemon&) = delete;

  int port() const { return port_; }
  const std::string& first_scrape() const { return first_scrape_; }
  // Stops it, once, and says how it ended.
  const testsupport::RunResult& Stop() {
    if (thread_.joinable()) {
      pid_t pid = hostile::FindProcess(tag_);
      if (pid > 0) kill(pid, SIGTERM);
      thread_.join();
    }
    return result_;
  }

 private:
  int port_;
  std::string tag_;
  std::string first_scrape_;
  testsupport::RunResult result_;
  std::thread thread_;
};

}  // namespace servicetest

#endif  // JANTOR_TESTS_ENGINE_SERVICE_SUPPORT_H_
