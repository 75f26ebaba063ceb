#include "http/ll_hosttext.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "base/ll_ascii.h"

namespace {

// The longest text inet_pton can accept for AF_INET6, NUL included.
constexpr size_t kIpv6TextSize = INET6_ADDRSTRLEN;

// The characters of a host name; classed by hand (base/ll_ascii.h), so that
// no locale decides what a name may hold.
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '-' || c == '.' || c == '_'; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether the size bytes at text are word, ignoring ASCII case.
bool SameWord(const char *text, size_t size, const char *word) {
  if (strlen(word) != size) return false;
  for (size_t i = 0; i < size; ++i) {
    if (AsciiLower(text[i]) != word[i]) return false;
  }
  return true;
}

// What may follow the host (or its port): nothing, or one '/' that ends
// the text, because users paste URLs of a site's root.
bool OnlyRootAfter(const char *rest) { return rest[0] == '\0' || strcmp(rest, "/") == 0; }

// Checks the size bytes at text as an IPv6 literal and copies them to name.
bool TakeIpv6(const char *text, size_t size, HostText *out) {
  if (size == 0 || size >= kIpv6TextSize) return false;
  char address[kIpv6TextSize];
  memcpy(address, text, size);
  address[size] = '\0';
  in6_addr parsed;
  if (inet_pton(AF_INET6, address, &parsed) != 1) return false;
  memcpy(out->name, address, size + 1);
  out->ipv6 = 1;
  return true;
}

// Reads the digits of a port from text up to the end or a '/'; stores it in
// decimal without leading zeros. Returns the first byte after the digits,
// or null when they are not a port from 1 to 65535.
const char *TakePort(const char *text, HostText *out) {
  long value = 0;
  size_t digits = 0;
  for (; IsDigit(text[digits]); ++digits) {
    value = value * 10 + (text[digits] - '0');
    if (value > 65535) return nullptr;
  }
  if (digits == 0 || value == 0) return nullptr;
  if (text[digits] != '\0' && text[digits] != '/') return nullptr;
  // value <= 65535 so at most five digits are written.
  char *at = out->port + kHostTextPortSize - 1;
  *at = '\0';
  for (; value > 0; value /= 10) *--at = static_cast<char>('0' + value % 10);
  memmove(out->port, at, strlen(at) + 1);
  return text + digits;
}

// The part after the scheme: host, optional port, optional '/'.
const char *ParseAuthority(const char *text, HostText *out) {
  if (text[0] == '[') {
    const char *close = strchr(text, ']');
    if (close == nullptr) return "bad IPv6 address";
    if (close == text + 1) return "no host name";
    if (!TakeIpv6(text + 1, static_cast<size_t>(close - text - 1), out)) return "bad IPv6 address";
    const char *rest = close + 1;
    if (rest[0] == ':') {
      rest = TakePort(rest + 1, out);
      if (rest == nullptr) return "bad port";
    }
    return OnlyRootAfter(rest) ? nullptr : "junk after the host name";
  }

  const char *first_colon = strchr(text, ':');
  if (first_colon != nullptr && strchr(first_colon + 1, ':') != nullptr) {
    // Two colons or more cannot be a name and a port: an address as ifconfig
    // prints it, which can carry no port since its colons would be ambiguous.
    size_t size = strlen(text);
    if (size > 0 && text[size - 1] == '/') --size;
    return TakeIpv6(text, size, out) ? nullptr : "bad IPv6 address";
  }

  size_t size = 0;
  while (IsNameChar(text[size])) ++size;
  const char *rest = text + size;
  if (size == 0 && (rest[0] == '\0' || rest[0] == ':' || rest[0] == '/')) return "no host name";
  if (size > static_cast<size_t>(kHostTextNameMax)) return "host name too long";
  if (rest[0] == ':') {
    rest = TakePort(rest + 1, out);
    if (rest == nullptr) return "bad port";
  }
  if (!OnlyRootAfter(rest)) return "junk after the host name";
  memcpy(out->name, text, size);
  out->name[size] = '\0';
  return nullptr;
}

void Clear(HostText *out) {
  out->tls = 0;
  out->ipv6 = 0;
  out->name[0] = '\0';
  out->port[0] = '\0';
}

}  // namespace

int ParseHostText(const char *text, HostText *out, const char **why) {
  if (why != nullptr) *why = nullptr;
  Clear(out);
  if (text == nullptr) text = "";

  if (strchr(text, ':') == nullptr) {
    size_t size = strlen(text);
    if (size < sizeof out->name) memcpy(out->name, text, size + 1);
    return kHostTextPlain;
  }

  const char *authority = text;
  if (const char *separator = strstr(text, "://"); separator != nullptr) {
    size_t scheme_size = static_cast<size_t>(separator - text);
    if (SameWord(text, scheme_size, "https")) {
      out->tls = 1;
    } else if (!SameWord(text, scheme_size, "http")) {
      if (why != nullptr) *why = "unsupported scheme";
      return kHostTextBad;
    }
    authority = separator + 3;
  }

  const char *reason = ParseAuthority(authority, out);
  if (reason != nullptr) {
    Clear(out);
    if (why != nullptr) *why = reason;
    return kHostTextBad;
  }
  return kHostTextParsed;
}

int HostTextHeaderValue(const HostText *host, char *buffer, size_t size) {
  size_t name_size = strnlen(host->name, sizeof host->name);
  size_t brackets = host->ipv6 ? 2 : 0;
  if (name_size == sizeof host->name || name_size + brackets + 1 > size) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  char *at = buffer;
  if (host->ipv6) *at++ = '[';
  memcpy(at, host->name, name_size);
  at += name_size;
  if (host->ipv6) *at++ = ']';
  *at = '\0';
  return 1;
}
