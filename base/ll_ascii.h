// Character classes of ASCII text, written out rather than taken from
// <cctype>: the answer must not depend on the locale, and a char above 0x7f,
// negative where char is signed, must never index a table. A byte above 0x7f
// is in none of these classes. All are constexpr and keep no state, so any
// thread may use them, and a table of classes can be built at compile time.
#ifndef JANTOR_BASE_LL_ASCII_H_
#define JANTOR_BASE_LL_ASCII_H_

// Space or tab: what separates the words of one line.
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// White space as the C locale's isspace has it: a blank, LF, VT, FF or CR.
constexpr bool IsWhiteSpace(char c) {
  return IsBlank(c) || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// "0" to "9".
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "a" to "z" and "A" to "Z".
constexpr bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The value of a hexadecimal digit in either case, 0 to 15; -1 for any other
// character.
constexpr int HexDigitValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

#endif  // JANTOR_BASE_LL_ASCII_H_
