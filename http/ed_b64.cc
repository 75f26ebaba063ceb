#include "http/ed_b64.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/ll_cpapi.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Six-bit value of each byte, or -1 for a byte outside the alphabet.
constexpr std::array<int8_t, 256> kValues = [] {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return values;
}();

int ValueOf(char c) { return kValues[static_cast<unsigned char>(c)]; }

// Room for four characters per three bytes, every line break, the padding
// and the terminator; -1 when it does not fit in an int.
int EncodedCapacity(int length) {
  if (length < 0) return -1;
  long long capacity = static_cast<long long>(length) * 5 / 3 + 100;
  return capacity > INT32_MAX ? -1 : static_cast<int>(capacity);
}

// Writes the encoding of data into out, which has EncodedCapacity bytes.
void Encode(const unsigned char *data, int length, bool line_breaks, char *out) {
  int off = 0;
  for (; off < length - 2; off += 3) {
    unsigned b0 = data[off], b1 = data[off + 1], b2 = data[off + 2];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *out++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    *out++ = kAlphabet[b2 & 63];
    // Keyed to the offset of the group just written, so the first line holds
    // one group and every later full line thirteen (52 characters).
    if (line_breaks && off % 39 == 0) {
      *out++ = '\r';
      *out++ = '\n';
    }
  }
  int rest = length - off;
  if (rest == 1) {
    unsigned b0 = data[off];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[(b0 & 3) << 4];
    *out++ = kPad;
    *out++ = kPad;
  } else if (rest == 2) {
    unsigned b0 = data[off], b1 = data[off + 1];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *out++ = kAlphabet[(b1 & 15) << 2];
    *out++ = kPad;
  }
  *out = '\0';
}

}  // namespace

char *Base64(const char *data, int length, int line_breaks) {
  int capacity = EncodedCapacity(length);
  if (capacity < 0) return nullptr;
  char *out = mialloc(capacity);
  if (out == nullptr) return nullptr;
  Encode(reinterpret_cast<const unsigned char *>(data), length, line_breaks != 0, out);
  return out;
}

char *B64encode(const unsigned char *data, int length) {
  int capacity = EncodedCapacity(length);
  if (capacity < 0) return nullptr;
  auto *out = static_cast<char *>(malloc(static_cast<size_t>(capacity)));
  if (out == nullptr) return nullptr;
  Encode(data, length, true, out);
  return out;
}

int B64decode(int /*context*/, const char *text, char **out, int *length) {
  size_t text_length = strlen(text);
  *length = 0;
  *out = text_length > INT32_MAX ? nullptr : mialloc(static_cast<int>(text_length));
  if (*out == nullptr) return 0;

  // Every group yields fewer bytes than it has characters, so the output
  // never outgrows the text. Each character is looked at only after the one
  // before it proved not to be the terminator, so a group cut short by the
  // end of the text is never read past it.
  auto *bytes = reinterpret_cast<unsigned char *>(*out);
  int n = 0;
  const char *p = text;
  while (*p != '\0') {
    if (ValueOf(p[0]) < 0) {  // line breaks, blanks, stray padding
      ++p;
      continue;
    }
    int s0 = ValueOf(p[0]);
    int s1 = ValueOf(p[1]);
    if (s1 < 0) break;  // six bits alone make no byte
    bytes[n++] = static_cast<unsigned char>((s0 << 2) + (s1 >> 4));
    int s2 = ValueOf(p[2]);
    if (s2 < 0) break;
    bytes[n++] = static_cast<unsigned char>((s1 << 4) + (s2 >> 2));
    int s3 = ValueOf(p[3]);
    if (s3 < 0) break;
    bytes[n++] = static_cast<unsigned char>((s2 << 6) + s3);
    p += 4;
  }

  *length = n;
  // Shrinking hardly ever fails; if it does, the larger block still holds
  // every byte and is returned as it is.
  if (char *shrunk = reialloc(*out, n)) *out = shrunk;
  return 1;
}
