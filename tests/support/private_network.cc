#include "support/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/process.h"
#include "support/test_paths.h"

namespace testsupport {

namespace {

bool WriteFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

bool BringLoopbackUp() {
  int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control < 0) return false;
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
  close(control);
  return up;
}

std::string NginxDir() {
  return std::string(JANTOR_TEST_WORK) + "/nginx-" + std::to_string(getpid());
}

void StopNginx() {
  Shell(std::string(JANTOR_SUPPORT_DIR) + "/nginx.sh stop '" + NginxDir() + "' >/dev/null");
}

}  // namespace

bool EnterPrivateNetwork() {
  static const bool entered = [] {
    if (unshare(CLONE_NEWNET) != 0) {
      // Not root: a user namespace of our own grants the right, mapping us
      // to root inside it.
      uid_t uid = getuid();
      gid_t gid = getgid();
      if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
      WriteFile("/proc/self/setgroups", "deny");
      WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
      WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    return BringLoopbackUp();
  }();
  return entered;
}

int NginxPort() {
  static const int port = [] {
    if (!EnterPrivateNetwork()) throw std::runtime_error("no private network for nginx");
    std::string dir = NginxDir();
    if (Shell(std::string(JANTOR_SUPPORT_DIR) + "/nginx.sh start '" + dir + "' >/dev/null") != 0)
      throw std::runtime_error("nginx did not start in " + dir);
    std::atexit(StopNginx);
    return std::stoi(ReadFile(dir + "/port"));
  }();
  return port;
}

std::string NginxRoot() {
  NginxPort();
  return NginxDir() + "/www";
}

std::string NginxAccessLog() {
  NginxPort();
  return ReadFile(NginxDir() + "/access.log");
}

}  // namespace testsupport
