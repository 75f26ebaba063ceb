#include "http/ed_b64.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/ll_cpapi.h"
#include "gtest/gtest.h"

// The tracked allocator's test seam (defined in ll_cpapi.cc).
extern bool (*jantor_alloc_refuse_for_test)(std::size_t bytes);

namespace {

struct FireeDeleter {
  void operator()(char *handle) const { firee(handle); }
};
using Managed = std::unique_ptr<char, FireeDeleter>;

std::string Encode(const std::string &bytes, int line_breaks) {
  Managed text(Base64(bytes.data(), static_cast<int>(bytes.size()), line_breaks));
  EXPECT_NE(text, nullptr);
  return text ? std::string(text.get()) : std::string();
}

// Decodes from an exact-size heap copy of text, so that reading past its
// terminator is caught by the address sanitizer.
std::string Decode(const std::string &text) {
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  memcpy(exact.get(), text.c_str(), text.size() + 1);
  char *out = nullptr;
  int length = -1;
  EXPECT_EQ(B64decode(0, exact.get(), &out, &length), 1);
  Managed owned(out);
  EXPECT_NE(out, nullptr);
  return out ? std::string(out, static_cast<size_t>(length)) : std::string();
}

std::string WithoutLineBreaks(std::string text) {
  std::string plain;
  for (char c : text) {
    if (c != '\r' && c != '\n') plain += c;
  }
  return plain;
}

// The independent encoder: coreutils base64, unwrapped or with its own
// 76-column lines.
std::string SystemBase64(const std::string &bytes, bool wrapped) {
  char path[] = "/tmp/ed_b64_testXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  if (fd < 0) return {};
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
  std::string command = std::string("base64 ") + (wrapped ? "" : "-w0 ") + path;
  std::string out;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
  }
  unlink(path);
  if (!wrapped) return out;
  std::string crlf;  // base64 ends lines with "\n"; HTTP text uses "\r\n"
  for (char c : out) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return crlf;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) {
    lines.push_back(text.substr(start, at - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::string RandomBytes(std::mt19937 &random, size_t length) {
  std::string bytes(length, '\0');
  for (char &c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

TEST(Base64Encode, KnownTextsAndPadding) {
  EXPECT_EQ(Encode("", 0), "");
  EXPECT_EQ(Encode("", 1), "");
  EXPECT_EQ(Encode("A", 0), "QQ==");
  EXPECT_EQ(Encode("fo", 0), "Zm8=");
  EXPECT_EQ(Encode("foo", 0), "Zm9v");
  EXPECT_EQ(Encode("foobar", 0), "Zm9vYmFy");
  EXPECT_EQ(Encode("user:secret", 0), "dXNlcjpzZWNyZXQ=");
  EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3), 0), "//4A");
}

TEST(Base64Encode, LineBreaksFollowTheFirstGroupThenEveryThirteen) {
  std::mt19937 random(7);
  EXPECT_EQ(Encode("foo", 1), "Zm9v\r\n");
  std::string bytes = RandomBytes(random, 45);
  std::string plain = Encode(bytes, 0);
  EXPECT_EQ(Encode(bytes.substr(0, 42), 1),
            plain.substr(0, 4) + "\r\n" + plain.substr(4, 52) + "\r\n");
  EXPECT_EQ(Encode(bytes, 1),
            plain.substr(0, 4) + "\r\n" + plain.substr(4, 52) + "\r\n" + plain.substr(56, 4));
  // A final partial group gets no line break.
  EXPECT_EQ(Encode("fooba", 1), "Zm9v\r\nYmE=");

  for (size_t length : {1000u, 997u, 40u}) {
    std::vector<std::string> lines = Lines(Encode(RandomBytes(random, length), 1));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().size(), 4u);
    for (size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 52u) << i;
    EXPECT_LE(lines.back().size(), 52u);
  }
}

TEST(Base64Encode, B64encodeBreaksLinesInAPlainHeapBlock) {
  const unsigned char bytes[] = "any carnal pleasure, any carnal pleasure, any";
  char *text = B64encode(bytes, 45);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), Encode(std::string(reinterpret_cast<const char *>(bytes), 45), 1));
  free(text);
}

TEST(Base64RoundTrip, AgreesWithAnIndependentEncoderAtRandomLengths) {
  std::mt19937 random(2024);
  std::vector<size_t> lengths = {0, 1, 2, 3, 38, 39, 40, 41, 42, 43, 1000};
  std::uniform_int_distribution<size_t> any_length(0, 1000);
  for (int i = 0; i < 30; ++i) lengths.push_back(any_length(random));

  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    std::string bytes = RandomBytes(random, length);
    std::string plain = Encode(bytes, 0);
    std::string broken = Encode(bytes, 1);
    EXPECT_EQ(plain.size(), 4 * ((length + 2) / 3));
    EXPECT_EQ(plain, SystemBase64(bytes, false));
    EXPECT_EQ(WithoutLineBreaks(broken), plain);
    EXPECT_EQ(Decode(plain), bytes);
    EXPECT_EQ(Decode(broken), bytes);
    EXPECT_EQ(Decode(SystemBase64(bytes, true)), bytes);
  }
}

TEST(Base64Decode, KnownTextsAndSkippedCharactersBetweenGroups) {
  EXPECT_EQ(Decode("QQ=="), "A");
  EXPECT_EQ(Decode(""), "");
  EXPECT_EQ(Decode("  \r\n"), "");
  EXPECT_EQ(Decode("QUJD  \r\n REVG\tR0g="), "ABCDEFGH");
  EXPECT_EQ(Decode("\r\nZm9v\r\nYmFy\r\n"), "foobar");
}

TEST(Base64Decode, PaddingEndsTheDecoding) {
  EXPECT_EQ(Decode("QQ==QUJD"), "A");
  EXPECT_EQ(Decode("QUI=REVG"), "AB");
}

// Text that no encoder writes: a group cut short by the end of the text
// yields what its complete characters hold, and nothing past the terminator
// is read (Decode works on an exact-size copy).
TEST(Base64Decode, GroupsCutShortYieldTheirCompleteBytes) {
  EXPECT_EQ(Decode("QUJDREV"), "ABCDE");
  EXPECT_EQ(Decode("QUJDRA"), "ABCD");
  EXPECT_EQ(Decode("QUJDR"), "ABC");
  EXPECT_EQ(Decode("Q"), "");
  // A second character outside the alphabet leaves six bits: no byte.
  EXPECT_EQ(Decode("Q="), "");
  EXPECT_EQ(Decode("QUJDQ\r\nQUJD"), "ABC");
}

// ---- Error paths ----------------------------------------------------------

class RefuseHeap {
 public:
  RefuseHeap() {
    jantor_alloc_refuse_for_test = [](std::size_t) { return true; };
  }
  ~RefuseHeap() { jantor_alloc_refuse_for_test = nullptr; }
};

TEST(Base64Errors, AllocationFailureGivesNullAndPrintsNothing) {
  testing::internal::CaptureStdout();
  {
    RefuseHeap refuse;
    EXPECT_EQ(Base64("abc", 3, 0), nullptr);
    char *out = reinterpret_cast<char *>(1);
    int length = 99;
    EXPECT_EQ(B64decode(0, "QUJD", &out, &length), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(length, 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Base64Errors, ANegativeLengthGivesNull) {
  EXPECT_EQ(Base64("abc", -1, 0), nullptr);
  EXPECT_EQ(B64encode(reinterpret_cast<const unsigned char *>("abc"), -3), nullptr);
}

}  // namespace
