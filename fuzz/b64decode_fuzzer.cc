// B64decode on any text must stay inside the text and its output buffer, and
// decoding what Base64 made of the same bytes must give them back exactly.
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "fuzz/fuzz_util.h"
#include "http/ed_b64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as text: arbitrary, malformed Base64.
  std::string text = fuzz::Text(data, size);
  char* bytes = nullptr;
  int length = -1;
  FUZZ_CHECK(B64decode(0, text.c_str(), &bytes, &length) == 1);
  FUZZ_CHECK(bytes != nullptr);
  FUZZ_CHECK(length >= 0 && static_cast<size_t>(length) <= text.size());
  FUZZ_CHECK(misize(bytes) == static_cast<unsigned>(length));
  firee(bytes);

  // The input as bytes: encode (with and without line breaks), decode back.
  int size_int = static_cast<int>(size);
  for (int breaks = 0; breaks <= 1; ++breaks) {
    char* encoded = Base64(reinterpret_cast<const char*>(data), size_int, breaks);
    FUZZ_CHECK(encoded != nullptr);
    if (!breaks) FUZZ_CHECK(strlen(encoded) == (size + 2) / 3 * 4);
    FUZZ_CHECK(B64decode(0, encoded, &bytes, &length) == 1);
    FUZZ_CHECK(length == size_int);
    FUZZ_CHECK(size == 0 || memcmp(bytes, data, size) == 0);
    firee(bytes);
    firee(encoded);
  }
  return 0;
}
