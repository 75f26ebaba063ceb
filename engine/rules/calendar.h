// An entry's calendar schedule: where its row has an i_cron, the next run
// is the first time the expression matches in the entry's i_zone (or the
// daemon's own local time) strictly after the cycle's present, so that
// occurrences missed while the daemon was down are not replayed. A row
// whose expression or zone is refused is not hit and is tried again after
// its interval. Pure functions of the entry: any thread may call them.
#ifndef JANTOR_ENGINE_RULES_CALENDAR_H_
#define JANTOR_ENGINE_RULES_CALENDAR_H_

#include <cstddef>
#include <ctime>

#include "engine/rules/entry.h"

// Seconds until a refused calendar entry is tried again when its
// i_interval is not a positive number.
enum : int { kRefusedScheduleRetrySecs = 3600 };

// The next run of entry's i_cron strictly after present, as local time
// "YYYY-MM-DD HH:MM:SS" in next (at least 20 bytes). false with the reason
// (naming the field, or the unknown zone) when the schedule is refused;
// then next holds the time to try again: present plus the interval, or
// plus kRefusedScheduleRetrySecs.
bool CalendarNextRun(const Entry& entry, time_t present, char* next, size_t next_size, char* reason,
                     size_t reason_size);

// The same moment, or -1 when the schedule is refused.
time_t CalendarNextTime(const Entry& entry, time_t present);

#endif  // JANTOR_ENGINE_RULES_CALENDAR_H_
