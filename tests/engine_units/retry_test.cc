// The rules of a failed run's retries without a database: the row's retry
// texts and their fallbacks, which failures are tried again for which
// method, Retry-After, the wait of each retry and its bounds, and what an
// attempt leaves of the entry's kept state.
#include "engine/rules/retry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "base/ll_string.h"
#include "engine/db/run_state.h"
#include "engine/rules/entry.h"

namespace {

TEST(RetryRule, RowTextsAndTheirFallbacks) {
  struct Case {
    const char* retries;
    const char* delay;
    int expected_retries;
    int expected_delay;
  };
  const Case cases[] = {
      {"3", "1", 3, 1},
      {"0", "86400", 0, 86400},
      {"20", "60", 20, 60},
      {"", "", 0, 30},
      {"-1", "0", 0, 30},
      {"21", "x", 0, 30},
      {"abc", "86401", 0, 30},
      {"1e9", "-5", 0, 30},
      {"2.5", "1.5", 0, 30},
      {" 3", "30 ", 0, 30},
      {"99999999999", "99999999999", 0, 30},
  };
  for (const Case& c : cases) {
    RetryRule rule = RetryRuleOf(c.retries, c.delay);
    EXPECT_EQ(rule.retries, c.expected_retries) << "i_retries " << c.retries;
    EXPECT_EQ(rule.delay_secs, c.expected_delay) << "i_retry_delay " << c.delay;
  }
}

TEST(RetryRule, WhichFailuresAreTriedAgainForWhichMethod) {
  struct Case {
    HitOutcome outcome;
    int status;
    bool get, post;  // whether a GET, and a POST (or PATCH), is tried again
  };
  const Case cases[] = {
      {kHitUnreachable, 0, true, true},     {kHitTimeout, 0, true, false},
      {kHitNoStatus, 0, true, false},       {kHitServerError, 500, true, false},
      {kHitServerError, 503, true, true},   {kHitServerError, 502, true, false},
      {kHitClientError, 408, true, true},   {kHitClientError, 429, true, true},
      {kHitClientError, 404, false, false}, {kHitClientError, 400, false, false},
      {kHitOk, 200, false, false},          {kHitRedirect, 301, false, false},
      {kHitTooLarge, 200, false, false},    {kHitTls, 0, false, false},
      {kHitBadHost, 0, false, false},       {kHitBadRequest, 0, false, false},
      {kHitBadSchedule, 0, false, false},   {kHitError, 0, false, false},
      {kHitUnexpected, 503, false, false},  {kHitUnexpected, 200, false, false},
      {kHitNoToken, 0, true, true},
  };
  for (const Case& c : cases) {
    std::string what = std::string(HitOutcomeWord(c.outcome)) + " " + std::to_string(c.status);
    for (const char* method : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS"})
      EXPECT_EQ(MayRetry(c.outcome, c.status, method), c.get) << method << " " << what;
    for (const char* method : {"POST", "PATCH"})
      EXPECT_EQ(MayRetry(c.outcome, c.status, method), c.post) << method << " " << what;
  }
}

TEST(RetryRule, RetryAfterInSecondsOrAsAnHttpDateFromTheHeaderOnly) {
  const time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case {
    std::string reply;
    long expected;
  };
  const Case cases[] = {
      {"HTTP/1.1 503 Busy\r\nRetry-After: 120\r\n\r\n", 120},
      {"HTTP/1.1 429 Slow\r\nContent-Type: text/plain\r\nretry-after:7\r\n\r\nbody", 7},
      {"HTTP/1.1 503 Busy\r\nRETRY-AFTER:   0  \r\n\r\n", 0},
      {"HTTP/1.1 503 Busy\nRetry-After: 3\n\n", 3},
      {"HTTP/1.1 503 Busy\r\nRetry-After: Sun, 06 Nov 1994 08:50:37 GMT\r\n\r\n", 60},
      {"HTTP/1.1 503 Busy\r\nRetry-After: Sunday, 06-Nov-94 08:51:37 GMT\r\n\r\n", 120},
      {"HTTP/1.1 503 Busy\r\nRetry-After: Sun Nov  6 08:49:47 1994\r\n\r\n", 10},
      {"HTTP/1.1 503 Busy\r\nRetry-After: Sun, 06 Nov 1994 07:00:00 GMT\r\n\r\n", 0},
      {"HTTP/1.1 503 Busy\r\nRetry-After: 9999999999999\r\n\r\n", 999999999},
      {"HTTP/1.1 503 Busy\r\nRetry-After: -5\r\n\r\n", -1},
      {"HTTP/1.1 503 Busy\r\nRetry-After: soon\r\n\r\n", -1},
      {"HTTP/1.1 503 Busy\r\nRetry-After: 5 seconds\r\n\r\n", -1},
      {"HTTP/1.1 503 Busy\r\nX-Retry-After: 5\r\n\r\n", -1},
      {"HTTP/1.1 503 Busy\r\n\r\nRetry-After: 5\r\n", -1},  // in the body
      {"Retry-After: 5\r\n\r\n", -1},                       // the status line is no header
      {"", -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RetryAfterSecs(c.reply.c_str(), now), c.expected) << c.reply;
  EXPECT_EQ(RetryAfterSecs(nullptr, now), -1);
}

// Retry n waits a point of [d/2, d], d = min(delay * 2^(n-1), 3600): the
// random draw's smallest and largest values give the bounds exactly.
TEST(RetryRule, WaitsDoubleSpreadStopAtAnHourAndNeverReachTheNextRun) {
  const time_t now = 1800000000;
  const time_t far = now + 10 * 86400;
  const uint32_t low = 0, high = UINT32_MAX;
  struct Case {
    int retries, delay, attempt;
    HitOutcome outcome;
    int status;
    const char* method;
    long retry_after;
    time_t next_run;
    uint32_t random;
    time_t expected;  // -1: the run ends
  };
  const Case cases[] = {
      {3, 30, 1, kHitServerError, 500, "GET", -1, far, low, now + 15},
      {3, 30, 1, kHitServerError, 500, "GET", -1, far, 15, now + 30},  // 15 % 16 = 15
      {3, 30, 2, kHitTimeout, 0, "GET", -1, far, low, now + 30},
      {3, 30, 3, kHitTimeout, 0, "GET", -1, far, 30, now + 90},  // d = 120: [60, 120]
      {3, 1, 1, kHitServerError, 503, "GET", -1, far, high, now + 1},
      {3, 1, 2, kHitServerError, 503, "GET", -1, far, low, now + 1},  // d = 2: [1, 2]
      {20, 86400, 1, kHitUnreachable, 0, "GET", -1, far, low, now + 1800},
      {20, 1, 20, kHitUnreachable, 0, "GET", -1, far, low, now + 1800},
      // Attempts used up, or not retried at all.
      {3, 30, 4, kHitServerError, 500, "GET", -1, far, low, -1},
      {0, 30, 1, kHitServerError, 500, "GET", -1, far, low, -1},
      {3, 30, 1, kHitOk, 200, "GET", -1, far, low, -1},
      {3, 30, 1, kHitClientError, 404, "GET", -1, far, low, -1},
      {3, 30, 1, kHitTimeout, 0, "POST", -1, far, low, -1},
      {3, 30, 1, kHitUnreachable, 0, "POST", -1, far, low, now + 15},
      // Retry-After: at least that long; over an hour ends the run.
      {3, 1, 1, kHitClientError, 429, "GET", 120, far, low, now + 120},
      {3, 60, 1, kHitServerError, 503, "PATCH", 2, far, low, now + 30},
      {3, 1, 1, kHitServerError, 503, "GET", 3600, far, low, now + 3600},
      {3, 1, 1, kHitServerError, 503, "GET", 3601, far, low, -1},
      // The next scheduled run bounds every retry.
      {3, 30, 1, kHitServerError, 500, "GET", -1, now + 16, low, now + 15},
      {3, 30, 1, kHitServerError, 500, "GET", -1, now + 15, low, -1},
      {3, 30, 1, kHitServerError, 500, "GET", -1, now - 100, low, -1},
      {3, 1, 1, kHitClientError, 429, "GET", 600, now + 300, low, -1},
  };
  for (const Case& c : cases) {
    time_t when = NextAttemptTime(RetryRule{c.retries, c.delay}, c.attempt, c.outcome, c.status,
                                  c.method, c.retry_after, now, c.next_run, c.random);
    EXPECT_EQ(when == -1 ? -1 : when - now, c.expected == -1 ? -1 : c.expected - now)
        << c.retries << " retries, delay " << c.delay << ", attempt " << c.attempt << ", "
        << HitOutcomeWord(c.outcome) << " " << c.status << " " << c.method << ", Retry-After "
        << c.retry_after;
  }
}

Entry KeptEntry(const char* retries, const char* attempt, const char* run, const char* failures,
                const char* outcome) {
  Entry entry{};
  CopyText(entry.id, "7");
  CopyText(entry.next, "2026-12-08 10:00:00");
  CopyText(entry.retries, retries);
  CopyText(entry.attempt, attempt);
  CopyText(entry.run, run);
  CopyText(entry.failures, failures);
  CopyText(entry.outcome, outcome);
  return entry;
}

// Which attempt a due row is, and what its hit leaves behind: only the
// parts that change are written, so that a healthy entry's write is the
// plain reschedule.
TEST(RunState, AttemptsAndTheStateTheyLeave) {
  RunStateColumns all;
  all.retries = all.retry_delay = all.attempt = all.run = all.failures = all.outcome = true;
  RunStateColumns failures_only;
  failures_only.failures = true;
  struct Case {
    const char* name;
    RunStateColumns columns;
    Entry entry;
    HitOutcome outcome;
    bool retry;
    int attempt;       // the due attempt's number
    const char* run;   // its run's scheduled time
    unsigned changes;  // what the write changes
    int next_attempt;  // i_attempt written (0: NULL)
    int failures;      // i_failures written
  };
  const Case cases[] = {
      {"healthy", all, KeptEntry("3", "", "", "0", "ok"), kHitOk, false, 1, "2026-12-08 10:00:00",
       0, 0, 0},
      {"healthy, all NULL", all, KeptEntry("", "", "", "", ""), kHitOk, false, 1, "",
       kFailuresChanged | kOutcomeChanged, 0, 0},
      {"first failure, retry", all, KeptEntry("3", "", "", "0", "ok"), kHitServerError, true, 1,
       "2026-12-08 10:00:00", kRetryChanged | kOutcomeChanged, 2, 0},
      {"first failure of a NULL count, retry", all, KeptEntry("3", "", "", "", ""), kHitTimeout,
       true, 1, "2026-12-08 10:00:00", kRetryChanged | kOutcomeChanged, 2, 0},
      {"retry fails again, retry", all,
       KeptEntry("3", "2", "2026-12-08 09:00:00", "0", "server-error"), kHitServerError, true, 2,
       "2026-12-08 09:00:00", kRetryChanged, 3, 0},
      {"last retry fails", all, KeptEntry("3", "4", "2026-12-08 09:00:00", "2", "timeout"),
       kHitTimeout, false, 4, "2026-12-08 09:00:00", kRetryChanged | kFailuresChanged, 0, 3},
      {"retry succeeds", all, KeptEntry("3", "3", "2026-12-08 09:00:00", "5", "timeout"), kHitOk,
       false, 3, "2026-12-08 09:00:00", kRetryChanged | kFailuresChanged | kOutcomeChanged, 0, 0},
      {"pending retry with the retries since taken away", all,
       KeptEntry("0", "2", "2026-12-08 09:00:00", "0", "timeout"), kHitTimeout, false, 1, "",
       kRetryChanged | kFailuresChanged, 0, 1},
      {"i_attempt out of range", all, KeptEntry("3", "22", "2026-12-08 09:00:00", "", ""), kHitOk,
       false, 1, "2026-12-08 10:00:00", kRetryChanged | kFailuresChanged | kOutcomeChanged, 0, 0},
      {"i_run unreadable", all, KeptEntry("3", "2", "garbage", "1", "ok"), kHitOk, false, 1,
       "2026-12-08 10:00:00", kRetryChanged | kFailuresChanged, 0, 0},
      {"failures only, no retries", failures_only, KeptEntry("3", "", "", "abc", ""),
       kHitUnreachable, false, 1, "", kFailuresChanged, 0, 1},
      {"failures at the largest count", failures_only, KeptEntry("", "", "", "2147483647", ""),
       kHitUnreachable, false, 1, "", 0, 0, 2147483647},
  };
  for (const Case& c : cases) {
    RunOfAttempt run;
    StartAttempt(c.columns, c.entry, &run);
    EXPECT_EQ(run.attempt, c.attempt) << c.name;
    EXPECT_STREQ(run.run, c.run) << c.name;
    RunStateWrite state{};
    EndAttempt(c.columns, c.entry, run, AttemptFacts{c.outcome, 0, 5, "2026-12-08 10:00:01"},
               c.retry, &state);
    EXPECT_EQ(state.changes, c.changes) << c.name;
    EXPECT_EQ(state.attempt, c.next_attempt) << c.name;
    EXPECT_STREQ(state.run, c.retry ? c.run : "") << c.name;
    EXPECT_EQ(state.failures, c.failures) << c.name;
    EXPECT_STREQ(state.outcome, HitOutcomeWord(c.outcome)) << c.name;
  }
}

// The latest attempts as the status page reads them: every attempt writes
// its letter (which the database appends to i_recent) and its facts.
TEST(RunState, EveryAttemptWritesItsLetterAndItsFacts) {
  RunStateColumns columns;
  columns.recent = true;
  const std::pair<HitOutcome, char> cases[] = {
      {kHitOk, 'k'},          {kHitServerError, 's'}, {kHitTimeout, 't'},    {kHitTls, 'x'},
      {kHitBadSchedule, 'b'}, {kHitUnreachable, 'u'}, {kHitUnexpected, 'w'}, {kHitNoToken, 'a'},
  };
  for (auto [outcome, letter] : cases) {
    Entry entry = KeptEntry("", "", "", "", "");
    RunOfAttempt run;
    StartAttempt(columns, entry, &run);
    RunStateWrite state{};
    EndAttempt(columns, entry, run, AttemptFacts{outcome, 503, 1234, "2026-12-08 10:00:01"}, false,
               &state);
    EXPECT_EQ(state.changes, static_cast<unsigned>(kLatestChanged)) << letter;
    EXPECT_EQ(state.recent, std::string(1, letter));
    EXPECT_EQ(state.status, 503);
    EXPECT_EQ(state.duration_ms, 1234);
    EXPECT_STREQ(state.last, "2026-12-08 10:00:01");
  }
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome)
    EXPECT_EQ(HitOutcomeOfLetter(HitOutcomeLetter(outcome)), outcome) << HitOutcomeWord(outcome);
  EXPECT_EQ(HitOutcomeOfLetter('z'), kHitOutcomeCount);
}

TEST(RunState, ATableWithRetriesNeedsTheColumnsThatKeepThem) {
  RunStateColumns columns;
  EXPECT_EQ(MissingRetryColumns(columns), "");
  columns.retries = true;
  EXPECT_EQ(MissingRetryColumns(columns), "i_attempt, i_run");
  columns.run = true;
  EXPECT_EQ(MissingRetryColumns(columns), "i_attempt");
  columns.attempt = true;
  EXPECT_EQ(MissingRetryColumns(columns), "");
  EXPECT_EQ(RunStateColumnsText(RunStateColumns{}, "due"), "");
  columns.failures = true;
  EXPECT_EQ(RunStateColumnsText(columns, "due"),
            ", due.i_retries, null, due.i_attempt, due.i_run, due.i_failures, null");
}

}  // namespace
