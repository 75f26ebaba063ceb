// The ASCII character classes.
#include "base/ll_ascii.h"

#include <string>

#include "gtest/gtest.h"

namespace {

// Every byte value, 0 to 255, that the class holds, in order. A class that
// asked the locale, or let a byte above 0x7f (a negative char) through,
// would show it here.
std::string Members(bool (*in_class)(char)) {
  std::string members;
  for (int byte = 0; byte < 256; ++byte) {
    if (in_class(static_cast<char>(byte))) members.push_back(static_cast<char>(byte));
  }
  return members;
}

// The classes build tables at compile time.
static_assert(IsBlank('\t') && !IsBlank('\n') && IsWhiteSpace('\v') && HexDigitValue('f') == 15);

TEST(AsciiClass, HoldsExactlyItsCharactersAndNoByteAbove0x7f) {
  EXPECT_EQ(Members(IsBlank), "\t ");
  EXPECT_EQ(Members(IsWhiteSpace), "\t\n\v\f\r ");
  EXPECT_EQ(Members(IsDigit), "0123456789");
  EXPECT_EQ(Members(IsLetter), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
}

TEST(AsciiClass, HexDigitValueReadsEitherCaseAndRefusesEveryOtherByte) {
  std::string digits;
  for (int byte = 0; byte < 256; ++byte) {
    int value = HexDigitValue(static_cast<char>(byte));
    if (value < 0) {
      EXPECT_EQ(value, -1) << byte;
      continue;
    }
    digits.push_back(static_cast<char>(byte));
    EXPECT_EQ(value, std::stoi(std::string(1, static_cast<char>(byte)), nullptr, 16)) << byte;
  }
  EXPECT_EQ(digits, "0123456789ABCDEFabcdef");
}

}  // namespace
