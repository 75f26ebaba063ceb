// How an entry's call is authorized (i_auth). The one scheme is OAuth2
// client credentials: "oauth2 TOKEN_URL client_id=ID client_secret=SECRET
// [scope=S] [audience=A]", words separated by blanks. The values may name
// credentials; they are kept here as stored and resolved by the caller at
// send time, so that a rule never holds a secret and a refusal can name the
// part it refused without a byte of what it held. Also the token request's
// form and the reading of the token server's reply. Pure functions: any
// thread may call them at once.
#ifndef JANTOR_ENGINE_RULES_AUTH_H_
#define JANTOR_ENGINE_RULES_AUTH_H_

#include <string>
#include <string_view>

enum : int {
  kAuthTextMost = 4096,      // bytes of an i_auth text
  kAccessTokenMost = 16384,  // bytes of a token sent as a header value
  kTokenReplyMost = 65536,   // bytes of a token reply read as JSON
};

constexpr long long kDefaultTokenSecs = 3600;      // a token's life when its reply gives none
constexpr long long kLongestTokenSecs = 31536000;  // a longer expires_in counts as this

struct AuthRule {
  std::string token_url;  // as written: the only part ever shown
  std::string host;       // its "scheme://host[:port]", a host text for the HTTP client
  std::string path;       // its path and query; "/" when it has none
  int port = 0;           // its port, else 443 (https) or 80 (http)
  std::string client_id;  // each value as stored: it may name credentials
  std::string client_secret;
  std::string scope;     // "" when not given
  std::string audience;  // "" when not given
};

// Whether text asks for anything at all: NULL and blanks ask for nothing.
bool HasAuth(std::string_view text);

// Reads text into *rule. false, with *reason naming the part refused
// ("i_auth: no client_secret", "i_auth: token URL: http:// only to a
// loopback address"), when the scheme is not oauth2, the token URL,
// client_id or client_secret is missing, a word is no known key=value,
// or the token URL is neither https:// nor http:// to a literal loopback
// address (127.0.0.0/8, [::1]). A reason quotes no value.
bool ParseAuth(std::string_view text, AuthRule* rule, std::string* reason);

// Whether header text (as stored, lines ending in LF or CR LF) has an
// Authorization line, which i_auth would contradict.
bool HeadersAuthorize(std::string_view headers);

// text as application/x-www-form-urlencoded writes it: letters, digits and
// "-._*" as they are, a blank as "+", every other byte as %XX.
std::string FormEncoded(std::string_view text);

// The body of a client credentials token request: grant_type, then scope
// and audience where they are not empty.
std::string TokenRequestBody(std::string_view scope, std::string_view audience);

// What a token server's good reply gave.
struct TokenReply {
  std::string access_token;  // a secret: visible ASCII only, fit for a header
  long long expires_in;      // seconds, 0 to kLongestTokenSecs; -1 when not given
};

// Reads the token server's reply of status with body into *reply. A 2xx
// with a JSON object holding an access_token fit for a header, a
// token_type of Bearer in any case (or none), and an expires_in of whole
// seconds (or none) is good. false otherwise, with *reason saying what the
// server answered ("token server answered 400 (invalid_client)", "token
// server answered 200 without an access_token"); the OAuth2 error code is
// the only text of the reply a reason quotes, and only when it is a short
// code of the characters such codes use.
bool ReadTokenReply(int status, std::string_view body, TokenReply* reply, std::string* reason);

#endif  // JANTOR_ENGINE_RULES_AUTH_H_
