// Calendar schedules on any text: a refusal leaves the record as it was and
// gives a reason; an accepted expression holds only values in its fields'
// ranges and, since expressions that can never run are refused, has a next
// run after each of a few instants in every zone, later than that instant;
// in UTC that run's fields match the expression.
// Input: the expression, up to its first NUL.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/ll_cron.h"
#include "fuzz/fuzz_util.h"

namespace {

// The zones and instants a run is asked of: clock changes skipped and
// repeated, whole and half hours, a leap day at a century that has none,
// and the process's own zone (a TZ with a rule of its own).
constexpr const char* kZones[] = {"UTC", "Europe/Berlin", "Australia/Lord_Howe", ""};
constexpr time_t kInstants[] = {
    1837643400,  // 2028-03-26 00:30:00 UTC, before Berlin's hour is skipped
    1822489200,  // 2027-10-02 15:00:00 UTC, before Lord Howe's half hour is skipped
    4049179200,  // 2098-04-24 12:00:00 UTC, the next 29 February is in 2104
    0,
};

bool Has(uint64_t set, int value) { return (set >> value & 1) != 0; }

// The day rule, asked of broken-down UTC fields.
bool DayMatches(const CronSchedule& s, const struct tm& f) {
  const bool by_day = Has(s.days, f.tm_mday);
  const bool by_weekday = Has(s.weekdays, f.tm_wday);
  if (s.any_day_of_month || s.any_day_of_week) return by_day && by_weekday;
  return by_day || by_weekday;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  CronSchedule schedule;
  memset(&schedule, 0x5a, sizeof schedule);
  const CronSchedule before = schedule;
  char reason[64];
  reason[0] = '\0';
  if (!CronParse(text.c_str(), &schedule, reason, sizeof reason)) {
    FUZZ_CHECK(memcmp(&schedule, &before, sizeof schedule) == 0);
    FUZZ_CHECK(reason[0] != '\0' && memchr(reason, '\0', sizeof reason) != nullptr);
    return 0;
  }
  FUZZ_CHECK(schedule.minutes != 0 && schedule.minutes >> 60 == 0);
  FUZZ_CHECK(schedule.hours != 0 && schedule.hours >> 24 == 0);
  FUZZ_CHECK(schedule.days != 0 && (schedule.days & 1) == 0);
  FUZZ_CHECK(schedule.months != 0 && (schedule.months & ~0x1ffe) == 0);
  FUZZ_CHECK(schedule.weekdays != 0 && schedule.weekdays >> 7 == 0);

  for (const char* zone : kZones) {
    for (const time_t after : kInstants) {
      time_t next = -1;
      reason[0] = '\0';
      const int found = CronNextRun(&schedule, zone, after, &next, reason, sizeof reason);
      if (!found) fprintf(stderr, "zone \"%s\" after %lld: %s\n", zone, (long long)after, reason);
      FUZZ_CHECK(found == 1);
      FUZZ_CHECK(next > after);
      if (strcmp(zone, "UTC") != 0) continue;
      struct tm fields;
      FUZZ_CHECK(gmtime_r(&next, &fields) != nullptr);
      FUZZ_CHECK(fields.tm_sec == 0 && Has(schedule.minutes, fields.tm_min));
      FUZZ_CHECK(Has(schedule.hours, fields.tm_hour) && Has(schedule.months, fields.tm_mon + 1));
      FUZZ_CHECK(DayMatches(schedule, fields));
    }
  }
  return 0;
}
