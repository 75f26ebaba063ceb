// When a failed run is tried again: the retry rule an entry's row sets
// (i_retries, i_retry_delay), which outcomes are worth another attempt
// (fewer for methods a server may have acted on), a server's Retry-After,
// and the time of the next attempt, which never reaches the entry's next
// scheduled run. Pure functions of their arguments: any thread may call
// them at once.
#ifndef JANTOR_ENGINE_RULES_RETRY_H_
#define JANTOR_ENGINE_RULES_RETRY_H_

#include <cstdint>
#include <ctime>

#include "engine/rules/hit_outcome.h"

enum : int {
  kMostRetries = 20,
  kDefaultRetryDelaySecs = 30,
  kMostRetryDelaySecs = 86400,
  // No wait between attempts is longer, whether by backoff or Retry-After;
  // a server asking for more ends the run.
  kLongestRetryWaitSecs = 3600,
};

struct RetryRule {
  int retries;     // attempts a failed run may make after the scheduled one, 0 to kMostRetries
  int delay_secs;  // the wait before the first retry, before backoff and spread
};

// The rule of an entry's i_retries and i_retry_delay texts: retries a whole
// number from 0 to 20, else none; the delay a whole number from 1 to 86400,
// else kDefaultRetryDelaySecs.
RetryRule RetryRuleOf(const char* retries, const char* delay);

// Whether a failed attempt may be tried again. Outcomes that say the
// server is away, slow or failing are; those a second attempt would only
// repeat (a refused request, a bad certificate, a 404) are not. POST and
// PATCH (method as sent, upper case) may have been acted on: they are
// tried again only when nothing was sent (unreachable, no-token) or the
// server said it did not act (408, 429, 503).
bool MayRetry(HitOutcome outcome, int status, const char* method);

// The seconds a reply's Retry-After asks for: its header read up to the
// first empty line, the value either seconds or an HTTP date (a date gone
// by asks for 0). -1 without a readable one.
long RetryAfterSecs(const char* reply, time_t now);

// When attempt number attempt (1 for the scheduled hit) of a run, which
// failed at now, is tried again: retry n = attempt waits d = min(delay *
// 2^(n-1), kLongestRetryWaitSecs) seconds, spread by random over [d/2, d] so
// that entries failing together do not come back together, and at least
// the retry_after seconds the server asked for (-1: none). -1 when the run
// ends here: the attempt succeeded or may not be retried, its attempts are
// used up, the server asked for more than kLongestRetryWaitSecs, or the
// retry would not come before next_run, the schedule's own next run.
time_t NextAttemptTime(const RetryRule& rule, int attempt, HitOutcome outcome, int status,
                       const char* method, long retry_after, time_t now, time_t next_run,
                       uint32_t random);

#endif  // JANTOR_ENGINE_RULES_RETRY_H_
