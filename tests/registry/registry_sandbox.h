// A private, empty registry root for every registry test. The registry's root
// is fixed at /usr/vornis/registry, so the test process first moves into a
// mount namespace of its own and then mounts a fresh tmpfs on /usr/vornis
// for each test; the machine's /usr is never changed. Where /usr/vornis does
// not exist, /usr is overlaid inside the namespace with a writable layer that
// holds the mount point. Needs root (CAP_SYS_ADMIN).
#ifndef JANTOR_TESTS_REGISTRY_REGISTRY_SANDBOX_H_
#define JANTOR_TESTS_REGISTRY_REGISTRY_SANDBOX_H_

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "registry/reg.h"

namespace regtest {

inline const std::string kVornis = "/usr/vornis";
inline const std::string kRoot = "/usr/vornis/registry";
inline const std::string kMachine = kRoot + "/hkey_local_machine";
inline const char* const kHives[] = {
    "hkey_classes_root",     "hkey_current_user",   "hkey_local_machine", "hkey_users",
    "hkey_performance_data", "hkey_current_config", "hkey_dyn_data",
};

inline std::string Failed(const char* what) { return std::string(what) + ": " + strerror(errno); }

inline bool IsDir(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

inline bool IsFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

inline bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Enters the namespace once per process; later calls report the first result.
inline std::string EnterPrivateNamespace() {
  static std::string error = [] {
    if (unshare(CLONE_NEWNS) != 0) return Failed("unshare(CLONE_NEWNS) (run the tests as root)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return Failed("making / private");
    }
    if (IsDir(kVornis)) return std::string();
    // The scratch tmpfs over /tmp exists only inside this namespace; it holds
    // the overlay's writable layer, in which /usr/vornis is made.
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return Failed("tmpfs on /tmp");
    if (mkdir("/tmp/usr-upper", 0755) != 0 || mkdir("/tmp/usr-work", 0755) != 0) {
      return Failed("overlay layers");
    }
    if (mount("overlay", "/usr", "overlay", 0,
              "lowerdir=/usr,upperdir=/tmp/usr-upper,workdir=/tmp/usr-work") != 0) {
      return Failed("overlay on /usr");
    }
    if (mkdir(kVornis.c_str(), 0755) != 0) return Failed("mkdir /usr/vornis in the overlay");
    return std::string();
  }();
  return error;
}

// Replaces whatever the previous test left with an empty root holding the
// seven hive directories.
inline std::string FreshRegistryRoot() {
  static bool mounted = false;
  std::string error = EnterPrivateNamespace();
  if (!error.empty()) return error;
  if (mounted && umount2(kVornis.c_str(), MNT_DETACH) != 0) return Failed("umount /usr/vornis");
  if (mount("tmpfs", kVornis.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    return Failed("tmpfs on /usr/vornis");
  }
  mounted = true;
  if (mkdir(kRoot.c_str(), 0755) != 0) return Failed("mkdir registry root");
  for (const char* hive : kHives) {
    if (mkdir((kRoot + "/" + hive).c_str(), 0755) != 0) return Failed("mkdir hive");
  }
  return std::string();
}

// Collects standard output between construction and Take().
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    testing::internal::CaptureStdout();
  }
  ~StdoutCapture() {
    if (!taken_) Take();
  }
  std::string Take() {
    taken_ = true;
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error = FreshRegistryRoot();
    ASSERT_TRUE(error.empty()) << error;
  }
  void TearDown() override { RegCleanup(); }
};

}  // namespace regtest

#endif  // JANTOR_TESTS_REGISTRY_REGISTRY_SANDBOX_H_
