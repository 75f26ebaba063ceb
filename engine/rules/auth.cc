#include "engine/rules/auth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/ll_ascii.h"
#include "http/ll_hosttext.h"

namespace {

using Json = nlohmann::json;

bool SameWord(std::string_view text, std::string_view word) {
  return text.size() == word.size() && strncasecmp(text.data(), word.data(), word.size()) == 0;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsWhiteSpace(text[at])) ++at;
    size_t end = at;
    while (end < text.size() && !IsWhiteSpace(text[end])) ++end;
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// A key as a user would write one: a reason may name it. Anything else
// may be a value put in the wrong place, and is named by its position.
bool NameLike(std::string_view key) {
  if (key.empty() || key.size() > 32) return false;
  for (char c : key)
    if (!IsLetter(c) && !IsDigit(c) && c != '_' && c != '-') return false;
  return true;
}

bool IsLoopbackLiteral(const HostText& host) {
  if (host.ipv6) {
    in6_addr address;
    return inet_pton(AF_INET6, host.name, &address) == 1 && IN6_IS_ADDR_LOOPBACK(&address);
  }
  in_addr address;
  return inet_pton(AF_INET, host.name, &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// Takes the token URL apart into *rule; false with the reason's tail.
bool ReadTokenUrl(std::string_view url, AuthRule* rule, std::string* why) {
  size_t separator = url.find("://");
  std::string_view scheme = url.substr(0, separator);
  bool tls = SameWord(scheme, "https");
  if (separator == std::string_view::npos || (!tls && !SameWord(scheme, "http"))) {
    *why = "token URL: not https://";
    return false;
  }
  // The URL is shown in traces and reasons, so it may hold no secret.
  if (url.find("${") != std::string_view::npos) {
    *why = "token URL: names a credential; only the values may";
    return false;
  }
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7f) {
      *why = "token URL: holds a control character";
      return false;
    }
  }
  if (url.find('#') != std::string_view::npos) {
    *why = "token URL: holds a fragment";
    return false;
  }
  std::string_view rest = url.substr(separator + 3);
  size_t path_at = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, path_at);
  if (authority.find('@') != std::string_view::npos) {
    *why = "token URL: holds user info; give client_id and client_secret";
    return false;
  }
  std::string host = std::string(url.substr(0, separator + 3)) + std::string(authority);
  HostText parts;
  const char* refused = nullptr;
  if (ParseHostText(host.c_str(), &parts, &refused) != kHostTextParsed) {
    *why = std::string("token URL: ") + (refused != nullptr ? refused : "no host name");
    return false;
  }
  // A token and a client secret cross the wire in the clear only where no
  // other machine can see them.
  if (!tls && !IsLoopbackLiteral(parts)) {
    *why = "token URL: http:// only to a loopback address; use https://";
    return false;
  }
  rule->token_url = std::string(url);
  rule->host = host;
  std::string_view path = path_at == std::string_view::npos ? "" : rest.substr(path_at);
  rule->path = path.empty() || path[0] == '?' ? "/" + std::string(path) : std::string(path);
  rule->port = parts.port[0] != '\0' ? atoi(parts.port) : tls ? 443 : 80;
  return true;
}

// The OAuth2 error code of a reply, when it is one: a short text of the
// characters such codes are made of ("invalid_client"); "" otherwise.
std::string ErrorCode(const Json& document) {
  if (!document.is_object()) return "";
  auto error = document.find("error");
  if (error == document.end() || !error->is_string()) return "";
  const std::string& code = error->get_ref<const std::string&>();
  if (code.empty() || code.size() > 64) return "";
  for (unsigned char c : code)
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return "";
  return code;
}

// expires_in as whole seconds: a number, or a text of digits as some
// servers send it; -1 when it is missing or neither.
long long ExpiresIn(const Json& document) {
  auto found = document.find("expires_in");
  if (found == document.end()) return -1;
  double seconds = -1;
  if (found->is_number()) {
    seconds = found->get<double>();
  } else if (found->is_string()) {
    const std::string& digits = found->get_ref<const std::string&>();
    if (digits.empty() || digits.size() > 12) return -1;
    for (char c : digits)
      if (!IsDigit(c)) return -1;
    seconds = std::stod(digits);
  } else {
    return -1;
  }
  if (!std::isfinite(seconds)) return -1;
  if (seconds < 0) return 0;
  if (seconds > static_cast<double>(kLongestTokenSecs)) return kLongestTokenSecs;
  return static_cast<long long>(seconds);
}

}  // namespace

bool HasAuth(std::string_view text) {
  for (char c : text)
    if (!IsWhiteSpace(c)) return true;
  return false;
}

bool ParseAuth(std::string_view text, AuthRule* rule, std::string* reason) {
  *rule = AuthRule();
  std::string why;
  auto refuse = [&](const std::string& tail) {
    *rule = AuthRule();
    *reason = "i_auth: " + tail;
    return false;
  };
  if (text.size() > kAuthTextMost) return refuse("longer than 4096 bytes");
  std::vector<std::string_view> words = Words(text);
  if (words.empty() || !SameWord(words[0], "oauth2")) return refuse("the scheme is not oauth2");
  struct Key {
    const char* name;
    std::string* value;
    bool given;
  };
  AuthRule parsed;
  Key keys[] = {{"client_id", &parsed.client_id, false},
                {"client_secret", &parsed.client_secret, false},
                {"scope", &parsed.scope, false},
                {"audience", &parsed.audience, false}};
  auto key_of = [&](std::string_view word) -> Key* {
    size_t equals = word.find('=');
    if (equals == std::string_view::npos) return nullptr;
    for (Key& key : keys)
      if (word.substr(0, equals) == key.name) return &key;
    return nullptr;
  };
  if (words.size() < 2 || key_of(words[1]) != nullptr) return refuse("no token URL");
  if (!ReadTokenUrl(words[1], &parsed, &why)) return refuse(why);
  for (size_t at = 2; at < words.size(); ++at) {
    std::string_view word = words[at];
    std::string position = "word " + std::to_string(at + 1);
    size_t equals = word.find('=');
    if (equals == std::string_view::npos) return refuse(position + " is not key=value");
    Key* key = key_of(word);
    if (key == nullptr) {
      std::string_view name = word.substr(0, equals);
      return refuse(NameLike(name) ? "unknown key '" + std::string(name) + "'"
                                   : position + ": unknown key");
    }
    if (key->given) return refuse(std::string(key->name) + " given twice");
    if (equals + 1 == word.size()) return refuse(std::string(key->name) + " is empty");
    key->given = true;
    key->value->assign(word.substr(equals + 1));
  }
  if (!keys[0].given) return refuse("no client_id");
  if (!keys[1].given) return refuse("no client_secret");
  *rule = std::move(parsed);
  return true;
}

bool HeadersAuthorize(std::string_view headers) {
  constexpr std::string_view kName = "authorization:";
  while (!headers.empty()) {
    size_t end = headers.find('\n');
    std::string_view line = headers.substr(0, end);
    if (line.size() >= kName.size() && SameWord(line.substr(0, kName.size()), kName)) return true;
    if (end == std::string_view::npos) break;
    headers.remove_prefix(end + 1);
  }
  return false;
}

std::string FormEncoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (IsLetter(static_cast<char>(c)) || IsDigit(static_cast<char>(c)) || c == '-' || c == '.' ||
        c == '_' || c == '*') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::string TokenRequestBody(std::string_view scope, std::string_view audience) {
  std::string body = "grant_type=client_credentials";
  if (!scope.empty()) body += "&scope=" + FormEncoded(scope);
  if (!audience.empty()) body += "&audience=" + FormEncoded(audience);
  return body;
}

bool ReadTokenReply(int status, std::string_view body, TokenReply* reply, std::string* reason) {
  reply->access_token.clear();
  reply->expires_in = -1;
  std::string answered = "token server answered " + std::to_string(status);
  bool fits = body.size() <= static_cast<size_t>(kTokenReplyMost);
  Json document = fits ? Json::parse(body.begin(), body.end(), nullptr, false) : Json();
  if (status < 200 || status > 299) {
    std::string code = ErrorCode(document);
    *reason = answered + (code.empty() ? "" : " (" + code + ")");
    return false;
  }
  if (!fits) {
    *reason = answered + " with more than " + std::to_string(kTokenReplyMost) + " bytes";
    return false;
  }
  if (!document.is_object()) {
    *reason = answered + " without a JSON object";
    return false;
  }
  auto token = document.find("access_token");
  if (token == document.end() || !token->is_string() ||
      token->get_ref<const std::string&>().empty()) {
    *reason = answered + " without an access_token";
    return false;
  }
  std::string& value = token->get_ref<std::string&>();
  bool fit = value.size() <= static_cast<size_t>(kAccessTokenMost);
  for (unsigned char c : value) fit = fit && c >= 0x21 && c <= 0x7e;
  auto type = document.find("token_type");
  bool bearer = type == document.end() ||
                (type->is_string() && SameWord(type->get_ref<const std::string&>(), "bearer"));
  if (fit && bearer) reply->access_token = value;
  // The parsed copy is a secret too: it leaves no trace in freed memory.
  explicit_bzero(value.data(), value.size());
  if (!fit) {
    *reason = answered + " with an access_token unfit for a header";
    return false;
  }
  if (!bearer) {
    *reason = answered + " with a token_type other than Bearer";
    return false;
  }
  reply->expires_in = ExpiresIn(document);
  return true;
}
