#include "http/ll_webcall.h"

#include <string>

#include "gtest/gtest.h"

namespace {

std::string Times(int count, const std::string &text) {
  std::string all;
  for (int i = 0; i < count; ++i) all += text;
  return all;
}

// expected: "METHOD|header lines" when the call is accepted, else the reason.
TEST(WebCall, PrepareAcceptsCheckedPartsAndRefusesByNameNeverByValue) {
  const std::string tokens = "!#$%&'*+-.^_`|~09: v",
                    most = std::string(kWebCallHeaderBytesMost - 3, 'v');
  const std::string big(kWebCallBodyMost + 1, 'b'),
      method = "method: not one of GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS";
  struct {
    const char *method;
    std::string headers;
    const char *body;
    int body_length, credentials;
    std::string expected;
  } cases[] = {
      {nullptr, "", nullptr, 0, 1, "GET|"},
      {"oPtIoNs", "", "x", 0, 0, "OPTIONS|"},
      {"delete", "A: 1\nB:2\r\n\r\n \t\nC: \t x:y\xE9 \t\r\nD:\nAuthorization: z\nX-Tab: a\tb",
       nullptr, 0, 0,
       "DELETE|A: 1\r\nB: 2\r\nC: x:y\xE9\r\nD: \r\nAuthorization: z\r\nX-Tab: a\tb\r\n"},
      {"HEAD", Times(64, tokens + "\n"), nullptr, 0, 0, "HEAD|" + Times(64, tokens + "\r\n")},
      {"PUT", "A: " + most, "b", 1, 0, "PUT|A: " + most + "\r\n"},
      // ---- refused
      {"FETCH", "", nullptr, 0, 0, method},
      {"GET ", "", nullptr, 0, 0, method},
      {"GET", "\r\nA: s3cr3t\n\nB s3cr3t", nullptr, 0, 0, "header 2: no colon after the name"},
      {"GET", ": s3cr3t", nullptr, 0, 0, "header 1: name is not a token"},
      {"GET", "N\xE9 : s3cr3t", nullptr, 0, 0, "header 1: name is not a token"},
      {"GET", "A: s3cr3t\rB: x", nullptr, 0, 0, "header 1: value holds a line break"},
      {"GET", "A: s3cr3t\x7f", nullptr, 0, 0, "header 1: value holds a control character"},
      {"GET", "A: 1\nhOST: s3cr3t", nullptr, 0, 0, "header 2: Host is written by jantor"},
      {"GET", "content-length: 5", nullptr, 0, 0, "header 1: Content-Length is written by jantor"},
      {"GET", "TRANSFER-ENCODING: x", nullptr, 0, 0,
       "header 1: Transfer-Encoding is written by jantor"},
      {"GET", "authorization: s3cr3t", nullptr, 0, 1,
       "header 1: Authorization given while i_user or i_pass is set; keep one of them"},
      {"GET", Times(65, "A: s3cr3t\n"), nullptr, 0, 0, "headers: more than 64 lines"},
      {"GET", "A: " + most + "v", nullptr, 0, 0, "headers: more than 16384 bytes"},
      {"POST", "", big.data(), kWebCallBodyMost + 1, 0, "body: more than 1048576 bytes"},
      {"head", "", "b", 1, 0, "body: given with HEAD"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.headers.substr(0, 60));
    WebCall call;
    static char lines[kWebCallHeaderLinesSize];
    char reason[160] = "unset";
    int accepted = PrepareWebCall(c.method, c.headers.c_str(), c.body, c.body_length, c.credentials,
                                  &call, lines, sizeof lines, reason, sizeof reason);
    ASSERT_EQ(accepted, c.expected.find('|') != std::string::npos ? 1 : 0) << reason;
    if (accepted) {
      EXPECT_EQ(std::string(call.method) + "|" + call.headers + reason, c.expected);
      EXPECT_EQ(call.headers, lines);
      bool has_body = c.body != nullptr && c.body_length > 0;
      EXPECT_EQ(call.body, has_body ? c.body : nullptr);
      EXPECT_EQ(call.body_length + call.time_limit, has_body ? c.body_length : 0);
    } else {  // the reason, and a call that cannot be sent
      EXPECT_EQ(reason, c.expected);
      EXPECT_EQ(std::string(reason).find("s3cr3t"), std::string::npos);
      EXPECT_EQ(std::string(call.method) + call.headers + lines, "");
      EXPECT_EQ(call.body, nullptr);
    }
  }
}

}  // namespace
