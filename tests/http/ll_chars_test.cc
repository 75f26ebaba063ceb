// The character classes of an HTTP head.
#include "http/ll_chars.h"

#include <string>

#include "gtest/gtest.h"

namespace {

// Every byte value, 0 to 255, that the class holds, in order.
std::string Members(bool (*in_class)(char)) {
  std::string members;
  for (int byte = 0; byte < 256; ++byte) {
    if (in_class(static_cast<char>(byte))) members.push_back(static_cast<char>(byte));
  }
  return members;
}

// Bytes from first to last, both included.
std::string Span(int first, int last) {
  std::string bytes;
  for (int byte = first; byte <= last; ++byte) bytes.push_back(static_cast<char>(byte));
  return bytes;
}

// A class that took in a NUL, a CR, an LF or DEL would let a header end
// early or hide in a log; one that left out a tchar would refuse a name
// that servers accept.
TEST(HttpChars, TokenVisibleAndFieldValueHoldExactlyTheirBytes) {
  EXPECT_EQ(Members(IsTokenChar),
            "!#$%&'*+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ^_`abcdefghijklmnopqrstuvwxyz|~");
  EXPECT_EQ(Members(IsVisibleChar), Span(0x21, 0x7e));
  EXPECT_EQ(Members(IsFieldValueChar), "\t" + Span(0x20, 0x7e) + Span(0x80, 0xff));
}

}  // namespace
