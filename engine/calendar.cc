#include "engine/calendar.h"

#include <cstdio>

#include "base/ll_cron.h"
#include "base/ll_string.h"

bool CalendarNextRun(const Entry& entry, time_t present, char* next, size_t next_size, char* reason,
                     size_t reason_size) {
  CronSchedule schedule;
  time_t when = 0;
  int size = static_cast<int>(reason_size);
  if (CronParse(entry.cron, &schedule, reason, size) &&
      CronNextRun(&schedule, entry.zone, present, &when, reason, size)) {
    LocalTimeText(when, next, next_size);
    return true;
  }
  int interval = ParseInt(entry.interval);
  LocalTimeText(present + (interval > 0 ? interval : kRefusedScheduleRetrySecs), next, next_size);
  return false;
}
