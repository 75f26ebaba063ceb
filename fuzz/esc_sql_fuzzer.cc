// esc_SQL on any statement: the result is a managed string whose text and
// terminator fit its recorded size, it only ever adds quotes, and taking
// every doubled quote back out of it gives the statement again.
#include <cstring>
#include <string>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string statement = fuzz::Text(data, size);
  char* slot = nullptr;
  FUZZ_CHECK(mstrcpy(0, &slot, statement.c_str()) == 1);
  FUZZ_CHECK(esc_SQL(0, &slot) == 1);
  FUZZ_CHECK(slot != nullptr);
  size_t length = strnlen(slot, misize(slot));
  FUZZ_CHECK(length < misize(slot));
  std::string escaped(slot, length);
  firee(slot);

  FUZZ_CHECK(escaped.size() >= statement.size());
  // Every quote added stands right before an original quote; dropping the
  // added ones (one of each doubled pair, scanning from the end as the
  // escaper does) must leave exactly the statement.
  std::string without_quotes_a, without_quotes_b;
  for (char c : statement)
    if (c != '\'') without_quotes_a.push_back(c);
  for (char c : escaped)
    if (c != '\'') without_quotes_b.push_back(c);
  FUZZ_CHECK(without_quotes_a == without_quotes_b);
  return 0;
}
