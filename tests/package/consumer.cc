// A program of a library user: built against the installed headers and
// library through pkg-config, it encodes credentials as a hit would.
#include <cstring>

#include "base/ll_cpapi.h"
#include "http/ed_b64.h"

int main() {
  char* text = Base64("alice:secret", 12, 0);
  if (text == nullptr) return 1;
  int same = std::strcmp(text, "YWxpY2U6c2VjcmV0") == 0;
  firee(text);
  return same ? 0 : 1;
}
