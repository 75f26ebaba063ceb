#include "base/ll_string.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/ll_ascii.h"

const char NullStr[1] = "";

namespace {

// A need that does not fit the 32-bit size header becomes -1, which
// mreserve refuses like an exhausted heap instead of wrapping around.
int FitNeed(std::int64_t need) {
  return (need < 0 || need > INT_MAX) ? -1 : static_cast<int>(need);
}

const char *OrEmpty(const char *text) { return text != nullptr ? text : NullStr; }

// Length of the text in a managed buffer, never looking past its recorded
// size (mmemcpy and mmemcat leave unterminated content behind).
std::size_t ManagedLength(const char *handle) { return strnlen(handle, misize(handle)); }

// Characters that, standing just before a quote, make it open a literal.
bool OpensLiteral(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '(' || c == '{' || c == ',' ||
         c == '=';
}

// Shared search of memstr and memstrptr. Only the recorded size bounds the
// search, so NUL bytes inside the buffer are searched across; an occurrence
// must fit entirely inside the buffer and may not start at its last byte.
char *SearchManaged(const char *buffer, const char *pattern, std::int64_t from) {
  if (buffer == nullptr || pattern == nullptr) return nullptr;
  if (pattern[0] == '\0') return const_cast<char *>(buffer);
  if (from < 0) return nullptr;
  const std::int64_t size = misize(buffer);
  const std::int64_t pattern_length = std::strlen(pattern);
  for (std::int64_t at = from; at < size - 1 && at + pattern_length <= size; ++at) {
    if (std::memcmp(buffer + at, pattern, pattern_length) == 0) {
      return const_cast<char *>(buffer + at);
    }
  }
  return nullptr;
}

// Appends at most limit characters of src after the text in out.
void AppendAtMost(char *out, const char *src, std::size_t limit) {
  std::size_t at = std::strlen(out);
  std::size_t count = strnlen(src, limit);
  std::memcpy(out + at, src, count);
  out[at + count] = '\0';
}

// Pads the text in out with pad up to width characters and terminates it
// there.
void PadTo(char *out, char pad, std::size_t width) {
  std::size_t at = std::strlen(out);
  if (at < width) std::memset(out + at, pad, width - at);
  out[width] = '\0';
}

}  // namespace

// ---- Managed-string writers ----------------------------------------------

int mreserve(int /*context*/, char **slot, int need) {
  const std::int64_t wanted = static_cast<std::int64_t>(need) + GAllocGran;
  const bool fits = need >= 0 && wanted <= INT_MAX;
  if (*slot == nullptr) {
    if (fits) *slot = mialloc(static_cast<int>(wanted));
    if (*slot != nullptr) (*slot)[0] = '\0';
  } else if (!fits || misize(*slot) <= static_cast<unsigned int>(need) + 2u) {
    // The old block is released when it cannot grow: the caller loses the
    // content either way, and keeping it would only leak it.
    char *grown = fits ? reialloc(*slot, static_cast<int>(wanted)) : nullptr;
    if (grown == nullptr) firee(*slot);
    *slot = grown;
  }
  if (*slot == nullptr) {
    SettingError(kSettingErrorNoMemory);
    return 0;
  }
  return 1;
}

// Copies src into a fresh block reserved for factor times its bytes. The
// wide and multibyte copies reserve double, leaving room for a caller that
// later widens the text in place; the bytes are copied unchanged.
static int CopyFresh(int context, char **slot, const char *src, int factor) {
  src = OrEmpty(src);
  firee(*slot);
  *slot = nullptr;
  const std::size_t length = std::strlen(src);
  const std::int64_t need = factor * (static_cast<std::int64_t>(length) + 1);
  if (!mreserve(context, slot, FitNeed(need))) return 0;
  std::memcpy(*slot, src, length + 1);
  return 1;
}

int mstrcpy(int context, char **slot, const char *src) { return CopyFresh(context, slot, src, 1); }

int mstrcpyws(int context, char **slot, const char *src) {
  return CopyFresh(context, slot, src, 2);
}

int mstrcpymb(int context, char **slot, const char *src) {
  return CopyFresh(context, slot, src, 2);
}

int mstrncpy(int context, char **slot, const char *src, int n) {
  src = OrEmpty(src);
  n = std::max(n, 0);
  if (!mreserve(context, slot, FitNeed(static_cast<std::int64_t>(n) + 1))) return 0;
  const std::size_t count = strnlen(src, static_cast<std::size_t>(n));
  std::memmove(*slot, src, count);
  (*slot)[count] = '\0';
  return 1;
}

int mstrcat(int context, char **slot, const char *src) {
  if (*slot == nullptr) return mstrcpy(context, slot, src);
  src = OrEmpty(src);
  const std::size_t current = ManagedLength(*slot);
  const std::size_t length = std::strlen(src);
  const std::int64_t need =
      static_cast<std::int64_t>(current) + static_cast<std::int64_t>(length) + 1;
  if (!mreserve(context, slot, FitNeed(need))) return 0;
  std::memcpy(*slot + current, src, length + 1);
  return 1;
}

int mstrncat(int context, char **slot, const char *src, int n) {
  if (*slot == nullptr) return mstrncpy(context, slot, src, n);
  src = OrEmpty(src);
  n = std::max(n, 0);
  const std::size_t current = ManagedLength(*slot);
  const std::int64_t need = static_cast<std::int64_t>(current) + n + 1;
  if (!mreserve(context, slot, FitNeed(need))) return 0;
  const std::size_t count = strnlen(src, static_cast<std::size_t>(n));
  std::memcpy(*slot + current, src, count);
  (*slot)[current + count] = '\0';
  return 1;
}

int mmemcpy(int context, char **slot, const void *src, int len) {
  if (src == nullptr || len < 0) return 0;
  if (!mreserve(context, slot, FitNeed(static_cast<std::int64_t>(len) + 1))) return 0;
  std::memcpy(*slot, src, static_cast<std::size_t>(len));
  return 1;
}

int mmemcat(int context, char **slot, const void *src, int offset, int len) {
  if (src == nullptr || len < 0 || offset < 0) return 0;
  const std::int64_t need = static_cast<std::int64_t>(offset) + len + 1;
  if (!mreserve(context, slot, FitNeed(need))) return 0;
  std::memcpy(*slot + offset, src, static_cast<std::size_t>(len));
  return 1;
}

int MakeNullStr(int context, char **slot) {
  firee(*slot);
  *slot = nullptr;
  return mreserve(context, slot, 2);
}

// ---- In-place text operations ----------------------------------------------

char *strset(char *text, int c) {
  std::memset(text, c, std::strlen(text));
  return text;
}

char *rtrim(char *text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
  return text;
}

char *ltrim(char *text) {
  std::size_t skip = std::strspn(text, " ");
  if (skip > 0) std::memmove(text, text + skip, std::strlen(text + skip) + 1);
  return text;
}

char *strleft(char *text, int n) {
  if (n >= 0 && static_cast<std::size_t>(n) <= std::strlen(text)) {
    text[n] = '\0';
  }
  return text;
}

char *strright(char *text, int n) {
  const std::size_t length = std::strlen(text);
  if (n >= 0 && static_cast<std::size_t>(n) < length) {
    std::memmove(text, text + length - n, static_cast<std::size_t>(n) + 1);
  }
  return text;
}

char *Blacken(char *text) {
  for (char *p = text; *p != '\0'; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') *p = '_';
  }
  return text;
}

int ReducePrec(char *text) {
  // The first character is never removed, so "0.0" keeps its "0".
  for (std::size_t at = std::strlen(text); at > 1; --at) {
    char &c = text[at - 1];
    if (c == '0') {
      c = '\0';
      continue;
    }
    if (c == '.') c = '\0';
    break;
  }
  return 1;
}

int uri_unescape(char *text) {
  if (text == nullptr) return 0;
  const std::size_t length = std::strlen(text);
  std::size_t read = 0;
  std::size_t write = 0;
  while (read < length) {
    const char c = text[read];
    if (c != '%') {
      text[write++] = c;
      ++read;
      continue;
    }
    if (read + 1 == length) break;  // a final "%" is dropped
    const char next = text[read + 1];
    if (next == '%' || next == '"' || next == '<' || next == '>') {
      text[write++] = next;
      read += 2;
      continue;
    }
    const int high = HexDigitValue(next);
    if (read + 2 < length && high >= 0) {
      const int low = HexDigitValue(text[read + 2]);
      text[write++] = static_cast<char>(low >= 0 ? high * 16 + low : high);
      read += 3;
      continue;
    }
    // Nothing to decode: keep the "%" and treat what follows as plain text.
    text[write++] = '%';
    ++read;
  }
  text[write] = '\0';
  return 1;
}

char *pathcat(char *dest, const char *tail) {
  const char separator = std::strchr(dest, '\\') != nullptr ? '\\' : '/';
  std::size_t length = std::strlen(dest);
  if (length > 0 && dest[length - 1] != '\\' && dest[length - 1] != '/') {
    dest[length++] = separator;
    dest[length] = '\0';
  }
  std::strcpy(dest + length, OrEmpty(tail));
  return dest;
}

char **MakeArgArray(char **args, char *line) {
  std::size_t count = 0;
  if (line != nullptr) {
    char previous = ' ';
    for (char *p = line; *p != '\0'; ++p) {
      const char c = *p;
      if (IsWhiteSpace(c)) {
        *p = '\0';
      } else if (IsWhiteSpace(previous)) {
        args[count++] = p;
      }
      previous = c;
    }
  }
  args[count] = nullptr;
  return args;
}

// ---- Number and time text --------------------------------------------------

namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int kMaxBase = sizeof(kDigits) - 1;

// strnow's result lives here until the next call.
char now_text[128];

}  // namespace

char *ltoa(int value, char *dest, int base) {
  if (value == 0) {
    std::strcpy(dest, "0");
    return dest;
  }
  std::size_t length = 0;
  // No sign is written: a negative value (INT_MIN included) gives "".
  if (base >= 2 && base <= kMaxBase) {
    for (; value > 0; value /= base) dest[length++] = kDigits[value % base];
  }
  dest[length] = '\0';
  return strrev(dest);
}

char *itoa(int value, char *dest, int base) { return ltoa(value, dest, base); }

char *strnow(void) {
  const std::time_t clock = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&clock, &local) == nullptr ||
      std::strftime(now_text, sizeof(now_text) - 1, "%X %x", &local) == 0) {
    now_text[0] = '\0';
  }
  return now_text;
}

// ---- Searches --------------------------------------------------------------

char *stristr(int context, const char *text, const char *pattern) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  char *folded_text = nullptr;
  char *folded_pattern = nullptr;
  const std::size_t text_length = std::strlen(text);
  const std::size_t pattern_length = std::strlen(pattern);
  const bool have_text =
      mreserve(context, &folded_text, FitNeed(static_cast<std::int64_t>(text_length) + 1));
  ManagedText text_guard(folded_text);
  if (!have_text) return nullptr;
  const bool have_pattern =
      mreserve(context, &folded_pattern, FitNeed(static_cast<std::int64_t>(pattern_length) + 1));
  ManagedText pattern_guard(folded_pattern);
  if (!have_pattern) return nullptr;
  std::memcpy(folded_text, text, text_length + 1);
  std::memcpy(folded_pattern, pattern, pattern_length + 1);
  const char *hit = std::strstr(istrlwr(folded_text), istrlwr(folded_pattern));
  if (hit == nullptr) return nullptr;
  return const_cast<char *>(text) + (hit - folded_text);
}

char *memstr(const char *buffer, const char *pattern, int offset) {
  return SearchManaged(buffer, pattern, offset);
}

char *memstrptr(const char *buffer, const char *pattern, const char *start) {
  if (buffer == nullptr || start == nullptr) return nullptr;
  return SearchManaged(buffer, pattern, start - buffer);
}

// ---- Quoting and justification into managed strings ------------------------

int esc_SQL(int context, char **slot) {
  if (slot == nullptr || *slot == nullptr) return 0;
  PrintWord("starting to escape");
  char *reversed = nullptr;
  // Measured within the recorded size, so a buffer that lost its terminator
  // is still read only inside its bounds.
  const int copied = mstrncpy(context, &reversed, *slot, static_cast<int>(ManagedLength(*slot)));
  ManagedText reversed_guard(reversed);
  if (!copied) return 0;
  strrev(reversed);
  // Empties the statement in place: only the appends below reserve room,
  // so a small block grows once, by their need. A block without a single
  // byte cannot hold even the terminator and is grown for it.
  if (misize(*slot) > 0) {
    (*slot)[0] = '\0';
  } else if (!mstrncpy(context, slot, NullStr, 0)) {
    return 0;
  }

  // Walking the statement backwards, a quote closes a literal first; a later
  // quote either opens it (when an opener character stands before it) or is
  // an inner quote and gets doubled.
  // The length written so far is kept here: asking the text for it at every
  // byte would make a long statement cost its length squared.
  std::size_t length = 0;
  auto append = [&](char c) {
    if (!mreserve(context, slot, FitNeed(static_cast<std::int64_t>(length) + 2))) return false;
    (*slot)[length++] = c;
    (*slot)[length] = '\0';
    return true;
  };
  bool inside_literal = false;
  for (const char *p = reversed; *p != '\0'; ++p) {
    if (*p == '\'') {
      if (!inside_literal) {
        inside_literal = true;
      } else if (OpensLiteral(p[1])) {
        inside_literal = false;
      } else if (!append('\'')) {
        return 0;
      }
    }
    if (!append(*p)) return 0;
  }
  strrev(*slot);
  fputs("escaped sql is ", stdout);
  fputs(*slot, stdout);
  fputs("\r\n", stdout);
  return 1;
}

int esc_item(int context, const char *src, char **slot, const char *quote) {
  src = OrEmpty(src);
  const char quote_char = OrEmpty(quote)[0];
  const std::size_t length = std::strlen(src);
  std::size_t quotes = 0;
  if (quote_char != '\0') quotes = std::count(src, src + length, quote_char);
  // The usual 100 spare bytes, or more when the source has more quotes, so
  // the doubled text always fits.
  const std::int64_t spare = std::max<std::int64_t>(100, quotes);
  if (!mreserve(context, slot, FitNeed(static_cast<std::int64_t>(length) + spare))) return 0;
  char *out = *slot;
  for (const char *p = src; *p != '\0'; ++p) {
    if (*p == quote_char) *out++ = quote_char;
    *out++ = *p;
  }
  *out = '\0';
  return 1;
}

int strjust(int context, const char *src, char **slot, const char *width, const char *mode,
            const char *pad) {
  src = OrEmpty(src);
  mode = OrEmpty(mode);
  const char pad_char = OrEmpty(pad)[0];
  // A negative width counts as 0; one too large for the size header is
  // refused by mreserve.
  long long requested = std::strtoll(OrEmpty(width), nullptr, 10);
  requested = std::clamp<long long>(requested, 0, INT_MAX);
  if (!mreserve(context, slot, FitNeed(requested + 2))) return 0;
  const std::size_t w = static_cast<std::size_t>(requested);
  const std::size_t length = std::strlen(src);
  const std::size_t surplus = length < w ? w - length : 0;
  char *out = *slot;
  if (strcasecmp(mode, "RIGHT") == 0) {
    std::memset(out, pad_char, surplus);
    out[surplus] = '\0';
    AppendAtMost(out, src, w);
  } else if (strcasecmp(mode, "LEFT") == 0) {
    out[0] = '\0';
    AppendAtMost(out, src, w);
    PadTo(out, pad_char, w);
  } else {
    std::memset(out, pad_char, surplus / 2);
    out[surplus / 2] = '\0';
    AppendAtMost(out, src, w);
    PadTo(out, pad_char, w);
  }
  return 1;
}

int ParseInt(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
