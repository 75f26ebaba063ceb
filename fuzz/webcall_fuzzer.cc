// PrepareWebCall with any method, header text and body: it stays inside the
// texts and the buffers it is given (each an exact-size heap block, so a
// step past one is caught), and what it lets through is safe to send: a
// known method, at most kWebCallHeaderLinesMost lines, each "token: value"
// ending in the one CR LF, with no other line break or control byte, and no
// header that jantor writes itself. A refusal says which part, in fixed words.
// Input: flags NUL method NUL header text NUL body. Bit 0 of the first flag
// byte is has_credentials; the second byte, when there is one, gives a small
// header buffer for a second call.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.h"
#include "http/ll_webcall.h"

namespace {

bool IsTokenChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool SameName(const std::string &name, const char *word) {
  return name.size() == strlen(word) && strncasecmp(name.c_str(), word, name.size()) == 0;
}

std::unique_ptr<char[]> Copy(const std::string &text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

// The checks on what one call accepted or refused.
void CheckCall(int accepted, const WebCall &call, const char *lines, int lines_size,
               const std::string &body, int credentials, const char *reason) {
  size_t reason_length = strnlen(reason, 160);
  FUZZ_CHECK(reason_length < 160);
  if (!accepted) {
    FUZZ_CHECK(reason_length > 0);
    FUZZ_CHECK(strncmp(reason, "method: ", 8) == 0 || strncmp(reason, "header ", 7) == 0 ||
               strncmp(reason, "headers: ", 9) == 0 || strncmp(reason, "body: ", 6) == 0);
    for (size_t i = 0; i < reason_length; ++i) {
      FUZZ_CHECK(reason[i] >= 0x20 && reason[i] < 0x7F);  // no byte of a value comes back
    }
    FUZZ_CHECK(call.method[0] == '\0' && call.body == nullptr && lines[0] == '\0');
    return;
  }
  FUZZ_CHECK(reason_length == 0);
  const char *methods[] = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};
  bool known = false;
  for (const char *method : methods) known = known || strcmp(call.method, method) == 0;
  FUZZ_CHECK(known);
  FUZZ_CHECK(call.headers == lines);
  size_t length = strnlen(lines, static_cast<size_t>(lines_size));
  FUZZ_CHECK(length < static_cast<size_t>(lines_size));
  std::string text(lines, length);
  int count = 0;
  for (size_t start = 0; start < text.size(); ++count) {
    size_t end = text.find("\r\n", start);
    FUZZ_CHECK(end != std::string::npos);
    std::string line = text.substr(start, end - start);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    for (unsigned char c : line) FUZZ_CHECK((c >= 0x20 && c != 0x7F) || c == '\t');
    size_t colon = line.find(": ");
    FUZZ_CHECK(colon != std::string::npos && colon > 0);
    std::string name = line.substr(0, colon);
    for (unsigned char c : name) FUZZ_CHECK(IsTokenChar(c));
    FUZZ_CHECK(!SameName(name, "Host") && !SameName(name, "Content-Length") &&
               !SameName(name, "Transfer-Encoding"));
    FUZZ_CHECK(!(credentials && SameName(name, "Authorization")));
    start = end + 2;
  }
  FUZZ_CHECK(count <= kWebCallHeaderLinesMost);
  FUZZ_CHECK(call.body_length == static_cast<int>(body.size()));
  FUZZ_CHECK(body.empty() ? call.body == nullptr : call.body != nullptr);
  FUZZ_CHECK(body.empty() || strcmp(call.method, "HEAD") != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto fields = fuzz::Fields(data, size, 4);
  const std::string &flags = fields[0];
  int credentials = !flags.empty() && (flags[0] & 1) ? 1 : 0;
  auto method = Copy(fields[1]);
  auto headers = Copy(fields[2]);
  const std::string &body = fields[3];
  std::unique_ptr<char[]> body_copy(new char[body.size() + 1]);
  memcpy(body_copy.get(), body.data(), body.size());

  std::unique_ptr<char[]> lines(new char[kWebCallHeaderLinesSize]);
  WebCall call;
  char reason[160];
  int accepted = PrepareWebCall(method.get(), headers.get(), body_copy.get(),
                                static_cast<int>(body.size()), credentials, &call, lines.get(),
                                kWebCallHeaderLinesSize, reason, sizeof reason);
  CheckCall(accepted, call, lines.get(), kWebCallHeaderLinesSize, body, credentials, reason);

  // A buffer smaller than the REQUIRES asks for is still never overrun.
  if (flags.size() >= 2) {
    int small_size = static_cast<unsigned char>(flags[1]) + 1;
    std::unique_ptr<char[]> small(new char[small_size]);
    char small_reason[160];
    accepted = PrepareWebCall(method.get(), headers.get(), body_copy.get(),
                              static_cast<int>(body.size()), credentials, &call, small.get(),
                              small_size, small_reason, sizeof small_reason);
    CheckCall(accepted, call, small.get(), small_size, body, credentials, small_reason);
  }
  return 0;
}
