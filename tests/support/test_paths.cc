#include "support/test_paths.h"

#include <cstdlib>

namespace testsupport {

namespace {

const char* FromEnvironment(const char* name, const char* built) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0' ? value : built;
}

}  // namespace

const char* TestedProgram() { return FromEnvironment("JANTOR_TEST_BIN", JANTOR_BUILT_BIN); }

const char* TestWork() { return FromEnvironment("JANTOR_TEST_WORK", JANTOR_BUILT_TEST_WORK); }

}  // namespace testsupport
