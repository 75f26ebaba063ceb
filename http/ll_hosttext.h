// The host text of a schedule entry: a plain host name or dotted address,
// used as it is written, or an URL-like "scheme://host:port" with an
// optional TLS scheme, a bracketed IPv6 literal and a port of its own.
// ParseHostText splits such a text into a HostText record the caller owns;
// nothing is allocated and nothing is printed. Every function here is pure,
// so any number of threads may call them at once.
#ifndef JANTOR_HTTP_LL_HOSTTEXT_H_
#define JANTOR_HTTP_LL_HOSTTEXT_H_

#include <cstddef>

enum : int {
  kHostTextNameSize = 256,  // room of HostText::name, NUL included
  kHostTextPortSize = 6,    // room of HostText::port, NUL included
  kHostTextNameMax = 253,   // longest host name accepted (the DNS limit)
};

struct HostText {
  int tls;                       // 1 for "https://", else 0
  int ipv6;                      // 1 when name is an IPv6 literal
  char name[kHostTextNameSize];  // host name or address: no scheme, brackets or port
  char port[kHostTextPortSize];  // the port in decimal without leading zeros, "" when none
};

enum HostTextKind : int {
  kHostTextPlain,   // no scheme and no colon: use the text exactly as it is
  kHostTextParsed,  // *out holds the parts
  kHostTextBad,     // refused; *why says why
};

// Reads text into *out and returns its kind.
// - A text without any ':' is plain: it is not checked at all, out->name
//   holds a copy when it fits (else ""), and the caller keeps using the
//   original bytes, whatever they are.
// - Otherwise it is "[http://|https://]host[:port][/]" (scheme in any case),
//   where host is a name of letters, digits, '-', '.' and '_' (at most 253),
//   or an IPv6 literal in brackets. A text with two or more colons and no
//   brackets is a bare IPv6 literal with no port.
// - kHostTextBad sets *why to a short static reason ("no host name", "host
//   name too long", "bad port", "unsupported scheme", "junk after the host
//   name", "bad IPv6 address"); out is then all empty.
// For any other result *why is set to null. A null text counts as "".
// REQUIRES: out is not null; why may be null.
int ParseHostText(const char *text, HostText *out, const char **why);

// Writes the value of the Host header for host into buffer: the name, in
// brackets when it is an IPv6 literal, never a port. Returns 1, or 0 with
// buffer "" (when size > 0) if it does not fit. kHostTextNameSize bytes
// always suffice for a record that ParseHostText filled.
int HostTextHeaderValue(const HostText *host, char *buffer, size_t size);

#endif  // JANTOR_HTTP_LL_HOSTTEXT_H_
