#include "net/ll_deadline.h"

#include <unistd.h>

#include <thread>

#include "base/ll_cpapi.h"
#include "gtest/gtest.h"

namespace {

// One hit's limit must never reach another's: a deadline kept anywhere but
// in the thread would cut short the waits of every hit in flight. And a
// time below 0 must clear it, not be kept as a deadline long passed.
TEST(Deadline, BelongsToTheThreadThatSetsItAndZeroOrLessClearsIt) {
  EXPECT_EQ(gensock_deadline(), 0);
  gensock_set_deadline(12345);
  EXPECT_EQ(gensock_deadline(), 12345);

  long long seen_there = -1;
  std::thread other([&seen_there] {
    seen_there = gensock_deadline();
    gensock_set_deadline(777);
  });
  other.join();
  EXPECT_EQ(seen_there, 0);
  EXPECT_EQ(gensock_deadline(), 12345);

  gensock_set_deadline(-5);
  EXPECT_EQ(gensock_deadline(), 0);
  gensock_set_deadline(12345);
  gensock_set_deadline(0);
  EXPECT_EQ(gensock_deadline(), 0);
}

// A caller sets a deadline as gensock_monotonic_ms() plus its limit and
// measures with MonotonicUs: both must be one clock, in milliseconds, or a
// limit ends a thousand times too soon or too late, or never.
TEST(Deadline, ClockIsTheLibrarysMonotonicClockInMilliseconds) {
  long long before_us = MonotonicUs();
  long long now_ms = gensock_monotonic_ms();
  long long after_us = MonotonicUs();
  EXPECT_GE(now_ms, before_us / 1000);
  EXPECT_LE(now_ms, after_us / 1000);

  long long start_ms = gensock_monotonic_ms();
  usleep(30 * 1000);
  long long waited_ms = gensock_monotonic_ms() - start_ms;
  EXPECT_GE(waited_ms, 30);
  EXPECT_LT(waited_ms, 30 * 1000);
}

}  // namespace
