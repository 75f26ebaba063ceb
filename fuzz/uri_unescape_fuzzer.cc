// uri_unescape rewrites its text in place: whatever the text, it never
// writes past the terminator, never makes the text longer, and leaves text
// without a "%" exactly as it was.
#include <cstring>
#include <string>
#include <vector>

#include "base/ll_string.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz::Text(data, size);
  // An exact-size heap copy, so AddressSanitizer sees a write one past it.
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  FUZZ_CHECK(uri_unescape(buffer.data()) == 1);
  size_t length = strnlen(buffer.data(), buffer.size());
  FUZZ_CHECK(length < buffer.size());
  FUZZ_CHECK(length <= text.size());
  if (text.find('%') == std::string::npos) FUZZ_CHECK(text == buffer.data());
  return 0;
}
