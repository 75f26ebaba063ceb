#include "engine/rules/hit_outcome.h"

namespace {

constexpr const char* kWords[kHitOutcomeCount] = {
    "ok",      "redirect",  "client-error", "server-error", "no-status", "unreachable",
    "timeout", "too-large", "tls",          "bad-host",     "error",
    "bad-request", "bad-schedule", "unexpected", "no-token",
};

constexpr char kLetters[kHitOutcomeCount + 1] = "krcsnutlxheqbwa";

}  // namespace

HitOutcome ClassifyHit(const HttpResult& result) {
  switch (result.end) {
    case kHttpReplyRead:
      if (result.status == 0) return kHitNoStatus;
      if (result.status >= 200 && result.status <= 299) return kHitOk;
      if (result.status >= 300 && result.status <= 399) return kHitRedirect;
      if (result.status >= 400 && result.status <= 499) return kHitClientError;
      if (result.status >= 500 && result.status <= 599) return kHitServerError;
      return kHitError;  // 1xx as a final reply, or a code no server should send
    case kHttpNotReached:
      return kHitUnreachable;
    case kHttpTimedOut:
      return kHitTimeout;
    case kHttpReplyTooLarge:
      return kHitTooLarge;
    case kHttpTlsRefused:
      return kHitTls;
    case kHttpHostRefused:
      return kHitBadHost;
    default:
      return kHitError;
  }
}

const char* HitOutcomeWord(int outcome) {
  return outcome >= 0 && outcome < kHitOutcomeCount ? kWords[outcome] : kWords[kHitError];
}

char HitOutcomeLetter(int outcome) {
  return outcome >= 0 && outcome < kHitOutcomeCount ? kLetters[outcome] : kLetters[kHitError];
}

int HitOutcomeOfLetter(char letter) {
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome)
    if (kLetters[outcome] == letter) return outcome;
  return kHitOutcomeCount;
}
