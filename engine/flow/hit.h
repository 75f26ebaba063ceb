// The hit of one due entry: its verbose lines, the HTTP GET, and what the
// hit came to (its outcome word, status, size, reason, start and length),
// which the results table and the metrics take from here. A hit touches
// nothing shared: several may run at once, each on its own thread with its
// own entry and record.
#ifndef JANTOR_ENGINE_FLOW_HIT_H_
#define JANTOR_ENGINE_FLOW_HIT_H_

#include "engine/db/entry_call.h"
#include "engine/rules/entry.h"
#include "engine/rules/hit_outcome.h"
#include "engine/rules/missed.h"
#include "http/ll_http.h"

struct ExpectRule;

struct HitRecord {
  HttpResult result;
  HitOutcome outcome;
  char started[20];       // local time the hit began, "%Y-%m-%d %H:%M:%S"
  long long duration_us;  // microseconds from its start to its end
  int port;               // the port tried after the host's standard one
  char method[8];         // as sent ("GET" for a plain hit)
  long retry_after;       // a 429's or 503's Retry-After in seconds; -1 for none
};

// How a hit is made beyond the entry's usual columns.
struct HitOptions {
  // The entry's own method, headers and body, and how the call is
  // authorized (i_auth), where the table has those columns; null for a
  // plain GET.
  const EntryCallTexts* call = nullptr;
  // -w: an i_timeout of 1 to 3600 seconds limits the whole hit.
  bool entry_limits = false;
  // The Idempotency-Key a POST or PATCH carries (unless its own header
  // lines have one), so that a server can drop a retry's duplicate; null
  // for none.
  const char* idempotency_key = nullptr;
  // The -q line of a failed hit is left to the caller, who knows whether a
  // retry follows (PrintFailedHit).
  bool hold_failed_line = false;
  // What the entry's reply must be (i_expect); null for what counts as
  // success without one.
  const ExpectRule* expect = nullptr;
};

// One HTTP request for the entry: a GET, or the entry's own call. A call
// that its checks refuse is not sent at all; its outcome is "bad-request",
// and its reason names what was refused (never a header value or a body
// byte, which are printed nowhere). A call authorized by i_auth that gets
// no token is not sent either; its outcome is "no-token". The entry is rescheduled whatever the
// outcome, so the request's own result only decides what verbose output
// says; *record gets what the hit came to. Quiet keeps the HTTP client's
// words out and prints one line instead when the hit did not succeed.
void Hit(const Entry& entry, const HitOptions& options, int verbose, int quiet, HitRecord* record);

// The -q line of a hit that did not succeed, ending with suffix when it
// is not empty ("Hit failed - id 7 - host:80/path - timeout - ... - retry 1
// of 3 in 20 s").
void PrintFailedHit(const Entry& entry, const HitRecord& record, const char* suffix);

// A due entry that is not hit at all (its schedule was refused): *record
// gets the outcome and its reason, and the -q (or verbose) line is printed
// as for a failed hit.
void RefuseHit(const Entry& entry, HitOutcome outcome, const char* reason, int verbose, int quiet,
               HitRecord* record);

// The whole-hit time limit -w takes from an i_timeout text: a whole number
// of seconds from 1 to 3600, else 0 (the usual limits).
int EntryTimeLimit(const char* timeout);

// The results row of entry's hit.
void FillResultRow(const Entry& entry, const HitRecord& record, ResultRow* row);

// The results row of the runs of entry passed over at started (outcome
// "skipped", the reason saying how many and when, with what after it).
void FillSkippedRow(const Entry& entry, const char* started, const SlotsPassed& passed,
                    const char* what, ResultRow* row);

#endif  // JANTOR_ENGINE_FLOW_HIT_H_
