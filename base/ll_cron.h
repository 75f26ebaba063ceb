// Calendar schedules: five-field expressions (minute, hour, day of month,
// month, day of week) parsed into a plain record of bit sets, and the next
// instant such a schedule names in a time zone.
//
// Nothing here allocates for the caller or keeps state between calls but the
// zone database, which is read once per process and never changes after;
// every call may be made from several threads at once. A named zone comes
// from the system's zone database; no zone (null or "") is the process's own
// local time as localtime_r gives it, TZ included, so that a next run and the
// local text written for it always agree.
#ifndef JANTOR_BASE_LL_CRON_H_
#define JANTOR_BASE_LL_CRON_H_

#include <stdint.h>
#include <time.h>

// A parsed five-field expression. Bit n of a set stands for the value n.
struct CronSchedule {
  uint64_t minutes;       // bits 0-59
  uint32_t hours;         // bits 0-23
  uint32_t days;          // bits 1-31 (day of month)
  uint16_t months;        // bits 1-12
  uint8_t weekdays;       // bits 0-6, 0 is Sunday
  bool any_day_of_month;  // the field was "*": only the day of week counts
  bool any_day_of_week;   // the field was "*": only the day of month counts
};

// Reads text: five fields separated by blanks or tabs (more of them, and
// around the text, are allowed). A field is a list "a,b,..." of "*", "n",
// "a-b", each optionally with a step "/s"; "a/s" means from a to the field's
// top. Months may be named jan-dec, days of week sun-sat, in any letter case;
// 0 and 7 are both Sunday, and a range that ends on Sunday after a later day
// ("fri-sun", "5-0") runs to the week's end. When both day fields are
// restricted, a day matches when either does. An expression that can never
// match is refused.
// Returns 1 and fills *out, or 0 with *out untouched and a reason that names
// the field ("minute: 61 is out of 0-59", "day of week: unknown name",
// "day of month 30 never falls in month 2", "expected five fields").
// A reason is written in at most reason_size bytes, always terminated; a null
// reason or a size of 0 or less writes none. A null text is refused.
// REQUIRES: out is not null.
int CronParse(const char *text, CronSchedule *out, char *reason, int reason_size);

// The first instant strictly after `after` at which the local time in zone
// (an IANA name such as "Europe/Berlin"; null or "" is the process's local
// time) matches the schedule. A local time the clock skips runs at the first
// instant after the skip; one the clock passes twice runs at its first
// passing only. Since each call starts strictly after `after`, an instant that
// several skipped times map to is given once. Looks at most 8 years ahead.
// Returns 1 with *next, or 0 with *next untouched and a reason ("unknown time
// zone", "time out of range", "no run within 8 years"), written as by
// CronParse. REQUIRES: schedule and next are not null.
int CronNextRun(const CronSchedule *schedule, const char *zone, time_t after, time_t *next,
                char *reason, int reason_size);

#endif  // JANTOR_BASE_LL_CRON_H_
