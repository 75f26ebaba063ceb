// The texts an entry's hit ends with, without a database: the reschedule
// (next run time and key check) of an interval entry and of a calendar
// entry, the whole-hit limit -w reads from i_timeout, and the outcome
// word of each way an exchange can end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "base/ll_string.h"
#include "engine/command_line.h"
#include "engine/flow/hit.h"
#include "engine/rules/calendar.h"
#include "engine/rules/entry.h"
#include "engine/rules/hit_outcome.h"

namespace {

// Runs the test body with TZ set to zone, and puts the old one back.
class InZone {
 public:
  explicit InZone(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~InZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

Entry MakeEntry(const char* id, const char* next, const char* interval) {
  Entry entry{};
  CopyText(entry.id, id);
  CopyText(entry.next, next);
  CopyText(entry.interval, interval);
  return entry;
}

TEST(EntryReschedule, NextRunTextAndKeyCheck) {
  InZone zone("America/New_York");
  RunSettings s{};
  CopyText(s.table, "schedule_2");
  s.quiet = 1;
  const time_t present = 1800000000;  // 2027-01-15 03:00:00 EST
  struct Case {
    const char* id;
    const char* next;
    const char* interval;
    const char* expected_next;
    bool key_ok;
  };
  const Case cases[] = {
      {"7", "2027-01-01 00:00:00", "3600", "2027-01-01 01:00:00", true},
      {"8", "2027-01-01 00:00:00.000000", "60", "2027-01-01 00:01:00", true},
      // The stored text is wall-clock time: across the night the clock
      // goes forward, an hour after 01:30 is 03:30.
      {"9", "2027-03-14 01:30:00", "3600", "2027-03-14 03:30:00", true},
      // Unreadable: rescheduled from the present.
      {"10", "not a time", "60", "2027-01-15 03:01:00", true},
      {"11", "", "60", "2027-01-15 03:01:00", true},
      // Past the last moment the columns hold: the latest one, never due.
      {"12", "9999-12-31 23:00:00", "7200", "9999-12-31 23:59:59", true},
      {"-3", "2027-01-01 00:00:00", "0", "2027-01-01 00:00:00", true},
      {"4.0", "2027-01-01 00:00:00", "-60", "2026-12-31 23:59:00", true},
      {"1 or 1=1", "2027-01-01 00:00:00", "60", "2027-01-01 00:01:00", false},
      {"abc", "2027-01-01 00:00:00", "60", "2027-01-01 00:01:00", false},
      {"", "2027-01-01 00:00:00", "60", "2027-01-01 00:01:00", false},
      {"4.", "2027-01-01 00:00:00", "60", "2027-01-01 00:01:00", false},
  };
  for (const Case& c : cases) {
    Entry entry = MakeEntry(c.id, c.next, c.interval);
    HitWrite write{};
    PrepareUpdate(&s, entry, present, &write);
    EXPECT_STREQ(write.next, c.expected_next) << "id " << c.id;
    EXPECT_EQ(write.update, "update schedule_2 set i_next = '" + std::string(c.expected_next) +
                                "' where id = " + c.id);
    EXPECT_EQ(write.key_ok, c.key_ok) << "id " << c.id;
  }
  // A key cut to its field is never taken for the number it starts with.
  Entry cut = MakeEntry(std::string(40, '9').c_str(), "2027-01-01 00:00:00", "60");
  HitWrite write{};
  PrepareUpdate(&s, cut, present, &write);
  EXPECT_FALSE(write.key_ok);
}

TEST(EntryReschedule, CalendarEntriesMoveToTheirNextOccurrenceOrWaitTheirInterval) {
  InZone zone("UTC");
  const time_t present = 1800000000;  // 2027-01-15 08:00:00 UTC, a Friday
  struct Case {
    const char* cron;
    const char* zone;
    const char* interval;
    bool accepted;
    const char* expected_next;
  };
  const Case cases[] = {
      {"0 9 * * *", "", "86400", true, "2027-01-15 09:00:00"},
      {"0 9 * * mon", "Europe/Berlin", "0", true, "2027-01-18 08:00:00"},
      {"0 0 30 2 *", "", "600", false, "2027-01-15 08:10:00"},
      {"0 9 * * *", "Nowhere/Town", "0", false, "2027-01-15 09:00:00"},
      {"* * *", "", "-5", false, "2027-01-15 09:00:00"},
  };
  for (const Case& c : cases) {
    Entry entry = MakeEntry("1", "2027-01-15 07:00:00", c.interval);
    CopyText(entry.cron, c.cron);
    CopyText(entry.zone, c.zone);
    char next[20], reason[160];
    EXPECT_EQ(CalendarNextRun(entry, present, next, sizeof next, reason, sizeof reason),
              c.accepted)
        << c.cron << " " << reason;
    EXPECT_STREQ(next, c.expected_next) << c.cron;
  }
}

TEST(HitTexts, TimeLimitsAndOutcomeWords) {
  const std::pair<const char*, int> limits[] = {
      {"2", 2}, {"3600", 3600}, {"1", 1}, {"0", 0}, {"3601", 0}, {"4000", 0}, {"abc", 0},
      {"", 0},  {"-5", 0},      {" 2", 0}, {"2.5", 0}, {"99999", 0}};
  for (auto [text, seconds] : limits) EXPECT_EQ(EntryTimeLimit(text), seconds) << text;

  struct Case {
    int end;
    int status;
    const char* word;
  };
  const Case cases[] = {
      {kHttpReplyRead, 200, "ok"},           {kHttpReplyRead, 299, "ok"},
      {kHttpReplyRead, 301, "redirect"},     {kHttpReplyRead, 404, "client-error"},
      {kHttpReplyRead, 503, "server-error"}, {kHttpReplyRead, 0, "no-status"},
      {kHttpReplyRead, 101, "error"},        {kHttpReplyRead, 600, "error"},
      {kHttpNotReached, 0, "unreachable"},   {kHttpTimedOut, 200, "timeout"},
      {kHttpReplyTooLarge, 200, "too-large"}, {kHttpTlsRefused, 0, "tls"},
      {kHttpHostRefused, 0, "bad-host"},     {kHttpOtherFailure, 0, "error"},
  };
  for (const Case& c : cases) {
    HttpResult result{};
    result.end = c.end;
    result.status = c.status;
    EXPECT_STREQ(HitOutcomeWord(ClassifyHit(result)), c.word) << c.end << " " << c.status;
  }
  EXPECT_STREQ(HitOutcomeWord(kHitBadRequest), "bad-request");
  EXPECT_STREQ(HitOutcomeWord(kHitBadSchedule), "bad-schedule");
  EXPECT_STREQ(HitOutcomeWord(kHitOutcomeCount), "error");
  EXPECT_STREQ(HitOutcomeWord(-1), "error");
}

}  // namespace
