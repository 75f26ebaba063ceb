// The OAuth2 tokens of the entries whose calls carry one (i_auth, client
// credentials): fetched from the token server with the client's id and
// secret, kept in memory only, and shared by every entry with the same
// token URL, client, secret, scope and audience. A token is fetched again
// once 90% of its life has passed (an hour when its reply gives none), or
// once after the target answered 401 to it. A token has one fetch at a
// time: the other hits that want it wait for that fetch and share what it
// came to. A failed fetch stands for the rest of the cycle, so that a cycle
// asks a failing token server once a token, not once a hit.
// Any thread may call these at once; the store's lock guards the tokens
// and is never held while the network is waited on.
#ifndef JANTOR_ENGINE_FLOW_OAUTH2_H_
#define JANTOR_ENGINE_FLOW_OAUTH2_H_

#include <string>
#include <string_view>

#include "engine/rules/auth.h"

// An entry's rule with its values resolved: secrets, wiped when it ends.
struct OAuth2Client {
  AuthRule rule;  // as stored, for the token URL and the reasons
  std::string client_id, client_secret, scope, audience;  // resolved
  OAuth2Client() = default;
  OAuth2Client(const OAuth2Client&) = delete;
  OAuth2Client& operator=(const OAuth2Client&) = delete;
  ~OAuth2Client();
};

// A token as a hit holds it: wiped when it ends.
struct OAuth2Token {
  std::string value;              // the access token, for the Authorization line only
  unsigned long long serial = 0;  // which fetch gave it; 0 for none
  OAuth2Token() = default;
  OAuth2Token(const OAuth2Token&) = delete;
  OAuth2Token& operator=(const OAuth2Token&) = delete;
  ~OAuth2Token();
};

// Reads an entry's i_auth text and resolves the credentials its values
// name into *client. false, with the reason of the refusal (the part or the
// reference refused, never a value), when either is refused.
bool PrepareOAuth2Client(std::string_view text, OAuth2Client* client, std::string* reason);

// Lets a token whose fetch failed be fetched again: called as a cycle
// starts.
void StartOAuth2Cycle();

// The client's token: the one kept while it is fresh, else a new one.
// false, with the reason ("token server answered 400 (invalid_client)",
// "token server unreachable: ..."), when the fetch fails or failed
// earlier in this cycle.
bool TakeOAuth2Token(const OAuth2Client& client, OAuth2Token* token, std::string* reason);

// What became of a token the target answered 401 to.
enum OAuth2Renewal : int {
  kTokenRenewed,  // *token holds a newer one: make the attempt again with it
  kTokenStands,   // the 401 stands: this very token was itself fetched after a 401
                  // in this cycle, and another would fare no better
  kTokenFailed,   // no newer one could be had; *reason says why
};

// After the target answered 401 to *token: that token is dropped (unless
// another hit has replaced it already, whose newer one is then taken) and
// a new one fetched into *token.
OAuth2Renewal RenewOAuth2Token(const OAuth2Client& client, OAuth2Token* token, std::string* reason);

#endif  // JANTOR_ENGINE_FLOW_OAUTH2_H_
