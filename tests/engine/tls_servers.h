// The TLS web servers of nginx_tls.sh for the engine tests that need them:
// one nginx a test program, started before its first test and stopped after
// its last, in the program's own network. A program registers it with
//   const testing::Environment* const kServers =
//       testing::AddGlobalTestEnvironment(new TlsServers);
#ifndef JANTOR_TESTS_ENGINE_TLS_SERVERS_H_
#define JANTOR_TESTS_ENGINE_TLS_SERVERS_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/process.h"
#include "support/test_paths.h"

// nginx_tls.sh's servers (valid, expired, wrongname, untrusted, plain), one
// nginx for the whole program, in the program's own network.
class TlsServers : public testing::Environment {
 public:
  static std::string dir() {
    return std::string(JANTOR_TEST_WORK) + "/nginx-tls-" + std::to_string(getpid());
  }
  static int Port(const std::string& kind) {
    return std::atoi(testsupport::ReadFile(dir() + "/port_" + kind).c_str());
  }
  static std::string AccessLog() { return testsupport::ReadFile(dir() + "/access.log"); }
  void SetUp() override {
    ASSERT_EQ(testsupport::Shell(Script("start") + " >/dev/null"), 0) << "nginx_tls.sh start";
  }
  void TearDown() override { testsupport::Shell(Script("stop")); }

 private:
  static std::string Script(const std::string& command) {
    return "NGINX_TLS_OWNER=" + std::to_string(getpid()) + " " + JANTOR_SUPPORT_DIR +
           "/nginx_tls.sh " + command + " '" + dir() + "'";
  }
};

#endif  // JANTOR_TESTS_ENGINE_TLS_SERVERS_H_
