// ReadHttpRequest on any bytes stays inside them and gives answers that
// agree with each other: a complete head's method and target are the
// request line's own bytes and follow the character rules; a result other
// than kRequestIncomplete holds for every longer input, as the server relies
// on when it reads a request piece by piece; and an incomplete head ends,
// one way or another, once an empty line follows it.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "http/ll_serve.h"

namespace {

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool Terminated(const char* field, size_t size) { return strnlen(field, size) < size; }

bool SameHead(const HttpRequestHead& a, const HttpRequestHead& b) {
  return strcmp(a.method, b.method) == 0 && strcmp(a.target, b.target) == 0;
}

// Reads from an exact-size copy, so that a read past length is caught.
int Read(std::string_view bytes, HttpRequestHead* head) {
  std::unique_ptr<char[]> exact(new char[bytes.size()]);
  if (!bytes.empty()) memcpy(exact.get(), bytes.data(), bytes.size());
  return ReadHttpRequest(exact.get(), bytes.size(), head);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  HttpRequestHead head;
  memset(&head, 'x', sizeof head);
  int result = Read(bytes, &head);
  FUZZ_CHECK(Terminated(head.method, sizeof head.method));
  FUZZ_CHECK(Terminated(head.target, sizeof head.target));

  switch (result) {
    case kRequestComplete: {
      std::string_view method = head.method, target = head.target;
      FUZZ_CHECK(!method.empty());
      for (char c : method) FUZZ_CHECK(IsTokenChar(c));
      FUZZ_CHECK(!target.empty() && target[0] == '/');
      for (char c : target) FUZZ_CHECK(c > ' ' && c < 0x7f);
      std::string line = std::string(method) + " " + std::string(target) + " HTTP/1.";
      FUZZ_CHECK(bytes.substr(0, line.size()) == line);
      FUZZ_CHECK(bytes.find("\n\n") != std::string_view::npos ||
                 bytes.find("\n\r\n") != std::string_view::npos);
      break;
    }
    case kRequestIncomplete:
      FUZZ_CHECK(size < static_cast<size_t>(kMostRequestBytes));
      [[fallthrough]];
    case kRequestMalformed:
    case kRequestTooLarge:
      FUZZ_CHECK(head.method[0] == '\0' && head.target[0] == '\0');
      break;
    default:
      FUZZ_CHECK(!"an unknown result");
  }

  // A shorter input that was already decided is decided the same way.
  for (size_t cut : {size / 2, size > 0 ? size - 1 : 0}) {
    HttpRequestHead shorter;
    int early = Read(bytes.substr(0, cut), &shorter);
    if (early == kRequestIncomplete) continue;
    FUZZ_CHECK(early == result);
    if (result == kRequestComplete) FUZZ_CHECK(SameHead(shorter, head));
  }
  // An empty line after an unfinished head decides it.
  if (result == kRequestIncomplete) {
    HttpRequestHead ended;
    FUZZ_CHECK(Read(std::string(bytes) + "\n\n", &ended) != kRequestIncomplete);
  }
  return 0;
}
