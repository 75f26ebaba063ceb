#include "http/ll_html.h"

#include <cstddef>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// What a byte at the start of a UTF-8 sequence allows: the length of the
// sequence (0: it begins none) and the range of its second byte, narrower
// than 80..BF after E0, ED, F0 and F4, which is what refuses overlong forms,
// surrogates and code points past U+10FFFF. The later bytes are 80..BF.
struct Lead {
  size_t length;
  unsigned char second_low;
  unsigned char second_high;
};

Lead LeadOf(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

void AppendAscii(std::string* out, char c) {
  switch (c) {
    case '&':
      out->append("&amp;");
      return;
    case '<':
      out->append("&lt;");
      return;
    case '>':
      out->append("&gt;");
      return;
    case '"':
      out->append("&quot;");
      return;
    case '\'':
      // Not &apos;, which HTML 4 browsers do not know.
      out->append("&#39;");
      return;
    case '\t':
    case '\n':
    case '\r':
      out->push_back(c);
      return;
    default:
      if (c < 0x20 || c == 0x7f) {
        out->append(kReplacement);
      } else {
        out->push_back(c);
      }
  }
}

}  // namespace

void AppendHtmlEscaped(std::string* out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      AppendAscii(out, text[i]);
      ++i;
      continue;
    }
    Lead lead = LeadOf(byte);
    size_t length = 1;
    while (length < lead.length && i + length < text.size()) {
      auto next = static_cast<unsigned char>(text[i + length]);
      unsigned char low = length == 1 ? lead.second_low : 0x80;
      unsigned char high = length == 1 ? lead.second_high : 0xBF;
      if (next < low || next > high) break;
      ++length;
    }
    // C2 80..C2 9F are the C1 controls, U+0080..U+009F.
    bool control = byte == 0xC2 && length == 2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (length == lead.length && !control) {
      out->append(text.substr(i, length));
    } else {
      out->append(kReplacement);
    }
    i += length;
  }
}
