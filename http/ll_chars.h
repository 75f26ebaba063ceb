// The character classes of an HTTP/1.x head, in one place, so that the
// server's request reader (http/ll_serve.h), the target reader
// (http/ll_target.h) and the checks of a web call (http/ll_webcall.h) judge
// every byte by the same rules. Built on the ASCII classes of base/ll_ascii.h,
// whose IsBlank (space or tab) is also HTTP's optional white space around a
// header value. constexpr and stateless: any thread may use them.
#ifndef JANTOR_HTTP_LL_CHARS_H_
#define JANTOR_HTTP_LL_CHARS_H_

#include <string_view>

#include "base/ll_ascii.h"

// tchar: a character of a token, which a method and a header name are.
constexpr bool IsTokenChar(char c) {
  return IsDigit(c) || IsLetter(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// VCHAR: a visible ASCII character, 0x21 to 0x7e. A request target holds
// only these.
constexpr bool IsVisibleChar(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f;
}

// A character that a header value may hold: a visible one, a blank, or any
// byte above 0x7f (obs-text, passed on as it is). Never another control
// character: a CR or LF would end the line early and let the rest pose as a
// header of its own.
constexpr bool IsFieldValueChar(char c) {
  return IsVisibleChar(c) || IsBlank(c) || static_cast<unsigned char>(c) > 0x7f;
}

#endif  // JANTOR_HTTP_LL_CHARS_H_
