#include "engine/rules/calendar.h"

#include <cstdio>

#include "base/ll_cron.h"
#include "base/ll_string.h"
#include "engine/rules/splay.h"

namespace {

// The next run strictly after present, or -1 with the reason it is refused.
time_t NextMatch(const Entry& entry, time_t present, char* reason, size_t reason_size) {
  CronSchedule schedule;
  time_t when = 0;
  int size = static_cast<int>(reason_size);
  // The offset moves every match later, so the first match whose shifted
  // time is after the present is the first after present less the offset.
  int offset = CalendarOffset(entry.id, entry.splay);
  if (CronParse(entry.cron, &schedule, reason, size) &&
      CronNextRun(&schedule, entry.zone, present - offset, &when, reason, size))
    return when + offset;
  return -1;
}

}  // namespace

bool CalendarNextRun(const Entry& entry, time_t present, char* next, size_t next_size, char* reason,
                     size_t reason_size) {
  time_t when = NextMatch(entry, present, reason, reason_size);
  if (when != -1) {
    LocalTimeText(when, next, next_size);
    return true;
  }
  int interval = ParseInt(entry.interval);
  LocalTimeText(present + (interval > 0 ? interval : kRefusedScheduleRetrySecs), next, next_size);
  return false;
}

time_t CalendarNextTime(const Entry& entry, time_t present) {
  char reason[160];
  return NextMatch(entry, present, reason, sizeof reason);
}
