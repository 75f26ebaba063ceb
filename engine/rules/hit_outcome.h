// What a hit came to, in one word: the words are what the results table
// stores and the metrics count, so they are an interface and never change.
// ClassifyHit is the one place that turns the HTTP client's result into a
// word. Pure functions: any thread may call them at once.
#ifndef JANTOR_ENGINE_RULES_HIT_OUTCOME_H_
#define JANTOR_ENGINE_RULES_HIT_OUTCOME_H_

#include "http/ll_http.h"

enum HitOutcome : int {
  kHitOk,           // "ok": status 2xx
  kHitRedirect,     // "redirect": 3xx
  kHitClientError,  // "client-error": 4xx
  kHitServerError,  // "server-error": 5xx
  kHitNoStatus,     // "no-status": a reply, empty or not, without a readable status line
  kHitUnreachable,  // "unreachable": not resolved, or every port refused or unreachable
  kHitTimeout,      // "timeout": a connect, send or reply time limit ran out
  kHitTooLarge,     // "too-large": the reply passed its size cap
  kHitTls,          // "tls": the handshake or the certificate check failed
  kHitBadHost,      // "bad-host": the host text was refused
  kHitError,        // "error": anything else
  kHitBadRequest,   // "bad-request": the entry's method, headers or body were refused unsent
  kHitBadSchedule,  // "bad-schedule": the entry's i_cron or i_zone was refused; not hit
  kHitUnexpected,   // "unexpected": a reply that does not meet the entry's i_expect
  kHitNoToken,      // "no-token": the entry's OAuth2 token could not be had; not sent
  kHitOutcomeCount,
};

HitOutcome ClassifyHit(const HttpResult& result);

// The outcome's word; "error" for a value out of range.
const char* HitOutcomeWord(int outcome);

// The outcome's one letter, as the row keeps its latest outcomes (i_recent):
// "k" ok, "r" redirect, "c" client-error, "s" server-error, "n" no-status,
// "u" unreachable, "t" timeout, "l" too-large, "x" tls, "h" bad-host, "e"
// error, "q" bad-request, "b" bad-schedule, "w" unexpected, "a" no-token.
// Like the words, an interface.
char HitOutcomeLetter(int outcome);

// The outcome of a letter; kHitOutcomeCount for a byte that is none.
int HitOutcomeOfLetter(char letter);

// ok and redirect count as good hits; every other word is a failed one.
inline bool HitSucceeded(HitOutcome outcome) {
  return outcome == kHitOk || outcome == kHitRedirect;
}

#endif  // JANTOR_ENGINE_RULES_HIT_OUTCOME_H_
