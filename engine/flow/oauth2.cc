#include "engine/flow/oauth2.h"

#include <string.h>

#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "engine/flow/credentials.h"
#include "http/ll_http.h"

namespace {

// A fetch may take this long, name lookup to last byte: every hit that
// wants its token waits for it.
constexpr int kTokenFetchSecs = 30;

constexpr char kTokenRequestHeaders[] =
    "Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";

void Forget(std::string* text) {
  if (!text->empty()) explicit_bzero(text->data(), text->size());
  text->clear();
}

// What the store keeps of one token.
struct Slot {
  std::string token;                      // "" while none is kept
  unsigned long long serial = 0;          // the fetch that gave it; 0 while none is kept
  long long renew_at_us = 0;              // MonotonicUs from which it is fetched again
  bool fetching = false;                  // a hit is fetching it; the others wait
  unsigned long long failed_cycle = 0;    // the cycle of the latest failed fetch
  std::string failed_reason;              // and what it came to
  unsigned long long renewed_serial = 0;  // the token that a 401 made fetch,
  unsigned long long renewed_cycle = 0;   // and the cycle that did
};

struct Store {
  std::mutex mutex;
  std::condition_variable fetch_ended;
  unsigned long long cycle = 1;                 // GUARDED_BY(mutex)
  unsigned long long serials = 0;               // GUARDED_BY(mutex)
  std::unordered_map<std::string, Slot> slots;  // GUARDED_BY(mutex); never erased, so a
                                                // Slot stays where it is
};

Store& TheStore() {
  static Store store;
  return store;
}

// Every part that makes a token server give another token, each after its
// length, so that no two clients can share a key. The secret is part of
// it: a changed secret fetches anew rather than use what the old one got.
std::string KeyOf(const OAuth2Client& client) {
  std::string key;
  for (const std::string* part : {&client.rule.token_url, &client.client_id, &client.client_secret,
                                  &client.scope, &client.audience}) {
    key += std::to_string(part->size());
    key += ':';
    key += *part;
  }
  return key;
}

// Posts the client credentials grant to the token server: the client
// authenticated by HTTP Basic with its form-encoded id and secret, which
// every server must take. false with the reason when no good reply came.
bool Fetch(const OAuth2Client& client, TokenReply* reply, std::string* reason) {
  std::string user = FormEncoded(client.client_id);
  std::string password = FormEncoded(client.client_secret);
  std::string body = TokenRequestBody(client.scope, client.audience);
  HttpRequestRecord request;
  HttpRequestFor(&request, client.rule.host.c_str(), client.rule.path.c_str(), client.rule.port,
                 user.c_str(), password.c_str());
  request.want_header = 0;  // the status comes apart; the body is the JSON
  WebCall call{};
  CopyText(call.method, "POST");
  call.headers = kTokenRequestHeaders;
  call.body = body.data();
  call.body_length = static_cast<int>(body.size());
  call.time_limit = kTokenFetchSecs;
  request.call = &call;
  request.time_limit = kTokenFetchSecs;
  char* text = nullptr;
  HttpResult result;
  {
    // The client's trace words include the reply, token and all.
    MutedOutput muted(true);
    HttpSend(0, &request, &text, &result);
  }
  Forget(&user);
  Forget(&password);
  Forget(&body);
  bool good;
  if (result.status == 0 || (result.end != kHttpReplyRead && result.end != kHttpReplyTooLarge)) {
    *reason =
        result.end == kHttpNotReached ? "token server unreachable: " : "token server failed: ";
    *reason += result.reason[0] != '\0' ? result.reason : "no reply";
    good = false;
  } else {
    good = ReadTokenReply(result.status, text != nullptr ? text : "", reply, reason);
  }
  if (text != nullptr) {
    explicit_bzero(text, strlen(text));
    firee(text);
  }
  return good;
}

// The client's token: the kept one while it is fresh and not the one
// numbered stale (0 for none), else a fetched one.
OAuth2Renewal Obtain(const OAuth2Client& client, unsigned long long stale, OAuth2Token* token,
                     std::string* reason) {
  Store& store = TheStore();
  std::string key = KeyOf(client);
  std::unique_lock<std::mutex> lock(store.mutex);
  Slot& slot = store.slots[key];
  Forget(&key);
  store.fetch_ended.wait(lock, [&slot] { return !slot.fetching; });
  if (slot.failed_cycle == store.cycle) {
    *reason = slot.failed_reason;
    return kTokenFailed;
  }
  if (slot.serial != 0 && slot.serial != stale && MonotonicUs() < slot.renew_at_us) {
    token->value = slot.token;
    token->serial = slot.serial;
    return kTokenRenewed;
  }
  if (stale != 0 && slot.serial == stale && slot.renewed_serial == stale &&
      slot.renewed_cycle == store.cycle)
    return kTokenStands;
  slot.fetching = true;
  unsigned long long cycle = store.cycle;
  lock.unlock();
  long long started = MonotonicUs();
  TokenReply reply;
  std::string why;
  bool good = Fetch(client, &reply, &why);
  lock.lock();
  slot.fetching = false;
  Forget(&slot.token);
  slot.serial = 0;
  if (good) {
    slot.token.swap(reply.access_token);
    slot.serial = ++store.serials;
    long long life = reply.expires_in < 0 ? kDefaultTokenSecs : reply.expires_in;
    // Counted from before the request went out, so never later than the
    // server's own count.
    slot.renew_at_us = started + life * 900000;
    if (stale != 0) {
      slot.renewed_serial = slot.serial;
      slot.renewed_cycle = cycle;
    }
    token->value = slot.token;
    token->serial = slot.serial;
  } else {
    slot.failed_cycle = cycle;
    slot.failed_reason = why;
    *reason = why;
  }
  store.fetch_ended.notify_all();
  return good ? kTokenRenewed : kTokenFailed;
}

}  // namespace

OAuth2Client::~OAuth2Client() {
  for (std::string* text : {&client_id, &client_secret, &scope, &audience, &rule.client_id,
                            &rule.client_secret, &rule.scope, &rule.audience})
    Forget(text);
}

OAuth2Token::~OAuth2Token() { Forget(&value); }

bool PrepareOAuth2Client(std::string_view text, OAuth2Client* client, std::string* reason) {
  if (!ParseAuth(text, &client->rule, reason)) return false;
  struct Value {
    const std::string* stored;
    std::string* resolved;
  };
  const Value values[] = {{&client->rule.client_id, &client->client_id},
                          {&client->rule.client_secret, &client->client_secret},
                          {&client->rule.scope, &client->scope},
                          {&client->rule.audience, &client->audience}};
  for (const Value& value : values) {
    if (!MayNameCredential(*value.stored)) {
      *value.resolved = *value.stored;
    } else if (!ResolveCredentials(*value.stored, "i_auth", value.resolved, reason)) {
      return false;
    }
  }
  return true;
}

void StartOAuth2Cycle() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  ++store.cycle;
}

bool TakeOAuth2Token(const OAuth2Client& client, OAuth2Token* token, std::string* reason) {
  return Obtain(client, 0, token, reason) == kTokenRenewed;
}

OAuth2Renewal RenewOAuth2Token(const OAuth2Client& client, OAuth2Token* token,
                               std::string* reason) {
  unsigned long long refused = token->serial;
  Forget(&token->value);
  token->serial = 0;
  return Obtain(client, refused, token, reason);
}
