// Small helpers shared by the fuzz targets: splitting an input into
// NUL-separated texts, and a check that stops the run with a message when a
// property of the code under test does not hold (libFuzzer keeps the input).
#ifndef JANTOR_FUZZ_FUZZ_UTIL_H_
#define JANTOR_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                         \
    }                                                                                  \
  } while (0)

namespace fuzz {

// The input cut at its NUL bytes into at most `count` texts; the last one
// keeps whatever follows (its own NULs end it as a C text). Missing texts
// are empty.
inline std::vector<std::string> Fields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields(count);
  size_t field = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0' && field + 1 < count) {
      ++field;
      continue;
    }
    fields[field].push_back(static_cast<char>(data[i]));
  }
  return fields;
}

// The input as one C text: the bytes up to its first NUL.
inline std::string Text(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  return text.substr(0, text.find('\0'));
}

}  // namespace fuzz

#endif  // JANTOR_FUZZ_FUZZ_UTIL_H_
