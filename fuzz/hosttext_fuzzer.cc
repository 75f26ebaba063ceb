// ParseHostText on any text stays inside it and its record, and what it
// accepts is consistent: a refusal leaves the record empty with a reason, a
// parsed record holds a valid name or IPv6 literal and a port in range, and
// the text rebuilt from a parsed record parses to the same record.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.h"
#include "http/ll_hosttext.h"

namespace {

bool Terminated(const char *field, size_t size) { return strnlen(field, size) < size; }

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool Same(const HostText &a, const HostText &b) {
  return a.tls == b.tls && a.ipv6 == b.ipv6 && strcmp(a.name, b.name) == 0 &&
         strcmp(a.port, b.port) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An exact-size copy: a read past the terminator is caught.
  std::string text = fuzz::Text(data, size);
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  memcpy(exact.get(), text.c_str(), text.size() + 1);

  HostText host;
  const char *why = "unset";
  int kind = ParseHostText(exact.get(), &host, &why);
  FUZZ_CHECK(Terminated(host.name, sizeof host.name));
  FUZZ_CHECK(Terminated(host.port, sizeof host.port));
  char header[kHostTextNameSize];
  FUZZ_CHECK(HostTextHeaderValue(&host, header, sizeof header) == 1);

  switch (kind) {
    case kHostTextPlain:
      FUZZ_CHECK(why == nullptr);
      FUZZ_CHECK(text.find(':') == std::string::npos);
      FUZZ_CHECK(host.tls == 0 && host.ipv6 == 0 && host.port[0] == '\0');
      FUZZ_CHECK(text.size() >= sizeof host.name ? host.name[0] == '\0' : text == host.name);
      FUZZ_CHECK(text.size() >= sizeof host.name || text == header);
      break;
    case kHostTextBad:
      FUZZ_CHECK(why != nullptr && why[0] != '\0');
      FUZZ_CHECK(host.tls == 0 && host.ipv6 == 0);
      FUZZ_CHECK(host.name[0] == '\0' && host.port[0] == '\0');
      break;
    case kHostTextParsed: {
      FUZZ_CHECK(why == nullptr);
      size_t name_size = strlen(host.name);
      FUZZ_CHECK(name_size > 0 && name_size <= kHostTextNameMax);
      if (host.ipv6) {
        in6_addr address;
        FUZZ_CHECK(inet_pton(AF_INET6, host.name, &address) == 1);
        FUZZ_CHECK(std::string("[") + host.name + "]" == header);
      } else {
        for (size_t i = 0; i < name_size; ++i) FUZZ_CHECK(IsNameChar(host.name[i]));
        FUZZ_CHECK(strcmp(host.name, header) == 0);
      }
      if (host.port[0] != '\0') {
        FUZZ_CHECK(host.port[0] != '0');
        char *end = nullptr;
        long port = strtol(host.port, &end, 10);
        FUZZ_CHECK(*end == '\0' && port >= 1 && port <= 65535);
      }
      // The record written back as a text means the same record.
      std::string again = host.tls ? "https://" : "http://";
      again += host.ipv6 ? std::string("[") + host.name + "]" : std::string(host.name);
      if (host.port[0] != '\0') again += std::string(":") + host.port;
      HostText reparsed;
      FUZZ_CHECK(ParseHostText(again.c_str(), &reparsed, nullptr) == kHostTextParsed);
      FUZZ_CHECK(Same(host, reparsed));
      break;
    }
    default:
      FUZZ_CHECK(!"an unknown kind");
  }
  return 0;
}
