// Managed-string writers, the capacity rule and the string utilities.
#include "base/ll_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

// The allocator's fault seam; deliberately not in any header.
extern bool (*jantor_alloc_refuse_for_test)(std::size_t bytes);

namespace {

const char kNoMemoryLine[] = "\r\n***** Setting Error 110 *****\r\n\r\n";

// Owns a handle slot for one test and releases whatever it holds at the end.
struct Slot {
  char *handle = nullptr;
  ~Slot() { firee(handle); }
  unsigned size() const { return misize(handle); }
};

// Lets the first `allowed` heap requests through and refuses the rest.
int heap_requests_allowed = 0;
struct RefuseHeapAfter {
  explicit RefuseHeapAfter(int allowed) {
    heap_requests_allowed = allowed;
    jantor_alloc_refuse_for_test = [](std::size_t) { return heap_requests_allowed-- <= 0; };
  }
  ~RefuseHeapAfter() { jantor_alloc_refuse_for_test = nullptr; }
};

std::string Captured() { return testing::internal::GetCapturedStdout(); }

// ---- Capacity rule and writers ---------------------------------------------

TEST(ManagedString, CopyOfNullOrEmptyGivesSize129) {
  Slot a, b;
  ASSERT_EQ(mstrcpy(0, &a.handle, nullptr), 1);
  EXPECT_STREQ(a.handle, "");
  EXPECT_EQ(a.size(), 129u);
  ASSERT_EQ(mstrcpy(0, &b.handle, ""), 1);
  EXPECT_EQ(b.size(), 129u);
}

TEST(ManagedString, MakeNullStrReplacesTextWithSize130) {
  Slot s;
  ASSERT_EQ(mstrcpy(0, &s.handle, std::string(300, 'x').c_str()), 1);
  ASSERT_EQ(MakeNullStr(0, &s.handle), 1);
  EXPECT_STREQ(s.handle, "");
  EXPECT_EQ(s.size(), 130u);
}

TEST(ManagedString, NcpyCutsAndSizes) {
  Slot a, b;
  ASSERT_EQ(mstrncpy(0, &a.handle, "abc", 2), 1);
  EXPECT_STREQ(a.handle, "ab");
  ASSERT_EQ(mstrncpy(0, &b.handle, "abc", 10), 1);
  EXPECT_STREQ(b.handle, "abc");
  EXPECT_EQ(b.size(), 139u);
  // A negative count copies nothing instead of everything.
  ASSERT_EQ(mstrncpy(0, &b.handle, "abc", -1), 1);
  EXPECT_STREQ(b.handle, "");
}

TEST(ManagedString, CatOnNullSlotAllocatesLikeCopy) {
  Slot a, b;
  ASSERT_EQ(mstrcat(0, &a.handle, "hello"), 1);
  ASSERT_EQ(mstrcpy(0, &b.handle, "hello"), 1);
  EXPECT_STREQ(a.handle, "hello");
  EXPECT_EQ(a.size(), b.size());
  EXPECT_EQ(a.size(), 6u + 128u);
  Slot c;
  ASSERT_EQ(mstrncat(0, &c.handle, "hello", 3), 1);
  EXPECT_STREQ(c.handle, "hel");
  EXPECT_EQ(c.size(), 4u + 128u);
}

TEST(ManagedString, GrowsAtNeedPlus2AndStaysAtNeedPlus3) {
  // "abc" on a null slot: recorded size 4 + 128 = 132.
  Slot s;
  ASSERT_EQ(mstrcpy(0, &s.handle, "abc"), 1);
  ASSERT_EQ(s.size(), 132u);
  // Appending 126 characters makes the need 130 = 132 - 2: regrown to 258.
  Slot t;
  ASSERT_EQ(mstrcpy(0, &t.handle, "abc"), 1);
  ASSERT_EQ(mstrcat(0, &t.handle, std::string(126, 'y').c_str()), 1);
  EXPECT_EQ(t.size(), 130u + 128u);
  EXPECT_EQ(std::strlen(t.handle), 129u);
  // Appending 125 makes the need 129 = 132 - 3: the buffer stays.
  ASSERT_EQ(mstrcat(0, &s.handle, std::string(125, 'y').c_str()), 1);
  EXPECT_EQ(s.size(), 132u);
  EXPECT_EQ(std::strlen(s.handle), 128u);

  Slot r;
  ASSERT_EQ(mreserve(0, &r.handle, 10), 1);
  EXPECT_EQ(r.size(), 138u);
  EXPECT_STREQ(r.handle, "");
  ASSERT_EQ(mreserve(0, &r.handle, 135), 1);  // 138 = 135 + 3: stays
  EXPECT_EQ(r.size(), 138u);
  ASSERT_EQ(mreserve(0, &r.handle, 136), 1);  // 138 = 136 + 2: grows
  EXPECT_EQ(r.size(), 264u);
}

TEST(ManagedString, AppendsOneCharAtATimeKeepText) {
  Slot s;
  std::string expected;
  for (int i = 0; i < 600; ++i) {
    char c = static_cast<char>('a' + i % 26);
    ASSERT_EQ(mstrncat(0, &s.handle, &c, 1), 1);
    expected += c;
  }
  EXPECT_EQ(s.handle, expected);
  EXPECT_GE(s.size(), expected.size() + 3);
}

TEST(ManagedString, MemWritersWriteNoTerminator) {
  Slot s;
  ASSERT_EQ(mstrcpy(0, &s.handle, "zzzzzz"), 1);
  ASSERT_EQ(mmemcpy(0, &s.handle, "abc", 3), 1);
  EXPECT_STREQ(s.handle, "abczzz");

  Slot m;
  ASSERT_EQ(mmemcat(0, &m.handle, "xy", 10, 2), 1);
  EXPECT_EQ(m.size(), 10u + 2u + 1u + 128u);
  EXPECT_EQ(m.handle[0], '\0');
  EXPECT_EQ(std::string(m.handle + 10, 2), "xy");
  // Appending text after unterminated bytes never reads past the buffer.
  Slot u;
  ASSERT_EQ(mmemcpy(0, &u.handle, "q", 1), 1);
  std::memset(u.handle, 'q', u.size());
  ASSERT_EQ(mstrcat(0, &u.handle, "!"), 1);
  EXPECT_EQ(std::strlen(u.handle), 131u);
}

TEST(ManagedString, WideAndMultibyteCopiesReserveTwice) {
  Slot w, m;
  ASSERT_EQ(mstrcpyws(0, &w.handle, "abc"), 1);
  ASSERT_EQ(mstrcpymb(0, &m.handle, "abc"), 1);
  EXPECT_STREQ(w.handle, "abc");
  EXPECT_STREQ(m.handle, "abc");
  EXPECT_EQ(w.size(), 8u + 128u);
  EXPECT_EQ(m.size(), 8u + 128u);
}

// ---- In-place operations ----------------------------------------------------

TEST(TextInPlace, TrimCutAndBlacken) {
  char blanks[] = "   ";
  EXPECT_STREQ(rtrim(blanks), "");
  char tab[] = "a \t";
  EXPECT_STREQ(rtrim(tab), "a \t");
  char lead[] = "  ab ";
  EXPECT_STREQ(ltrim(lead), "ab ");
  char all[] = "  ";
  EXPECT_STREQ(ltrim(all), "");

  char left[] = "abc";
  EXPECT_STREQ(strleft(left, 3), "abc");
  EXPECT_STREQ(strleft(left, 5), "abc");
  EXPECT_STREQ(strleft(left, -1), "abc");
  EXPECT_STREQ(strleft(left, 1), "a");

  char right[] = "abcdef";
  EXPECT_STREQ(strright(right, 6), "abcdef");
  EXPECT_STREQ(strright(right, -2), "abcdef");
  EXPECT_STREQ(strright(right, 2), "ef");
  EXPECT_STREQ(strright(right, 0), "");

  char spaced[] = "a b\tc\r\n\v\f";
  EXPECT_STREQ(Blacken(spaced), "a_b_c__\v\f");
  char set[] = "abc";
  EXPECT_STREQ(strset(set, '*'), "***");
}

TEST(TextInPlace, ReducePrecisionNeverTouchesFirstChar) {
  const char *cases[][2] = {{"12.500", "12.5"}, {"12.000", "12"}, {"0.0", "0"},
                            {"100", "1"},       {"5", "5"},       {"0", "0"},
                            {"", ""},           {"7.", "7"},      {"1.05", "1.05"}};
  for (auto &c : cases) {
    char text[16];
    std::strcpy(text, c[0]);
    EXPECT_EQ(ReducePrec(text), 1);
    EXPECT_STREQ(text, c[1]) << "from " << c[0];
  }
}

TEST(TextInPlace, UriUnescape) {
  const char *cases[][2] = {{"a%20b", "a b"},
                            {"100%", "100"},
                            {"%%41", "%41"},
                            {"x%4", "x%4"},
                            {"a+b", "a+b"},
                            {"%3c%3E", "<>"},
                            {"%zz!", "%zz!"},
                            {"%<%\"", "<\""},
                            {"%4g1",
                             "\x04"
                             "1"},
                            {"%", ""},
                            {"%-1", "%-1"},
                            {"%41%", "A"}};
  for (auto &c : cases) {
    char text[16];
    std::strcpy(text, c[0]);
    EXPECT_EQ(uri_unescape(text), 1);
    EXPECT_STREQ(text, c[1]) << "from " << c[0];
  }
  EXPECT_EQ(uri_unescape(nullptr), 0);
}

TEST(TextInPlace, PathcatPicksSeparator) {
  char path[32] = "dir";
  EXPECT_STREQ(pathcat(path, "f"), "dir/f");
  std::strcpy(path, "dir/");
  EXPECT_STREQ(pathcat(path, "f"), "dir/f");
  std::strcpy(path, "c:\\x");
  EXPECT_STREQ(pathcat(path, "f"), "c:\\x\\f");
  std::strcpy(path, "");
  EXPECT_STREQ(pathcat(path, "f"), "f");
}

TEST(TextInPlace, MakeArgArraySplitsAtWhiteSpace) {
  char line[] = "  ls -l\tx ";
  char *args[8];
  EXPECT_EQ(MakeArgArray(args, line), args);
  EXPECT_STREQ(args[0], "ls");
  EXPECT_STREQ(args[1], "-l");
  EXPECT_STREQ(args[2], "x");
  EXPECT_EQ(args[3], nullptr);

  char empty[] = "";
  char *one[1] = {empty};
  MakeArgArray(one, empty);
  EXPECT_EQ(one[0], nullptr);
  char blanks[] = " \v\f\r\n";
  MakeArgArray(one, blanks);
  EXPECT_EQ(one[0], nullptr);
}

// ---- Numbers, time and searches ----------------------------------------------

TEST(NumberText, LtoaInAnyBase) {
  char out[40];
  EXPECT_STREQ(ltoa(0, out, 10), "0");
  EXPECT_STREQ(ltoa(255, out, 16), "FF");
  EXPECT_STREQ(ltoa(5, out, 2), "101");
  EXPECT_STREQ(ltoa(-7, out, 10), "");
  EXPECT_STREQ(ltoa(INT_MIN, out, 2), "");
  EXPECT_STREQ(ltoa(INT_MAX, out, 2), std::string(31, '1').c_str());
  EXPECT_STREQ(ltoa(35, out, 36), "Z");
  EXPECT_STREQ(itoa(1234567, out, 10), "1234567");
  EXPECT_STREQ(ltoa(12, out, 1), "");
  EXPECT_STREQ(ltoa(12, out, 37), "");
}

TEST(NumberText, StrnowFitsItsBuffer) {
  char *first = strnow();
  EXPECT_GT(std::strlen(first), 0u);
  EXPECT_LE(std::strlen(first), 126u);
  EXPECT_EQ(strnow(), first);
}

TEST(Search, StristrReturnsAddressInsideText) {
  const char text[] = "Hello World";
  EXPECT_EQ(stristr(0, text, "WORLD"), text + 6);
  EXPECT_EQ(stristr(0, text, "worlds"), nullptr);
  EXPECT_EQ(stristr(0, text, ""), text);
  EXPECT_EQ(stristr(0, nullptr, "a"), nullptr);
  EXPECT_EQ(stristr(0, text, nullptr), nullptr);
}

TEST(Search, MemstrSearchesAcrossNulToTheRecordedSize) {
  char *buffer = mialloc(8);
  ASSERT_NE(buffer, nullptr);
  std::memcpy(buffer, "ab\0cdXYZ", 8);
  EXPECT_EQ(memstr(buffer, "cd", 0), buffer + 3);
  EXPECT_EQ(memstr(buffer, "cd", 4), nullptr);
  EXPECT_EQ(memstr(buffer, "", 5), buffer);
  EXPECT_EQ(memstr(buffer, "YZ", 0), buffer + 6);
  EXPECT_EQ(memstr(buffer, "Z", 0), nullptr);     // only at the last byte
  EXPECT_EQ(memstr(buffer, "XYZW", 0), nullptr);  // would run past the end
  EXPECT_EQ(memstr(buffer, "b", -3), nullptr);
  EXPECT_EQ(memstrptr(buffer, "X", buffer + 2), buffer + 5);
  EXPECT_EQ(memstrptr(buffer, "a", buffer + 1), nullptr);
  firee(buffer);

  for (int size : {0, 1}) {
    char *tiny = mialloc(size);
    ASSERT_NE(tiny, nullptr);
    if (size == 1) tiny[0] = 'a';
    EXPECT_EQ(memstr(tiny, "a", 0), nullptr) << size;
    EXPECT_EQ(memstr(tiny, "ab", 0), nullptr) << size;
    firee(tiny);
  }
}

// ---- Quoting and justification -------------------------------------------------

TEST(Quoting, EscSqlDoublesQuotesInsideLiterals) {
  Slot s;
  ASSERT_EQ(mstrcpy(0, &s.handle, "insert into t values ('it's', 'x')"), 1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(esc_SQL(0, &s.handle), 1);
  EXPECT_EQ(Captured(),
            "starting to escape\r\n"
            "escaped sql is insert into t values ('it''s', 'x')\r\n");
  EXPECT_STREQ(s.handle, "insert into t values ('it''s', 'x')");

  const char *unchanged[] = {"a = 'b'", "f('x','y')", "{'a'}", "x=''", ""};
  for (const char *statement : unchanged) {
    ASSERT_EQ(mstrcpy(0, &s.handle, statement), 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(esc_SQL(0, &s.handle), 1);
    Captured();
    EXPECT_STREQ(s.handle, statement);
  }
  // A statement that starts with a quote has nothing before it to open the
  // literal, so that quote is treated as an inner one.
  ASSERT_EQ(mstrcpy(0, &s.handle, "'a'"), 1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(esc_SQL(0, &s.handle), 1);
  Captured();
  EXPECT_STREQ(s.handle, "''a'");

  // Buffers without room or without a terminator are read inside bounds.
  Slot bare;
  bare.handle = mialloc(0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(esc_SQL(0, &bare.handle), 1);
  EXPECT_EQ(Captured(), "starting to escape\r\nescaped sql is \r\n");
  EXPECT_STREQ(bare.handle, "");
  Slot full;
  full.handle = mialloc(4);
  std::memcpy(full.handle, "x='y", 4);
  testing::internal::CaptureStdout();
  ASSERT_EQ(esc_SQL(0, &full.handle), 1);
  Captured();
  EXPECT_STREQ(full.handle, "x='y");

  // The statement is emptied in its own block, so only the first append's
  // need (2) grows a small one: to 2 + 128.
  for (int size : {2, 3}) {
    Slot small;
    small.handle = mialloc(size);
    std::strcpy(small.handle, "x");
    testing::internal::CaptureStdout();
    ASSERT_EQ(esc_SQL(0, &small.handle), 1);
    Captured();
    EXPECT_STREQ(small.handle, "x");
    EXPECT_EQ(small.size(), 130u) << size;
  }
}

TEST(Quoting, EscItemDoublesAnyNumberOfQuotes) {
  Slot s;
  ASSERT_EQ(esc_item(0, "it's", &s.handle, "'"), 1);
  EXPECT_STREQ(s.handle, "it''s");
  EXPECT_EQ(s.size(), 4u + 100u + 128u);
  std::string quotes(500, '"');
  ASSERT_EQ(esc_item(0, quotes.c_str(), &s.handle, "\"x"), 1);
  EXPECT_EQ(s.handle, std::string(1000, '"'));
  ASSERT_EQ(esc_item(0, "a'b", &s.handle, ""), 1);
  EXPECT_STREQ(s.handle, "a'b");
  ASSERT_EQ(esc_item(0, nullptr, &s.handle, nullptr), 1);
  EXPECT_STREQ(s.handle, "");
}

TEST(Justify, ModesWidthsAndCutting) {
  struct Case {
    const char *width, *mode, *expected;
  } cases[] = {{"6", "RIGHT", "****ab"},  {"6", "left", "ab****"},  {"6", "LeFt", "ab****"},
               {"6", "center", "**ab**"}, {"5", "center", "*ab**"}, {"1", "RIGHT", "a"},
               {"1", "LEFT", "a"},        {"1", "middle", "a"},     {"0", "RIGHT", ""},
               {"x", "LEFT", ""},         {"-4", "RIGHT", ""},      {"2", "right", "ab"}};
  for (const Case &c : cases) {
    Slot s;
    ASSERT_EQ(strjust(0, "ab", &s.handle, c.width, c.mode, "*"), 1);
    EXPECT_STREQ(s.handle, c.expected) << c.width << " " << c.mode;
    EXPECT_GE(s.size(), std::strlen(c.expected) + 3);
  }
  Slot wide;
  ASSERT_EQ(strjust(0, "abc", &wide.handle, "300", "RIGHT", "."), 1);
  EXPECT_EQ(wide.handle, std::string(297, '.') + "abc");
  EXPECT_EQ(wide.size(), 302u + 128u);
}

// ---- Error paths ------------------------------------------------------------

TEST(ManagedStringErrors, RefusedWritersPrintOnceAndLeaveSlotNull) {
  Slot s;
  testing::internal::CaptureStdout();
  {
    RefuseHeapAfter refuse(0);
    EXPECT_EQ(mstrcat(0, &s.handle, "abc"), 0);  // delegates to mstrcpy
    EXPECT_EQ(s.handle, nullptr);
    EXPECT_EQ(MakeNullStr(0, &s.handle), 0);
    EXPECT_EQ(s.handle, nullptr);
  }
  EXPECT_EQ(Captured(), std::string(kNoMemoryLine) + kNoMemoryLine);
}

TEST(ManagedStringErrors, FailedGrowthReleasesTheOldBlock) {
  // The leak checker of the sanitizer build fails this test if the old block
  // is kept.
  Slot s;
  ASSERT_EQ(mstrcpy(0, &s.handle, "abc"), 1);
  testing::internal::CaptureStdout();
  {
    RefuseHeapAfter refuse(0);
    EXPECT_EQ(mstrcat(0, &s.handle, std::string(200, 'x').c_str()), 0);
  }
  EXPECT_EQ(Captured(), kNoMemoryLine);
  EXPECT_EQ(s.handle, nullptr);
  // A need beyond the size header is refused the same way, never wrapped.
  ASSERT_EQ(mstrcpy(0, &s.handle, "abc"), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(mmemcat(0, &s.handle, "x", INT_MAX - 1, 1), 0);
  EXPECT_EQ(Captured(), kNoMemoryLine);
  EXPECT_EQ(s.handle, nullptr);
}

TEST(StringUtilityErrors, RefusedHeapReportsAndReleases) {
  testing::internal::CaptureStdout();
  {
    RefuseHeapAfter refuse(1);  // the pattern copy is refused
    EXPECT_EQ(stristr(0, "Hello", "ell"), nullptr);
  }
  EXPECT_EQ(Captured(), kNoMemoryLine);

  Slot statement;
  ASSERT_EQ(mstrcpy(0, &statement.handle, "a = 'b'"), 1);
  testing::internal::CaptureStdout();
  {
    RefuseHeapAfter refuse(0);  // the working copy is refused
    EXPECT_EQ(esc_SQL(0, &statement.handle), 0);
  }
  EXPECT_EQ(Captured(), std::string("starting to escape\r\n") + kNoMemoryLine);
  EXPECT_STREQ(statement.handle, "a = 'b'");

  // 60 inner quotes in a buffer of 130 bytes: escaping must grow it.
  std::string inner;
  for (int i = 0; i < 60; ++i) inner += "q'";
  ASSERT_EQ(MakeNullStr(0, &statement.handle), 1);
  ASSERT_EQ(mstrcat(0, &statement.handle, ("v='" + inner + "q'").c_str()), 1);
  ASSERT_EQ(statement.size(), 130u);
  testing::internal::CaptureStdout();
  {
    RefuseHeapAfter refuse(1);  // copy made, a later growth refused
    EXPECT_EQ(esc_SQL(0, &statement.handle), 0);
  }
  EXPECT_EQ(Captured(), std::string("starting to escape\r\n") + kNoMemoryLine);
  EXPECT_EQ(statement.handle, nullptr);

  Slot out;
  testing::internal::CaptureStdout();
  {
    RefuseHeapAfter refuse(0);
    EXPECT_EQ(esc_item(0, "it's", &out.handle, "'"), 0);
    EXPECT_EQ(strjust(0, "ab", &out.handle, "6", "LEFT", "*"), 0);
  }
  EXPECT_EQ(Captured(), std::string(kNoMemoryLine) + kNoMemoryLine);
  EXPECT_EQ(out.handle, nullptr);
}

}  // namespace
