#include "engine/rules/missed.h"

#include <strings.h>

#include <string_view>

#include "base/ll_ascii.h"
#include "base/ll_string.h"
#include "engine/rules/calendar.h"
#include "engine/rules/splay.h"

MissedPolicy MissedPolicyOf(const char* text, bool calendar) {
  std::string_view word(text);
  while (!word.empty() && IsBlank(word.front())) word.remove_prefix(1);
  while (!word.empty() && IsBlank(word.back())) word.remove_suffix(1);
  if (word.empty()) return calendar ? kMissedOne : kMissedEach;
  constexpr struct {
    std::string_view word;
    MissedPolicy policy;
  } kWords[] = {{"each", kMissedEach}, {"one", kMissedOne}, {"none", kMissedNone}};
  for (const auto& known : kWords)
    if (word.size() == known.word.size() &&
        strncasecmp(word.data(), known.word.data(), word.size()) == 0)
      return known.policy;
  return kMissedRefused;
}

bool SlotsBefore(const Entry& entry, time_t first, time_t end, SlotsPassed* passed) {
  *passed = {0, false, -1, -1, -1, first};
  if (entry.cron[0] == '\0') {
    long long interval = ParseInt(entry.interval);
    if (interval <= 0) return false;
    if (first >= end) return true;
    // Whole intervals from first: the phase stays, however long the gap.
    long long steps = (static_cast<long long>(end) - first + interval - 1) / interval;
    passed->count = steps;
    passed->first = first;
    passed->last = static_cast<time_t>(first + (steps - 1) * interval);
    if (steps > 1) passed->second = static_cast<time_t>(first + interval);
    passed->next = static_cast<time_t>(first + steps * interval);
    return true;
  }
  // A calendar's matches one by one, each the first after the one before;
  // so many that counting them would hold the cycle are counted as "more
  // than", and the next is found from the end at once.
  time_t next = first;
  while (next < end) {
    if (passed->count == kMostCountedMatches) {
      passed->more = true;
      next = CalendarNextTime(entry, end - 1);
      break;
    }
    if (passed->count == 0) passed->first = next;
    if (passed->count == 1) passed->second = next;
    passed->last = next;
    ++passed->count;
    next = CalendarNextTime(entry, next);
    if (next == -1) return false;  // the schedule is refused
  }
  if (next == -1) return false;
  passed->next = next;
  return true;
}

time_t NextRunAfterRetriedRun(const Entry& entry, time_t run_time) {
  if (entry.cron[0] != '\0') {
    time_t retry_time = StoredTime(entry.next);
    return retry_time == -1 ? -1 : CalendarNextTime(entry, retry_time);
  }
  long long interval = ParseInt(entry.interval);
  return PlaceIntervalRun(entry.id, entry.splay, interval, run_time + interval);
}

std::string SkippedReason(long long count, bool more, time_t first, time_t last,
                          const char* what) {
  char from[20], to[20];
  LocalTimeText(first, from, sizeof from);
  LocalTimeText(last, to, sizeof to);
  std::string reason = std::string("skipped ") + (more ? "more than " : "") +
                       std::to_string(count) + (count == 1 && !more ? " run, " : " runs, ") + from;
  if (count > 1 || more) reason += std::string(" to ") + to;
  return reason + what;
}
