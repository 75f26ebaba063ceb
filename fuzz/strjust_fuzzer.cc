// strjust with any source, width text, mode and pad: the result is always
// exactly the width (the source is cut or padded), fits the buffer's
// recorded size, and keeps the source's first characters in order.
// Input: source NUL width NUL mode NUL pad.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto fields = fuzz::Fields(data, size, 4);
  const std::string& source = fields[0];
  std::string width = fields[1].substr(0, fields[1].find('\0'));
  std::string mode = fields[2].substr(0, fields[2].find('\0'));
  std::string pad = fields[3].substr(0, fields[3].find('\0'));
  std::string src = source.substr(0, source.find('\0'));
  // Widths are taken as they are; only the size of what is asked for is
  // kept within what a fuzzing process may allocate.
  long long w = strtoll(width.c_str(), nullptr, 10);
  if (w > (1 << 20)) return -1;
  if (w < 0) w = 0;

  // Start from a slot that already holds text, as a caller reusing it would.
  char* slot = nullptr;
  FUZZ_CHECK(mstrcpy(0, &slot, "previous content") == 1);
  FUZZ_CHECK(strjust(0, src.c_str(), &slot, width.c_str(), mode.c_str(), pad.c_str()) == 1);
  size_t length = strnlen(slot, misize(slot));
  FUZZ_CHECK(length < misize(slot));
  std::string result(slot, length);
  firee(slot);

  // A NUL pad character ends the text where the padding starts.
  if (!pad.empty()) FUZZ_CHECK(result.size() == static_cast<size_t>(w));
  size_t kept = std::min(src.size(), static_cast<size_t>(w));
  FUZZ_CHECK(result.find(src.substr(0, kept)) != std::string::npos || pad.empty());
  return 0;
}
