#include "base/ll_cron.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

time_t Utc(const char *text) {
  struct tm fields = {};
  sscanf(text, "%d-%d-%d %d:%d:%d", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
         &fields.tm_hour, &fields.tm_min, &fields.tm_sec);
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  return timegm(&fields);
}

std::string UtcText(time_t instant) {
  struct tm fields;
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime_r(&instant, &fields));
  return text;
}

// The next run as UTC text, or the reason it was refused.
std::string Next(const char *expression, const char *zone, const char *after) {
  CronSchedule schedule;
  char reason[128];
  if (!CronParse(expression, &schedule, reason, sizeof reason)) return reason;
  time_t next;
  if (!CronNextRun(&schedule, zone, Utc(after), &next, reason, sizeof reason)) return reason;
  return UtcText(next);
}

struct NextCase {
  const char *expression;
  const char *zone;
  const char *after;     // UTC
  const char *expected;  // UTC
};

// Local times noted after each row. The 2027 clock changes: Berlin
// Mar 28 02:00->03:00 and Oct 31 03:00->02:00, New York Mar 14 02:00->03:00
// and Nov 7 02:00->01:00, Lord Howe Apr 4 02:00->01:30 and Oct 3 02:00->02:30.
constexpr NextCase kNextCases[] = {
    {"*/15 * * * *", "UTC", "2027-01-01 00:00:00", "2027-01-01 00:15:00"},
    {"*/15 * * * *", "UTC", "2027-01-01 00:07:30", "2027-01-01 00:15:00"},
    {"* * * * *", "UTC", "2027-01-01 00:00:59", "2027-01-01 00:01:00"},
    {"10/20 * * * *", "UTC", "2027-01-01 00:50:00", "2027-01-01 01:10:00"},
    {"5-20/5 9-17 * * *", "UTC", "2027-01-01 17:20:00", "2027-01-02 09:05:00"},
    {"0 8,12,18 * * *", "UTC", "2027-01-01 12:00:00", "2027-01-01 18:00:00"},
    {" \t0\t12  *  * *\t", "UTC", "2027-01-01 12:00:00", "2027-01-02 12:00:00"},
    {"0 9 * JAN,jul Mon-Fri", "UTC", "2027-01-29 09:00:00", "2027-07-01 09:00:00"},
    {"30 6 * * sat-SUN", "UTC", "2027-01-02 07:00:00", "2027-01-03 06:30:00"},  // Sunday
    {"0 0 * * 7", "UTC", "2027-01-01 00:00:00", "2027-01-03 00:00:00"},
    {"0 0 * * 0", "UTC", "2027-01-01 00:00:00", "2027-01-03 00:00:00"},
    {"0 0 13 * fri", "UTC", "2027-01-09 00:00:00", "2027-01-13 00:00:00"},  // the 13th, a Wed
    {"0 0 13 * fri", "UTC", "2027-01-13 00:00:00", "2027-01-15 00:00:00"},  // a Friday
    {"0 0 13 * *", "UTC", "2027-01-13 00:00:00", "2027-02-13 00:00:00"},
    {"0 0 * * fri", "UTC", "2027-01-09 00:00:00", "2027-01-15 00:00:00"},
    {"0 0 */2 * mon", "UTC", "2027-01-01 00:00:00", "2027-01-03 00:00:00"},  // a step restricts
    {"0 0 31 * *", "UTC", "2027-04-01 00:00:00", "2027-05-31 00:00:00"},
    {"59 23 31 12 *", "UTC", "2027-12-31 23:59:00", "2028-12-31 23:59:00"},
    {"0 0 29 2 *", "UTC", "2027-01-01 00:00:00", "2028-02-29 00:00:00"},
    {"0 0 29 2 *", "UTC", "2096-03-01 00:00:00", "2104-02-29 00:00:00"},  // 2100 is no leap year
    {"30 2 * * *", "Europe/Berlin", "2027-03-27 01:30:00", "2027-03-28 01:00:00"},  // 03:00
    {"0 * * * *", "Europe/Berlin", "2027-03-28 00:00:00", "2027-03-28 01:00:00"},   // 03:00
    {"0 * * * *", "Europe/Berlin", "2027-03-28 01:00:00", "2027-03-28 02:00:00"},   // 04:00
    {"30 2 * * *", "Europe/Berlin", "2027-10-30 01:00:00", "2027-10-31 00:30:00"},  // CEST
    {"30 2 * * *", "Europe/Berlin", "2027-10-31 00:30:00", "2027-11-01 01:30:00"},
    {"0 * * * *", "Europe/Berlin", "2027-10-31 00:00:00", "2027-10-31 02:00:00"},  // 03:00 CET
    {"*/20 * * * *", "Europe/Berlin", "2027-10-31 01:10:00", "2027-10-31 02:00:00"},
    {"30 2 * * *", "America/New_York", "2027-03-13 12:00:00", "2027-03-14 07:00:00"},  // 03:00
    {"30 1 * * *", "America/New_York", "2027-11-06 12:00:00", "2027-11-07 05:30:00"},  // EDT
    {"30 1 * * *", "America/New_York", "2027-11-07 05:30:00", "2027-11-08 06:30:00"},
    {"0 * * * *", "America/New_York", "2027-11-07 05:00:00", "2027-11-07 07:00:00"},     // 02:00
    {"0 2 * * *", "Australia/Lord_Howe", "2027-10-02 00:00:00", "2027-10-02 15:30:00"},  // 02:30
    {"15 2 * * *", "Australia/Lord_Howe", "2027-10-02 00:00:00", "2027-10-02 15:30:00"},
    {"45 2 * * *", "Australia/Lord_Howe", "2027-10-02 00:00:00", "2027-10-02 15:45:00"},
    {"*/30 * * * *", "Australia/Lord_Howe", "2027-10-02 15:30:00", "2027-10-02 16:00:00"},
    {"45 1 * * *", "Australia/Lord_Howe", "2027-04-03 00:00:00", "2027-04-03 14:45:00"},  // +11
    {"45 1 * * *", "Australia/Lord_Howe", "2027-04-03 14:45:00", "2027-04-04 15:15:00"},
    {"0 * * * *", "Australia/Lord_Howe", "2027-04-03 14:00:00", "2027-04-03 15:30:00"},  // 02:00
};

TEST(Cron, NextRunInNamedZones) {
  for (const NextCase &c : kNextCases) {
    EXPECT_EQ(Next(c.expression, c.zone, c.after), c.expected)
        << c.expression << " in " << c.zone << " after " << c.after;
  }
}

// The process's own local time is the C library's, TZ included: the same
// instants as the named zone, and a POSIX rule that no zone file holds.
TEST(Cron, EmptyZoneFollowsLocaltime) {
  const char *saved = getenv("TZ");
  const std::string saved_zone = saved == nullptr ? "" : saved;
  for (const NextCase &c : kNextCases) {
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_EQ(Next(c.expression, "", c.after), c.expected)
        << c.expression << " under TZ=" << c.zone;
  }
  setenv("TZ", "IST-5:30", 1);
  tzset();
  EXPECT_EQ(Next("0 9 * * *", nullptr, "2027-01-01 00:00:00"), "2027-01-01 03:30:00");
  if (saved == nullptr) {
    unsetenv("TZ");
  } else {
    setenv("TZ", saved_zone.c_str(), 1);
  }
  tzset();
}

// ---- Error paths --------------------------------------------------------------

TEST(Cron, RefusalsSayWhyAndLeaveTheRecord) {
  constexpr struct {
    const char *expression;
    const char *reason;
  } kCases[] = {
      {"", "expected five fields"},
      {"* * * *", "expected five fields"},
      {"* * * * * *", "expected five fields"},
      {"61 * * * *", "minute: 61 is out of 0-59"},
      {"1234567 * * * *", "minute: number is out of 0-59"},
      {"* 24 * * *", "hour: 24 is out of 0-23"},
      {"* * 0 * *", "day of month: 0 is out of 1-31"},
      {"* * * 13 *", "month: 13 is out of 1-12"},
      {"* * * * 8", "day of week: 8 is out of 0-7"},
      {"* * * * mox", "day of week: unknown name"},
      {"* * * * monday", "day of week: unknown name"},
      {"* * * foo *", "month: unknown name"},
      {"jan * * * *", "minute: unknown name"},
      {"1,,2 * * * *", "minute: empty list item"},
      {"5, * * * *", "minute: empty list item"},
      {"30-10 * * * *", "minute: range 30-10 runs backwards"},
      {"* * * * fri-mon", "day of week: range 5-1 runs backwards"},
      {"*/0 * * * *", "minute: step 0 is out of 1-59"},
      {"1-5/ * * * *", "minute: expected a number"},
      {"-5 * * * *", "minute: expected a number"},
      {"5x * * * *", "minute: unexpected character"},
      {"0 0 30 2 *", "day of month 30 never falls in month 2"},
      {"0 0 30,31 feb *", "day of month 30 never falls in month 2"},
      {"0 0 31 4,6 *", "day of month 31 never falls in any listed month"},
  };
  for (const auto &c : kCases) {
    CronSchedule schedule;
    memset(&schedule, 0x5a, sizeof schedule);
    const CronSchedule before = schedule;
    char reason[128] = "unset";
    EXPECT_EQ(CronParse(c.expression, &schedule, reason, sizeof reason), 0) << c.expression;
    EXPECT_STREQ(reason, c.reason) << c.expression;
    EXPECT_EQ(memcmp(&schedule, &before, sizeof schedule), 0) << c.expression;
  }
  // A short buffer gets the reason's beginning, terminated.
  CronSchedule schedule;
  char reason[8];
  EXPECT_EQ(CronParse("61 * * * *", &schedule, reason, sizeof reason), 0);
  EXPECT_STREQ(reason, "minute:");
  EXPECT_EQ(CronParse(nullptr, &schedule, nullptr, 0), 0);
}

TEST(Cron, NextRunRefusalsLeaveNextUntouched) {
  CronSchedule every_minute;
  ASSERT_EQ(CronParse("* * * * *", &every_minute, nullptr, 0), 1);
  CronSchedule no_month = every_minute;
  no_month.months = 0;
  const struct {
    const CronSchedule *schedule;
    const char *zone;
    time_t after;
    const char *reason;
  } kCases[] = {
      {&every_minute, "Mars/Olympus", Utc("2027-01-01 00:00:00"), "unknown time zone"},
      {&every_minute, "europe/berlin", Utc("2027-01-01 00:00:00"), "unknown time zone"},
      {&every_minute, "../../etc/passwd", Utc("2027-01-01 00:00:00"), "unknown time zone"},
      {&every_minute, "UTC", Utc("9999-12-31 00:00:00"), "time out of range"},
      {&no_month, "UTC", Utc("2027-01-01 00:00:00"), "no run within 8 years"},
  };
  for (const auto &c : kCases) {
    time_t next = 42;
    char reason[128] = "unset";
    EXPECT_EQ(CronNextRun(c.schedule, c.zone, c.after, &next, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, c.reason) << c.zone;
    EXPECT_EQ(next, 42);
  }
}

}  // namespace
