#include "http/ll_html.h"

#include <string>
#include <string_view>

#include "gtest/gtest.h"

namespace {

using namespace std::literals;

#define FFFD "\xEF\xBF\xBD"

struct EscapeCase {
  std::string_view text;
  std::string_view escaped;
};

void Check(const EscapeCase& c) {
  std::string out = "<p>";
  AppendHtmlEscaped(&out, c.text);
  EXPECT_EQ(out, "<p>" + std::string(c.escaped)) << "text: \"" << c.text << "\"";
}

TEST(AppendHtmlEscaped, MarkupCharactersBecomeEntities) {
  const EscapeCase cases[] = {
      {"", ""},
      {"plain text, 1 + 2 = 3; a/b?c#d", "plain text, 1 + 2 = 3; a/b?c#d"},
      {"&<>\"'", "&amp;&lt;&gt;&quot;&#39;"},
      {"&amp;&#39;", "&amp;amp;&amp;#39;"},
      {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"\" onmouseover=\"x", "&quot; onmouseover=&quot;x"},
  };
  for (const EscapeCase& c : cases) Check(c);
}

TEST(AppendHtmlEscaped, WellFormedUtf8StaysAndControlsAreReplaced) {
  const EscapeCase cases[] = {
      {"a\tb\nc\rd", "a\tb\nc\rd"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"},
      {"\xF4\x8F\xBF\xBF" FFFD "\xC2\xA0", "\xF4\x8F\xBF\xBF" FFFD "\xC2\xA0"},
      {"a\0b"sv, "a" FFFD "b"},
      {"\x01\x1f\x7f", FFFD FFFD FFFD},
      {"\xC2\x80\xC2\x9F", FFFD FFFD},  // C1 controls
  };
  for (const EscapeCase& c : cases) Check(c);
}

// ---- Ill-formed UTF-8 ----------------------------------------------------------

TEST(AppendHtmlEscaped, EachIllFormedSequenceBecomesOneReplacement) {
  const EscapeCase cases[] = {
      {"\x80", FFFD},
      {"\xBF\xBF", FFFD FFFD},
      {"\xC0\xAF", FFFD FFFD},                    // overlong '/'
      {"\xE0\x80\xAF", FFFD FFFD FFFD},           // overlong, three bytes
      {"\xED\xA0\x80", FFFD FFFD FFFD},           // a surrogate
      {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // past U+10FFFF
      {"\xF5\xFE\xFF", FFFD FFFD FFFD},
      {"\xE2\x82", FFFD},          // cut short at the end
      {"\xE2\x82<", FFFD "&lt;"},  // a cut sequence never swallows markup
      {"\xF0\x9D\x84x", FFFD "x"},
      {"\xC3\xC3\xA9", FFFD "\xC3\xA9"},
  };
  for (const EscapeCase& c : cases) Check(c);
}

}  // namespace
