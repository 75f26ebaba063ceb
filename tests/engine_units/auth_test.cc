#include "engine/rules/auth.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AuthRule, ReadsTheTokenUrlAndTheValuesAsStored) {
  struct Case {
    std::string text;
    std::string host, path;
    int port;
    std::string client_id, client_secret, scope, audience;
  };
  const Case cases[] = {
      {"oauth2 https://login.example.com/oauth2/v2.0/token client_id=app "
       "client_secret=${cred:secret}",
       "https://login.example.com", "/oauth2/v2.0/token", 443, "app", "${cred:secret}", "", ""},
      {" OAuth2\thttps://idp.example:8443?tenant=a  client_secret=s=1 client_id=${cred:id}\n"
       "scope=read:a audience=https://api.example ",
       "https://idp.example:8443", "/?tenant=a", 8443, "${cred:id}", "s=1", "read:a",
       "https://api.example"},
      {"oauth2 http://127.0.0.9:8080/token client_id=a client_secret=b", "http://127.0.0.9:8080",
       "/token", 8080, "a", "b", "", ""},
      {"oauth2 HTTP://[::1]/t client_id=a client_secret=b", "HTTP://[::1]", "/t", 80, "a", "b", "",
       ""},
  };
  for (const Case& c : cases) {
    AuthRule rule;
    std::string reason;
    ASSERT_TRUE(ParseAuth(c.text, &rule, &reason)) << c.text << ": " << reason;
    EXPECT_EQ(rule.host, c.host) << c.text;
    EXPECT_EQ(rule.path, c.path) << c.text;
    EXPECT_EQ(rule.port, c.port) << c.text;
    EXPECT_EQ(rule.client_id, c.client_id) << c.text;
    EXPECT_EQ(rule.client_secret, c.client_secret) << c.text;
    EXPECT_EQ(rule.scope, c.scope) << c.text;
    EXPECT_EQ(rule.audience, c.audience) << c.text;
  }
  EXPECT_FALSE(HasAuth(" \t\r\n"));
  EXPECT_TRUE(HasAuth(" x"));
}

// A refusal names the part, never a value: a value in the scheme's place
// or without its key is named by position.
TEST(AuthRule, RefusalsNameThePartAndNoValue) {
  const std::string url = "https://idp.example/token";
  const std::string pair = " client_id=a client_secret=b";
  const std::pair<std::string, std::string> cases[] = {
      {"", "the scheme is not oauth2"},
      {"client_secret=hunter2 oauth2 " + url, "the scheme is not oauth2"},
      {"basic " + url + pair, "the scheme is not oauth2"},
      {"oauth2", "no token URL"},
      {"oauth2 client_id=a client_secret=b", "no token URL"},
      {"oauth2 " + url + " client_secret=b", "no client_id"},
      {"oauth2 " + url + " client_id=a", "no client_secret"},
      {"oauth2 " + url + pair + " hunter2", "word 5 is not key=value"},
      {"oauth2 " + url + pair + " resource=x", "unknown key 'resource'"},
      {"oauth2 " + url + pair + " hunter2:x=y", "word 5: unknown key"},
      {"oauth2 " + url + pair + " client_id=c", "client_id given twice"},
      {"oauth2 " + url + pair + " scope=", "scope is empty"},
      {"oauth2 ftp://idp.example/token" + pair, "token URL: not https://"},
      {"oauth2 idp.example/token" + pair, "token URL: not https://"},
      {"oauth2 http://idp.example/token" + pair,
       "token URL: http:// only to a loopback address; use https://"},
      {"oauth2 http://localhost/token" + pair,
       "token URL: http:// only to a loopback address; use https://"},
      {"oauth2 http://128.0.0.1/token" + pair,
       "token URL: http:// only to a loopback address; use https://"},
      {"oauth2 http://[::2]/token" + pair,
       "token URL: http:// only to a loopback address; use https://"},
      {"oauth2 https://user:pw@idp.example/token" + pair,
       "token URL: holds user info; give client_id and client_secret"},
      {"oauth2 https://idp.example/token#x" + pair, "token URL: holds a fragment"},
      {"oauth2 https://idp.example/${cred:path}" + pair,
       "token URL: names a credential; only the values may"},
      {"oauth2 https://idp.example/\x01" + pair, "token URL: holds a control character"},
      {"oauth2 https:///token" + pair, "token URL: no host name"},
      {"oauth2 https://idp.example:99999/token" + pair, "token URL: bad port"},
      {"oauth2 " + url + pair + " audience=" + std::string(4096, 'a'), "longer than 4096 bytes"},
  };
  for (auto& [text, why] : cases) {
    AuthRule rule;
    rule.client_secret = "left over";
    std::string reason;
    EXPECT_FALSE(ParseAuth(text, &rule, &reason)) << text;
    EXPECT_EQ(reason, "i_auth: " + why) << text;
    EXPECT_EQ(rule.client_secret, "") << text;
    EXPECT_EQ(reason.find("hunter2"), std::string::npos);
  }
}

TEST(AuthRule, AnAuthorizationLineInTheHeadersIsFound) {
  EXPECT_TRUE(HeadersAuthorize("Authorization: Bearer x"));
  EXPECT_TRUE(HeadersAuthorize("X-A: 1\r\nauthorization:Basic y\r\n"));
  EXPECT_TRUE(HeadersAuthorize("X-A: 1\nAUTHORIZATION: z"));
  EXPECT_FALSE(HeadersAuthorize(""));
  EXPECT_FALSE(HeadersAuthorize("X-Authorization: 1\nProxy-Authorization: 2"));
  EXPECT_FALSE(HeadersAuthorize("X-Note: Authorization: no"));
}

TEST(TokenRequest, TheFormIsUrlEncoded) {
  EXPECT_EQ(FormEncoded("a-Z_0.9*"), "a-Z_0.9*");
  EXPECT_EQ(FormEncoded("a b+c/d:e%f~\xc3\xa9"), "a+b%2Bc%2Fd%3Ae%25f%7E%C3%A9");
  EXPECT_EQ(TokenRequestBody("", ""), "grant_type=client_credentials");
  EXPECT_EQ(TokenRequestBody("read write", "https://api.example/"),
            "grant_type=client_credentials&scope=read+write&audience=https%3A%2F%2Fapi.example%2F");
}

TEST(TokenReply, ATokenFitForAHeaderOfTypeBearer) {
  struct Case {
    int status;
    std::string body;
    bool good;
    std::string token_or_reason;
    long long expires_in;
  };
  const std::string big(70000, ' ');
  const Case cases[] = {
      {200, R"({"access_token":"eyJ.a-b_c~+/=","token_type":"Bearer","expires_in":3599})", true,
       "eyJ.a-b_c~+/=", 3599},
      {200, R"({"access_token":"t","token_type":"bEaReR","expires_in":"120"})", true, "t", 120},
      {201, R"({"access_token":"t"})", true, "t", -1},
      {200, R"({"access_token":"t","expires_in":59.9})", true, "t", 59},
      {200, R"({"access_token":"t","expires_in":-5})", true, "t", 0},
      {200, R"({"access_token":"t","expires_in":1e300})", true, "t", kLongestTokenSecs},
      {200, R"({"access_token":"t","expires_in":"soon"})", true, "t", -1},
      {200, R"({"access_token":"t","expires_in":null})", true, "t", -1},
      {400, R"({"error":"invalid_client","error_description":"bad secret hunter2"})", false,
       "token server answered 400 (invalid_client)", -1},
      {401, R"({"error":"invalid_client"})", false, "token server answered 401 (invalid_client)",
       -1},
      {500, "<html>oops</html>", false, "token server answered 500", -1},
      {400, R"({"error":"bad\"quote"})", false, "token server answered 400", -1},
      {400, R"({"error":")" + std::string(65, 'x') + R"("})", false, "token server answered 400",
       -1},
      {400, R"({"error":7})", false, "token server answered 400", -1},
      {200, "not json", false, "token server answered 200 without a JSON object", -1},
      {200, R"(["access_token"])", false, "token server answered 200 without a JSON object", -1},
      {200, R"({"token_type":"Bearer"})", false,
       "token server answered 200 without an access_token", -1},
      {200, R"({"access_token":""})", false, "token server answered 200 without an access_token",
       -1},
      {200, R"({"access_token":5})", false, "token server answered 200 without an access_token",
       -1},
      {200, R"({"access_token":"a b"})", false,
       "token server answered 200 with an access_token unfit for a header", -1},
      {200, R"({"access_token":"a\r\nX-Evil: 1"})", false,
       "token server answered 200 with an access_token unfit for a header", -1},
      {200, R"({"access_token":")" + std::string(16385, 't') + R"("})", false,
       "token server answered 200 with an access_token unfit for a header", -1},
      {200, R"({"access_token":"t","token_type":"mac"})", false,
       "token server answered 200 with a token_type other than Bearer", -1},
      {200, R"({"access_token":"t","token_type":null})", false,
       "token server answered 200 with a token_type other than Bearer", -1},
      {200, R"({"access_token":"t"})" + big, false,
       "token server answered 200 with more than 65536 bytes", -1},
  };
  for (const Case& c : cases) {
    TokenReply reply;
    reply.access_token = "left over";
    std::string reason;
    std::string what = std::to_string(c.status) + " " + c.body.substr(0, 80);
    ASSERT_EQ(ReadTokenReply(c.status, c.body, &reply, &reason), c.good) << what << ": " << reason;
    if (c.good) {
      EXPECT_EQ(reply.access_token, c.token_or_reason) << what;
      EXPECT_EQ(reply.expires_in, c.expires_in) << what;
    } else {
      EXPECT_EQ(reason, c.token_or_reason) << what;
      EXPECT_EQ(reply.access_token, "") << what;
    }
  }
}

}  // namespace
