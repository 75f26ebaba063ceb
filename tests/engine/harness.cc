// What every engine test program shares: it drives jantor from outside, in
// a network of its own, so that no hit reaches a server of the machine.
#include <gtest/gtest.h>

#include "support/private_network.h"

// unixODBC's driver manager leaks a little with every connection that the
// test programs open and close to set up tables, which would fail them at
// exit; jantor, run as a child, keeps its own leak checking (with the
// suppressions in support/lsan.supp).
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }

namespace {

// Entered during static initialisation, before gtest or any test starts a
// thread: a namespace can only be entered by a single-threaded process.
const bool kPrivateNetwork = testsupport::EnterPrivateNetwork();

class PrivateNetworkCheck : public testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(kPrivateNetwork) << "could not make a private network namespace for the tests";
  }
};

const testing::Environment* const kCheck =
    testing::AddGlobalTestEnvironment(new PrivateNetworkCheck);

}  // namespace
