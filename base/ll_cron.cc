#include "base/ll_cron.h"

#include <date/tz.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "base/ll_ascii.h"

namespace {

// ---- Reasons ----------------------------------------------------------------

struct Reason {
  char *text;
  int size;
};

// Always returns 0, so that a refusal is one statement. The formats are
// fixed; what came from the expression is only ever a number here.
__attribute__((format(printf, 2, 3))) int Refuse(const Reason &reason, const char *format, ...) {
  if (reason.text == nullptr || reason.size <= 0) return 0;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(reason.text, static_cast<size_t>(reason.size), format, arguments);
  va_end(arguments);
  return 0;
}

// ---- Reading an expression --------------------------------------------------

enum FieldIndex : int {
  kMinuteField,
  kHourField,
  kDayOfMonthField,
  kMonthField,
  kDayOfWeekField,
  kFieldCount
};

struct FieldRule {
  const char *name;  // as a reason names the field
  int low;           // the values a number may take
  int high;
  std::string_view names;  // three-letter names, the first standing for low
  bool sunday_twice;       // high is low again: 7 is Sunday, like 0
};

constexpr FieldRule kFields[kFieldCount] = {
    {"minute", 0, 59, {}, false},
    {"hour", 0, 23, {}, false},
    {"day of month", 1, 31, {}, false},
    {"month", 1, 12, "janfebmaraprmayjunjulaugsepoctnovdec", false},
    // 7 lets a range end on Sunday ("fri-7"); no name maps to it.
    {"day of week", 0, 7, "sunmontuewedthufrisat", true},
};

// The most days each month can have; February has its leap day.
constexpr int kMostDays[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Longer numbers are refused without being read, so none can overflow.
constexpr size_t kMostDigits = 6;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWith(std::string_view in, char c) { return !in.empty() && in.front() == c; }

// Reads a run of digits from the front of *in; 0 when there is none.
int ReadNumber(std::string_view *in, const FieldRule &rule, int *value, const Reason &why) {
  size_t digits = 0;
  while (digits < in->size() && IsDigit((*in)[digits])) ++digits;
  if (digits == 0) return Refuse(why, "%s: expected a number", rule.name);
  if (digits > kMostDigits) {
    return Refuse(why, "%s: number is out of %d-%d", rule.name, rule.low, rule.high);
  }
  int number = 0;
  for (size_t i = 0; i < digits; ++i) number = number * 10 + ((*in)[i] - '0');
  in->remove_prefix(digits);
  *value = number;
  return 1;
}

// A number in the field's range or one of its names.
int ReadValue(std::string_view *in, const FieldRule &rule, int *value, const Reason &why) {
  if (in->empty() || !IsLetter(in->front())) {
    if (!ReadNumber(in, rule, value, why)) return 0;
    if (*value < rule.low || *value > rule.high) {
      return Refuse(why, "%s: %d is out of %d-%d", rule.name, *value, rule.low, rule.high);
    }
    return 1;
  }
  size_t length = 0;
  while (length < in->size() && IsLetter((*in)[length])) ++length;
  const std::string_view word = in->substr(0, length);
  if (length == 3) {
    for (size_t at = 0; at + 3 <= rule.names.size(); at += 3) {
      if (Lower(word[0]) == rule.names[at] && Lower(word[1]) == rule.names[at + 1] &&
          Lower(word[2]) == rule.names[at + 2]) {
        in->remove_prefix(length);
        *value = rule.low + static_cast<int>(at / 3);
        return 1;
      }
    }
  }
  return Refuse(why, "%s: unknown name", rule.name);
}

// One item of a list: "*", "v", "a-b", each with an optional "/step".
// *whole is set when the item names every value with no step.
int ReadItem(std::string_view item, const FieldRule &rule, uint64_t *bits, bool *whole,
             const Reason &why) {
  if (item.empty()) return Refuse(why, "%s: empty list item", rule.name);
  int first = rule.low;
  int last = rule.high;
  bool star = false;
  bool ranged = false;
  if (StartsWith(item, '*')) {
    item.remove_prefix(1);
    star = true;
  } else {
    if (!ReadValue(&item, rule, &first, why)) return 0;
    last = first;
    if (StartsWith(item, '-')) {
      item.remove_prefix(1);
      if (!ReadValue(&item, rule, &last, why)) return 0;
      ranged = true;
      // "sat-sun" means Saturday to the week's end, not a range backwards.
      if (rule.sunday_twice && last == 0 && first > 0) last = rule.high;
      if (first > last) {
        return Refuse(why, "%s: range %d-%d runs backwards", rule.name, first, last);
      }
    }
  }
  int step = 1;
  if (StartsWith(item, '/')) {
    item.remove_prefix(1);
    if (!ReadNumber(&item, rule, &step, why)) return 0;
    if (step < 1 || step > rule.high) {
      return Refuse(why, "%s: step %d is out of 1-%d", rule.name, step, rule.high);
    }
    if (!star && !ranged) last = rule.high;
  }
  if (!item.empty()) return Refuse(why, "%s: unexpected character", rule.name);
  // Day of week 7 folds onto Sunday's bit.
  const int wrap = rule.sunday_twice ? rule.high : 64;
  for (int value = first; value <= last; value += step) *bits |= uint64_t{1} << (value % wrap);
  *whole = star && step == 1;
  return 1;
}

int ReadField(std::string_view field, const FieldRule &rule, uint64_t *bits, bool *whole,
              const Reason &why) {
  *bits = 0;
  bool only_item_whole = false;
  size_t items = 0;
  for (;;) {
    const size_t comma = field.find(',');
    if (!ReadItem(field.substr(0, comma), rule, bits, &only_item_whole, why)) return 0;
    ++items;
    if (comma == std::string_view::npos) break;
    field.remove_prefix(comma + 1);
  }
  *whole = items == 1 && only_item_whole;
  return 1;
}

// Days 1 to last_day as a day-of-month set. REQUIRES: last_day is 1 to 31.
constexpr uint32_t DaysThrough(int last_day) {
  return (~uint32_t{0} >> (31 - last_day)) & ~uint32_t{1};
}

// Refuses day-of-month values that fall in none of the listed months. With
// a restricted day of week a weekday always comes round, so this is asked
// only when the day of month alone decides.
int CheckDaysFitMonths(const CronSchedule &schedule, const Reason &why) {
  for (int month = 1; month <= 12; ++month) {
    if ((schedule.months >> month & 1) && (schedule.days & DaysThrough(kMostDays[month]))) {
      return 1;
    }
  }
  const int first_day = std::countr_zero(schedule.days);
  if (std::has_single_bit(schedule.months)) {
    return Refuse(why, "day of month %d never falls in month %d", first_day,
                  std::countr_zero(schedule.months));
  }
  return Refuse(why, "day of month %d never falls in any listed month", first_day);
}

// ---- Wall-clock time in a zone ------------------------------------------------

constexpr int64_t kMinute = 60;
constexpr int64_t kDay = 86400;
constexpr int kYearsAhead = 8;  // long enough for a leap day skipped at a century

// Instants whose wall-clock dates, and 8 years on, stay well inside every
// calendar type used here (years 1 to 9999).
constexpr time_t kEarliest = -62135596800;  // 0001-01-01 00:00:00 UTC
constexpr time_t kLatest = 253087545600;    // 9990-01-01 00:00:00 UTC

// A wall-clock time is counted as seconds since 1970-01-01 00:00 on the
// zone's own clock, so civil arithmetic needs no zone.
class WallClock {
 public:
  explicit WallClock(const date::time_zone *zone) : zone_(zone) {}

  bool ToLocal(time_t instant, int64_t *local) const {
    long offset;
    if (!OffsetAt(instant, &offset)) return false;
    *local = instant + offset;
    return true;
  }

  // The instant a wall-clock time names: the earlier when the clock passes
  // it twice, the first instant after the skip when the clock skips it.
  bool ToInstant(int64_t local, time_t *instant) const {
    if (zone_ != nullptr) {
      const date::local_info info =
          zone_->get_info(date::local_seconds{std::chrono::seconds{local}});
      if (info.result == date::local_info::nonexistent) {
        *instant = info.second.begin.time_since_epoch().count();
      } else {
        *instant = local - info.first.offset.count();  // first is the earlier passing
      }
      return true;
    }
    // The C library offers no such question, so it is asked of the offsets
    // a day either side: around one change of offset only those two can
    // name the time. Both do when it is passed twice, neither when skipped.
    long before, after;
    if (!OffsetAt(local - kDay, &before) || !OffsetAt(local + kDay, &after)) return false;
    time_t earliest = 0;
    bool found = false;
    for (const long offset : {before, after}) {
      long actual;
      if (!OffsetAt(local - offset, &actual)) return false;
      if (actual == offset && (!found || local - offset < earliest)) {
        earliest = local - offset;
        found = true;
      }
    }
    if (found) {
      *instant = earliest;
      return true;
    }
    // Skipped: the change lies between the two readings; the wall clock runs
    // past `local` at it, and a binary search over an hour or so finds it.
    time_t low = local - after;  // still before the change
    time_t high = local - before;
    if (low >= high) return false;
    while (high - low > 1) {
      const time_t middle = low + (high - low) / 2;
      long offset;
      if (!OffsetAt(middle, &offset)) return false;
      if (middle + offset > local) {
        high = middle;
      } else {
        low = middle;
      }
    }
    *instant = high;
    return true;
  }

 private:
  bool OffsetAt(time_t instant, long *offset) const {
    if (zone_ != nullptr) {
      *offset = zone_->get_info(date::sys_seconds{std::chrono::seconds{instant}}).offset.count();
      return true;
    }
    struct tm fields;
    if (localtime_r(&instant, &fields) == nullptr) return false;
    *offset = fields.tm_gmtoff;
    return true;
  }

  const date::time_zone *zone_;  // null: the C library's local time
};

// Looked up without locate_zone, which throws for an unknown name: table
// text names zones, and a wrong one is an everyday refusal.
const date::time_zone *FindZone(std::string_view name) {
  const std::vector<date::time_zone> &zones = date::get_tzdb().zones;
  auto found = std::lower_bound(
      zones.begin(), zones.end(), name,
      [](const date::time_zone &zone, std::string_view wanted) { return zone.name() < wanted; });
  return found != zones.end() && found->name() == name ? &*found : nullptr;
}

// ---- The search ---------------------------------------------------------------

// The lowest member of set at or above from, or -1.
int NextBit(uint64_t set, unsigned from) {
  if (from >= 64) return -1;
  const uint64_t left = set & (~uint64_t{0} << from);
  return left == 0 ? -1 : std::countr_zero(left);
}

// The days 1+k, 8+k, ... of a month: those on the weekday k days after
// the weekday of its first.
constexpr uint32_t WeeklyDays(int k) {
  uint32_t days = 0;
  for (int day = 1 + k; day <= 31; day += 7) days |= uint32_t{1} << day;
  return days;
}
constexpr uint32_t kWeekly[7] = {WeeklyDays(0), WeeklyDays(1), WeeklyDays(2), WeeklyDays(3),
                                 WeeklyDays(4), WeeklyDays(5), WeeklyDays(6)};

// The days of one month that the schedule runs on, as a day-of-month set.
uint32_t DaysThatMatch(const CronSchedule &schedule, date::year_month month) {
  const unsigned first_weekday = date::weekday{date::local_days{month / 1}}.c_encoding();
  uint32_t by_weekday = 0;
  for (unsigned k = 0; k < 7; ++k) {
    if (schedule.weekdays >> ((first_weekday + k) % 7) & 1) by_weekday |= kWeekly[k];
  }
  const uint32_t in_month = DaysThrough(static_cast<int>(unsigned{(month / date::last).day()}));
  // With one day field "*", the other alone decides; with both restricted,
  // either may.
  const bool either = !schedule.any_day_of_month && !schedule.any_day_of_week;
  return (either ? schedule.days | by_weekday : schedule.days & by_weekday) & in_month;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0); }

// The first wall-clock minute at or after start that the schedule matches,
// found field by field: a field that does not match moves to its next member
// and starts the smaller fields from their beginning; one that has no member
// left carries into the larger field.
bool NextMatch(const CronSchedule &schedule, int64_t start, int last_year, int64_t *found) {
  const int64_t start_day = FloorDiv(start, kDay);
  const date::year_month_day date{date::local_days{date::days{start_day}}};
  int year = int{date.year()};
  unsigned month = unsigned{date.month()};
  unsigned day = unsigned{date.day()};
  unsigned hour = static_cast<unsigned>((start - start_day * kDay) / 3600);
  unsigned minute = static_cast<unsigned>((start - start_day * kDay) % 3600 / kMinute);
  const auto from_month = [&](unsigned new_month) {
    month = new_month;
    day = 1;
    hour = 0;
    minute = 0;
  };
  const auto from_day = [&](unsigned new_day) {
    day = new_day;
    hour = 0;
    minute = 0;
  };
  const auto from_hour = [&](unsigned new_hour) {
    hour = new_hour;
    minute = 0;
  };
  while (year <= last_year) {
    const int next_month = NextBit(schedule.months, month);
    if (next_month < 0) {
      ++year;
      from_month(1);
      continue;
    }
    if (static_cast<unsigned>(next_month) != month) from_month(next_month);
    const date::year_month this_month = date::year{year} / date::month{month};
    const int next_day = NextBit(DaysThatMatch(schedule, this_month), day);
    if (next_day < 0) {
      from_month(month + 1);  // 13 has no member, so it carries into the year
      continue;
    }
    if (static_cast<unsigned>(next_day) != day) from_day(next_day);
    const int next_hour = NextBit(schedule.hours, hour);
    if (next_hour < 0) {
      from_day(day + 1);  // past the month's end matches no day and carries
      continue;
    }
    if (static_cast<unsigned>(next_hour) != hour) from_hour(next_hour);
    const int next_minute = NextBit(schedule.minutes, minute);
    if (next_minute < 0) {
      from_hour(hour + 1);  // hour 24 has no member and carries
      continue;
    }
    const date::local_days midnight{this_month / date::day{day}};
    *found =
        int64_t{midnight.time_since_epoch().count()} * kDay + hour * 3600 + next_minute * kMinute;
    return true;
  }
  return false;
}

// Candidates that fall at or before `after` come only from a wall-clock hour
// passed twice, whose second passing is not run; this bounds how many are
// stepped over before the search gives up on a zone that behaves oddly.
constexpr int kMostCandidates = 4096;

int NextRun(const CronSchedule &schedule, const char *zone_name, time_t after, time_t *next,
            const Reason &why) {
  const date::time_zone *zone = nullptr;
  if (zone_name != nullptr && zone_name[0] != '\0') {
    zone = FindZone(zone_name);
    if (zone == nullptr) return Refuse(why, "unknown time zone");
  }
  const WallClock clock(zone);
  int64_t local;
  if (after < kEarliest || after > kLatest || !clock.ToLocal(after, &local)) {
    return Refuse(why, "time out of range");
  }
  int64_t from = (FloorDiv(local, kMinute) + 1) * kMinute;
  const int last_year =
      int{date::year_month_day{date::local_days{date::days{FloorDiv(from, kDay)}}}.year()} +
      kYearsAhead;
  for (int candidates = 0; candidates < kMostCandidates; ++candidates) {
    int64_t candidate;
    if (!NextMatch(schedule, from, last_year, &candidate)) break;
    time_t instant;
    if (!clock.ToInstant(candidate, &instant)) return Refuse(why, "time out of range");
    if (instant > after) {
      *next = instant;
      return 1;
    }
    from = candidate + kMinute;
  }
  return Refuse(why, "no run within %d years", kYearsAhead);
}

}  // namespace

int CronParse(const char *text, CronSchedule *out, char *reason, int reason_size) {
  const Reason why{reason, reason_size};
  std::string_view rest = text == nullptr ? std::string_view() : std::string_view(text);
  std::string_view fields[kFieldCount];
  int count = 0;
  for (;;) {
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    if (rest.empty()) break;
    if (count == kFieldCount) return Refuse(why, "expected five fields");
    size_t length = 0;
    while (length < rest.size() && !IsBlank(rest[length])) ++length;
    fields[count++] = rest.substr(0, length);
    rest.remove_prefix(length);
  }
  if (count != kFieldCount) return Refuse(why, "expected five fields");

  uint64_t bits[kFieldCount];
  bool whole[kFieldCount];
  for (int field = 0; field < kFieldCount; ++field) {
    if (!ReadField(fields[field], kFields[field], &bits[field], &whole[field], why)) return 0;
  }
  CronSchedule schedule;
  schedule.minutes = bits[kMinuteField];
  schedule.hours = static_cast<uint32_t>(bits[kHourField]);
  schedule.days = static_cast<uint32_t>(bits[kDayOfMonthField]);
  schedule.months = static_cast<uint16_t>(bits[kMonthField]);
  schedule.weekdays = static_cast<uint8_t>(bits[kDayOfWeekField]);
  schedule.any_day_of_month = whole[kDayOfMonthField];
  schedule.any_day_of_week = whole[kDayOfWeekField];
  if (schedule.any_day_of_week && !CheckDaysFitMonths(schedule, why)) return 0;
  *out = schedule;
  return 1;
}

int CronNextRun(const CronSchedule *schedule, const char *zone, time_t after, time_t *next,
                char *reason, int reason_size) {
  const Reason why{reason, reason_size};
  // A record not made by CronParse may hold bits outside the fields' ranges.
  CronSchedule sane = *schedule;
  sane.minutes &= (uint64_t{1} << 60) - 1;
  sane.hours &= (uint32_t{1} << 24) - 1;
  sane.days &= DaysThrough(31);
  sane.months &= 0x1ffe;
  sane.weekdays &= 0x7f;
  try {
    return NextRun(sane, zone, after, next, why);
  } catch (const std::exception &) {
    // The zone database reads its files on first use; a missing or damaged
    // one surfaces here rather than as a crash in the daemon.
    return Refuse(why, "time zone data could not be read");
  }
}
