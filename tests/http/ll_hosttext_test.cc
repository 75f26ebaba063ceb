#include "http/ll_hosttext.h"

#include <cstring>
#include <memory>
#include <string>

#include "gtest/gtest.h"

namespace {

struct Case {
  const char *text;
  int kind;
  int tls;
  int ipv6;
  const char *name;
  const char *port;
  const char *why;     // null unless kind is kHostTextBad
  const char *header;  // HostTextHeaderValue's result
};

// Parses from an exact-size heap copy, so that a read past the terminator
// is caught by the address sanitizer.
int Parse(const std::string &text, HostText *out, const char **why) {
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  memcpy(exact.get(), text.c_str(), text.size() + 1);
  memset(out, 'x', sizeof *out);  // what the parser leaves unset shows up
  *why = "untouched";
  return ParseHostText(exact.get(), out, why);
}

void Check(const Case &c) {
  SCOPED_TRACE(std::string("text: \"") + c.text + "\"");
  HostText host;
  const char *why;
  EXPECT_EQ(Parse(c.text, &host, &why), c.kind);
  EXPECT_EQ(host.tls, c.tls);
  EXPECT_EQ(host.ipv6, c.ipv6);
  EXPECT_STREQ(host.name, c.name);
  EXPECT_STREQ(host.port, c.port);
  if (c.why == nullptr) {
    EXPECT_EQ(why, nullptr);
  } else {
    EXPECT_STREQ(why, c.why);
  }
  char header[kHostTextNameSize];
  EXPECT_EQ(HostTextHeaderValue(&host, header, sizeof header), 1);
  EXPECT_STREQ(header, c.header);
}

TEST(HostText, PlainTextsAreReportedAsTheyAre) {
  // No colon: whatever the bytes, the caller goes on as before.
  const Case cases[] = {
      {"www.example.com", kHostTextPlain, 0, 0, "www.example.com", "", nullptr, "www.example.com"},
      {"10.0.0.1", kHostTextPlain, 0, 0, "10.0.0.1", "", nullptr, "10.0.0.1"},
      {"", kHostTextPlain, 0, 0, "", "", nullptr, ""},
      {"host/path?q=1 x@y", kHostTextPlain, 0, 0, "host/path?q=1 x@y", "", nullptr,
       "host/path?q=1 x@y"},
      {"[bracket", kHostTextPlain, 0, 0, "[bracket", "", nullptr, "[bracket"},
  };
  for (const Case &c : cases) Check(c);
}

TEST(HostText, SchemesNamesAndPorts) {
  const Case cases[] = {
      {"http://srv", kHostTextParsed, 0, 0, "srv", "", nullptr, "srv"},
      {"HTTP://srv", kHostTextParsed, 0, 0, "srv", "", nullptr, "srv"},
      {"https://srv", kHostTextParsed, 1, 0, "srv", "", nullptr, "srv"},
      {"hTtPs://srv.example.org:8443", kHostTextParsed, 1, 0, "srv.example.org", "8443", nullptr,
       "srv.example.org"},
      {"srv:81", kHostTextParsed, 0, 0, "srv", "81", nullptr, "srv"},
      {"https://127.0.0.1:443/", kHostTextParsed, 1, 0, "127.0.0.1", "443", nullptr, "127.0.0.1"},
      {"http://my_host-1/", kHostTextParsed, 0, 0, "my_host-1", "", nullptr, "my_host-1"},
      {"srv:1", kHostTextParsed, 0, 0, "srv", "1", nullptr, "srv"},
      {"srv:65535", kHostTextParsed, 0, 0, "srv", "65535", nullptr, "srv"},
      {"srv:0080", kHostTextParsed, 0, 0, "srv", "80", nullptr, "srv"},
  };
  for (const Case &c : cases) Check(c);
}

TEST(HostText, Ipv6Literals) {
  const Case cases[] = {
      {"https://[::1]", kHostTextParsed, 1, 1, "::1", "", nullptr, "[::1]"},
      {"https://[::1]:8443/", kHostTextParsed, 1, 1, "::1", "8443", nullptr, "[::1]"},
      {"[fe80::1]:80", kHostTextParsed, 0, 1, "fe80::1", "80", nullptr, "[fe80::1]"},
      {"::1", kHostTextParsed, 0, 1, "::1", "", nullptr, "[::1]"},
      {"http://2001:db8::7/", kHostTextParsed, 0, 1, "2001:db8::7", "", nullptr, "[2001:db8::7]"},
      {"[::ffff:192.0.2.1]", kHostTextParsed, 0, 1, "::ffff:192.0.2.1", "", nullptr,
       "[::ffff:192.0.2.1]"},
  };
  for (const Case &c : cases) Check(c);
}

// ---- Refusals ----------------------------------------------------------------

TEST(HostText, RefusedTextsLeaveTheRecordEmpty) {
  const Case cases[] = {
      {"ftp://srv", kHostTextBad, 0, 0, "", "", "unsupported scheme", ""},
      {"httpx://srv", kHostTextBad, 0, 0, "", "", "unsupported scheme", ""},
      {"://srv", kHostTextBad, 0, 0, "", "", "unsupported scheme", ""},
      {"https://", kHostTextBad, 0, 0, "", "", "no host name", ""},
      {"http://:80", kHostTextBad, 0, 0, "", "", "no host name", ""},
      {"https:///", kHostTextBad, 0, 0, "", "", "no host name", ""},
      {"https://[]:80", kHostTextBad, 0, 0, "", "", "no host name", ""},
      {"srv:", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"srv:0", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"srv:65536", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"srv:99999999999999999999", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"srv:+80", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"srv:80x", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"https://[::1]:", kHostTextBad, 0, 0, "", "", "bad port", ""},
      {"http://srv/index.html", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"http://srv:80//", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"http://user@srv", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"http://srv?x=1", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"http://srv ", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"http://@srv", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"https://[::1]x", kHostTextBad, 0, 0, "", "", "junk after the host name", ""},
      {"https://[::1", kHostTextBad, 0, 0, "", "", "bad IPv6 address", ""},
      {"https://[srv]", kHostTextBad, 0, 0, "", "", "bad IPv6 address", ""},
      {"[fe80::1%eth0]", kHostTextBad, 0, 0, "", "", "bad IPv6 address", ""},
      {"fe80::1%eth0", kHostTextBad, 0, 0, "", "", "bad IPv6 address", ""},
      {"srv:80:90", kHostTextBad, 0, 0, "", "", "bad IPv6 address", ""},
      {"1:2:3:4:5:6:7:8:9", kHostTextBad, 0, 0, "", "", "bad IPv6 address", ""},
  };
  for (const Case &c : cases) Check(c);
}

TEST(HostText, NameLengthLimit) {
  const std::string longest(kHostTextNameMax, 'a');
  HostText host;
  const char *why;
  EXPECT_EQ(Parse("https://" + longest + ":443", &host, &why), kHostTextParsed);
  EXPECT_EQ(host.name, longest);
  EXPECT_EQ(Parse("https://" + longest + "a", &host, &why), kHostTextBad);
  EXPECT_STREQ(why, "host name too long");
  EXPECT_STREQ(host.name, "");

  // A plain text is used as it is by the caller, however long; the record
  // only has no copy of it.
  const std::string plain(300, 'p');
  EXPECT_EQ(Parse(plain, &host, &why), kHostTextPlain);
  EXPECT_STREQ(host.name, "");
  EXPECT_EQ(why, nullptr);
}

TEST(HostText, NullTextIsPlainAndEmptyAndWhyIsOptional) {
  HostText host;
  EXPECT_EQ(ParseHostText(nullptr, &host, nullptr), kHostTextPlain);
  EXPECT_STREQ(host.name, "");
  EXPECT_EQ(ParseHostText("gopher://srv", &host, nullptr), kHostTextBad);
}

TEST(HostText, HeaderValueRefusesASmallBuffer) {
  HostText host;
  ASSERT_EQ(ParseHostText("https://[::1]:8443", &host, nullptr), kHostTextParsed);
  char header[6];
  EXPECT_EQ(HostTextHeaderValue(&host, header, 5), 0);  // "[::1]" needs 6 with its NUL
  EXPECT_STREQ(header, "");
  EXPECT_EQ(HostTextHeaderValue(&host, header, 6), 1);
  EXPECT_STREQ(header, "[::1]");
  EXPECT_EQ(HostTextHeaderValue(&host, header, 0), 0);
}

}  // namespace
