// AppendHtmlEscaped on any bytes gives text that no browser can read markup
// out of: no '<', '>', '"' or '\'' at all, every '&' the start of one of the
// five entities it writes, well-formed UTF-8 without the control characters
// HTML counts as errors. It keeps what was in the string before, and text
// that was already well-formed comes back whole once the entities are read.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "http/ll_html.h"

namespace {

constexpr std::string_view kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"};
constexpr char kEntityText[] = "&<>\"'";

// The code point at *at, moving *at past it; false for an ill-formed
// sequence. Decoded by arithmetic, unlike the escaper's table of ranges.
bool NextCodePoint(std::string_view text, size_t* at, unsigned* code_point) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned lead = byte(*at);
  size_t length = lead < 0x80         ? 1
                  : (lead >> 5) == 6  ? 2
                  : (lead >> 4) == 14 ? 3
                  : (lead >> 3) == 30 ? 4
                                      : 0;
  if (length == 0 || *at + length > text.size()) return false;
  unsigned value = length == 1 ? lead : lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(*at + i) & 0xc0) != 0x80) return false;
    value = value << 6 | (byte(*at + i) & 0x3f);
  }
  const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < least[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
    return false;
  }
  *at += length;
  *code_point = value;
  return true;
}

// Whether text is well-formed UTF-8 free of the control characters that
// the escaper replaces.
bool CleanUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    unsigned code_point;
    if (!NextCodePoint(text, &at, &code_point)) return false;
    bool control =
        (code_point < 0x20 && code_point != '\t' && code_point != '\n' && code_point != '\r') ||
        (code_point >= 0x7f && code_point <= 0x9f);
    if (control) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string out = "<before>";
  AppendHtmlEscaped(&out, text);
  FUZZ_CHECK(out.compare(0, 8, "<before>") == 0);
  std::string_view escaped = std::string_view(out).substr(8);
  FUZZ_CHECK(escaped.size() <= 6 * text.size());  // "&quot;" is the most a byte becomes
  FUZZ_CHECK(escaped.find_first_of("<>\"'") == std::string_view::npos);
  FUZZ_CHECK(CleanUtf8(escaped));

  // Reading the entities back gives the text, when it was clean to begin with.
  std::string unescaped;
  for (size_t at = 0; at < escaped.size();) {
    if (escaped[at] != '&') {
      unescaped.push_back(escaped[at++]);
      continue;
    }
    bool known = false;
    for (size_t i = 0; i < std::size(kEntities) && !known; ++i) {
      if (escaped.substr(at, kEntities[i].size()) != kEntities[i]) continue;
      unescaped.push_back(kEntityText[i]);
      at += kEntities[i].size();
      known = true;
    }
    FUZZ_CHECK(known);
  }
  if (CleanUtf8(text)) FUZZ_CHECK(unescaped == text);
  return 0;
}
