#include "base/ll_datetime.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/ll_ascii.h"
#include "base/ll_cpapi.h"
#include "base/ll_string.h"

int GbEuroDateOrder = 0;

namespace {

// Month names as IsDate looks them up: a word is found as a piece of this
// table, and its month is the position of the first match divided by 3.
constexpr char kMonthTable[] = "janfebmaraprmayjunjulaugsepoctnovdec";
constexpr size_t kMonthTableLength = sizeof(kMonthTable) - 1;

// Characters that make a text not a date for IsDate. The comma is among them,
// so "Dec 25, 2000" is not a date.
constexpr char kNotInDate[] = "`~!@#$%^&*()_+=,<>?|':;[{]}\t\r\n";

void RefuseDate() { SettingError(kSettingErrorBadDate); }

// ---- A bounded reader for the scanners' formats ---------------------------
// The scanners read texts with the conventions of the C scanf family (white
// space before a number is skipped, a field width is the most characters a
// number may take, sign included, and reading stops at the first field that
// does not match), but over a view of the text: nothing is read past its
// end, a word is never copied into a fixed buffer, and a number too large
// for an int fails to read instead of overflowing.

std::string_view View(const char *text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

void SkipWhiteSpace(std::string_view *in) {
  size_t count = 0;
  while (count < in->size() && IsWhiteSpace((*in)[count])) ++count;
  in->remove_prefix(count);
}

// "%<width>d"; a width of 0 means no limit.
bool ReadInt(std::string_view *in, size_t width, int *out) {
  SkipWhiteSpace(in);
  const size_t limit = width == 0 ? in->size() : std::min(width, in->size());
  size_t used = 0;
  bool negative = false;
  if (used < limit && ((*in)[used] == '+' || (*in)[used] == '-')) {
    negative = (*in)[used] == '-';
    ++used;
  }
  const size_t first_digit = used;
  long long value = 0;
  bool too_large = false;
  for (; used < limit && IsDigit((*in)[used]); ++used) {
    if (too_large) continue;  // keep consuming the digits, as scanf does
    value = value * 10 + ((*in)[used] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) too_large = true;
  }
  if (used == first_digit) return false;
  if (negative) value = -value;
  if (too_large || value > INT_MAX || value < INT_MIN) return false;
  in->remove_prefix(used);
  *out = static_cast<int>(value);
  return true;
}

// "%c": any one character, white space included.
bool ReadChar(std::string_view *in, char *out) {
  if (in->empty()) return false;
  *out = in->front();
  in->remove_prefix(1);
  return true;
}

// A literal character of the format.
bool ReadLiteral(std::string_view *in, char expected) {
  if (in->empty() || in->front() != expected) return false;
  in->remove_prefix(1);
  return true;
}

// "%<width>s": a run of characters other than white space; a width of 0
// means no limit.
bool ReadWord(std::string_view *in, size_t width, std::string_view *out) {
  SkipWhiteSpace(in);
  const size_t limit = width == 0 ? in->size() : std::min(width, in->size());
  size_t used = 0;
  while (used < limit && !IsWhiteSpace((*in)[used])) ++used;
  if (used == 0) return false;
  *out = in->substr(0, used);
  in->remove_prefix(used);
  return true;
}

// Parses a whole decimal text as strtol does (leading blanks and a sign
// allowed, no digits give 0), held to the int range so that a huge number
// fails the range checks instead of wrapping.
int ParseDecimal(const char *text) {
  if (text == nullptr) return 0;
  const long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// ---- Calendar record helpers ------------------------------------------------

void ResetRecord(struct tm *record, int day_of_month) {
  record->tm_sec = 0;
  record->tm_min = 0;
  record->tm_hour = 0;
  record->tm_mday = day_of_month;
  record->tm_mon = 0;
  record->tm_year = 70;
  record->tm_isdst = -1;
}

// Stores a date and lets mktime normalise it (31 February becomes early
// March) and fill the day of week and year. mktime also leaves the
// daylight-saving flag in force at the moment it settled on, so that a later
// mktime of the same record means the same moment.
void StoreDate(struct tm *record, int day, int month, int years_since_1900) {
  record->tm_mon = month - 1;
  record->tm_mday = day;
  record->tm_year = years_since_1900;
  mktime(record);
}

void StoreTime(struct tm *record, int hour, int minute, int second) {
  record->tm_hour = hour;
  record->tm_min = minute;
  record->tm_sec = second;
}

// ---- The stored timestamp form ----------------------------------------------

struct OdbcFields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// "%4d-%2d-%2d", followed by " %2d:%2d:%2d" when with_time is set. Fields
// that cannot be read stay 0; what follows the last field (fractions of a
// second from some drivers, for instance) is ignored.
OdbcFields ReadOdbcFields(const char *text, bool with_time) {
  std::string_view in = View(text);
  OdbcFields f;
  if (ReadInt(&in, 4, &f.year) && ReadLiteral(&in, '-') && ReadInt(&in, 2, &f.month) &&
      ReadLiteral(&in, '-') && ReadInt(&in, 2, &f.day) && with_time && ReadInt(&in, 2, &f.hour) &&
      ReadLiteral(&in, ':') && ReadInt(&in, 2, &f.minute) && ReadLiteral(&in, ':')) {
    ReadInt(&in, 2, &f.second);
  }
  return f;
}

bool OdbcDateInRange(const OdbcFields &f) {
  return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 &&
         ((f.year >= 70 && f.year <= 99) || f.year >= 1970);
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The month a word names in kMonthTable, or 0. Any piece of the table
// counts, so "ma" is March and "may" is the only full name found.
int MonthFromWord(std::string_view word) {
  if (word.empty() || word.size() > kMonthTableLength) return 0;
  char folded[kMonthTableLength + 1];
  memcpy(folded, word.data(), word.size());
  folded[word.size()] = '\0';
  istrlwr(folded);
  const char *found = stristr(0, kMonthTable, folded);
  if (found == nullptr) return 0;
  return static_cast<int>(found - kMonthTable) / 3 + 1;
}

// "%Y-%m-%d" and its sisters of the present local time into buffer; a text
// that does not fit leaves "" rather than whatever strftime left behind.
char *FormatPresent(char *buffer, size_t size, const char *format) {
  if (buffer == nullptr || size == 0) return buffer;
  const time_t moment = time(nullptr);
  struct tm local;
  if (localtime_r(&moment, &local) == nullptr || strftime(buffer, size, format, &local) == 0) {
    buffer[0] = '\0';
  }
  return buffer;
}

}  // namespace

int ScanODBCDate(int /*context*/, const char *text, struct tm *record, int reset) {
  PrintWord("In scanodbc");
  const OdbcFields f = ReadOdbcFields(text, false);
  if (!OdbcDateInRange(f)) {
    RefuseDate();
    return 0;
  }
  if (reset) ResetRecord(record, 1);
  StoreDate(record, f.day, f.month, f.year > 1900 ? f.year - 1900 : f.year);
  return 1;
}

int ScanODBCTime(int /*context*/, const char *text, struct tm *record, int reset) {
  PrintWord("In scanodbc");
  const OdbcFields f = ReadOdbcFields(text, true);
  if (!OdbcDateInRange(f)) {
    RefuseDate();
    return 0;
  }
  const char *bad_field = nullptr;
  if (f.hour < 0 || f.hour > 23) {
    bad_field = "h";
  } else if (f.minute < 0 || f.minute > 59) {
    bad_field = "min";
  } else if (f.second < 0 || f.second > 59) {
    bad_field = "S";
  }
  if (bad_field != nullptr) {
    PrintWord(bad_field);
    RefuseDate();
    return 0;
  }
  if (reset) ResetRecord(record, 1);
  StoreTime(record, f.hour, f.minute, f.second);
  return 1;
}

int ScanDate(int /*context*/, const char *text, struct tm *record, int reset) {
  PrintWord("In scandate");
  std::string_view in = View(text);
  if (!reset && in.empty()) {
    PrintWord("Leaving ScanDate");
    return 1;
  }
  int first = 0;
  int second = 0;
  int year = 0;
  char separator;
  (void)(ReadInt(&in, 2, &first) && ReadChar(&in, &separator) && ReadInt(&in, 2, &second) &&
         ReadChar(&in, &separator) && ReadInt(&in, 4, &year));
  const int month = GbEuroDateOrder ? second : first;
  const int day = GbEuroDateOrder ? first : second;

  if (month < 1 || month > 12 || day < 1 || day > 31) {
    RefuseDate();
    PrintWord("Leaving ScanDate with Error 1");
    PrintWord("Leaving ScanDate");
    return 0;
  }
  // Two-digit years 00 to 34 are this century's; a negative year is refused
  // rather than stored as a year before 1900.
  const bool year_accepted =
      (year >= 0 && year <= 34) || (year >= 70 && year <= 99) || (year >= 1970 && year <= 2034);
  if (!year_accepted) {
    RefuseDate();
    PrintWord("Leaving ScanDate with Error 2");
    PrintWord("Leaving ScanDate");
    return 0;
  }
  if (year <= 34) {
    year += 100;
  } else if (year > 1900) {
    year -= 1900;
  }
  if (reset) ResetRecord(record, 0);
  StoreDate(record, day, month, year);
  PrintWord("Leaving ScanDate");
  return 1;
}

int ScanDMY(int /*context*/, const char *day_text, const char *month_text, const char *year_text,
            struct tm *record, int reset) {
  PrintWord("In scandmy");
  const int day = ParseDecimal(day_text);
  const int month = ParseDecimal(month_text);
  int year = ParseDecimal(year_text);
  if (month < 1 || month > 12 || day < 1 || day > 31 ||
      !((year >= 70 && year <= 99) || (year >= 1970 && year <= 2034))) {
    RefuseDate();
    return 0;
  }
  if (year > 1900) year -= 1900;
  if (reset) ResetRecord(record, 0);
  StoreDate(record, day, month, year);
  return 1;
}

int ScanTime(int /*context*/, const char *text, struct tm *record, int reset) {
  PrintWord("In scantime");
  std::string_view in = View(text);
  if (!reset && in.empty()) return 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  (void)(ReadInt(&in, 2, &hour) && ReadLiteral(&in, ':') && ReadInt(&in, 2, &minute) &&
         ReadLiteral(&in, ':') && ReadInt(&in, 2, &second));
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    RefuseDate();
    return 0;
  }
  if (reset) ResetRecord(record, 1);
  StoreTime(record, hour, minute, second);
  return 1;
}

int ScanHMS(int /*context*/, const char *hour_text, const char *minute_text,
            const char *second_text, struct tm *record, int reset) {
  PrintWord("In scanhms");
  const int hour = ParseDecimal(hour_text);
  const int minute = ParseDecimal(minute_text);
  const int second = ParseDecimal(second_text);
  // 24 is let through so that "24:00:00" can name the end of a day.
  if (hour < 0 || hour > 24 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    RefuseDate();
    return 0;
  }
  if (reset) ResetRecord(record, 1);
  StoreTime(record, hour, minute, second);
  return 1;
}

int IsDate(int /*context*/, char *text) {
  PrintWord("In is date");
  if (text == nullptr) return 0;
  const std::string_view whole(text);
  if (whole.find_first_of(kNotInDate) != std::string_view::npos) return 0;
  if (!whole.empty() && whole.front() == ' ') return 0;

  int month = 0;
  int day = 0;
  int year = 0;
  char extra;
  std::string_view word;
  if (!whole.empty() && IsLetter(whole.front())) {
    // "Dec 25 2000": exactly three items; anything after the year, even a
    // blank, makes it something else.
    std::string_view in = whole;
    if (!(ReadWord(&in, 0, &word) && ReadInt(&in, 0, &day) && ReadInt(&in, 0, &year)) ||
        ReadChar(&in, &extra)) {
      return 0;
    }
    month = MonthFromWord(word);
    if (month == 0) return 0;
  } else {
    for (char *p = text; *p != '\0'; ++p) {
      if (*p == '-' || *p == '.') *p = '/';
    }
    std::string_view in = whole;
    if (whole.find('/') != std::string_view::npos) {
      int first = 0;
      int second = 0;
      if (!(ReadInt(&in, 0, &first) && ReadLiteral(&in, '/') && ReadInt(&in, 0, &second) &&
            ReadLiteral(&in, '/') && ReadInt(&in, 0, &year)) ||
          ReadChar(&in, &extra)) {
        return 0;
      }
      month = GbEuroDateOrder ? second : first;
      day = GbEuroDateOrder ? first : second;
    } else {
      // "25dec2000" or "25 Dec 2000": the month word takes at most three
      // characters.
      if (!(ReadInt(&in, 0, &day) && ReadWord(&in, 3, &word) && ReadInt(&in, 0, &year)) ||
          ReadChar(&in, &extra)) {
        return 0;
      }
      month = MonthFromWord(word);
      if (month == 0) return 0;
    }
  }

  if (month < 1 || month > 12 || year < 0) return 0;
  if (year <= 33) {
    year += 2000;
  } else if (year <= 99) {
    year += 1900;
  }
  if (day < 1 || day > 31) return 0;
  if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) {
    return 0;
  }
  if (month == 2 && day > (IsLeapYear(year) ? 29 : 28)) return 0;
  return 1;
}

int DSTDeltaSeconds(const struct tm *first, const struct tm *second) {
  const int first_flag = first->tm_isdst != 0 ? 1 : 0;
  const int second_flag = second->tm_isdst != 0 ? 1 : 0;
  return 3600 * (first_flag - second_flag);
}

char *curdate(char *buffer, size_t size) { return FormatPresent(buffer, size, "%Y-%m-%d"); }

char *curtime(char *buffer, size_t size) { return FormatPresent(buffer, size, "%H:%M:%S"); }

char *now(char *buffer, size_t size) { return FormatPresent(buffer, size, "%Y-%m-%d %H:%M:%S"); }

char *curtimefrac(char *buffer) {
  if (buffer == nullptr) return buffer;
  const time_t moment = time(nullptr);
  struct tm local;
  if (localtime_r(&moment, &local) == nullptr) {
    buffer[0] = '\0';
    return buffer;
  }
  // Summed from the hour, minute and second quotients, the form its callers
  // rely on. On 439 seconds of a day the sum lands on the other side of a
  // rounding boundary from whole seconds over 86400, so the last digit can
  // differ from the scheduler's own day fraction (00:03:09 gives 0.002187
  // here, 0.002188 there).
  const double fraction = local.tm_hour / 24.0 + local.tm_min / 1440.0 + local.tm_sec / 86400.0;
  snprintf(buffer, 9, "%f", fraction);
  return buffer;
}
