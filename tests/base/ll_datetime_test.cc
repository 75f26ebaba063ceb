#include "base/ll_datetime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr char kRefused[] = "\r\n***** Setting Error 580 *****\r\n\r\n";

// Runs a scanner with standard output captured; returns what it printed.
template <typename Call>
std::string Printed(int *result, Call call) {
  CaptureStdout();
  *result = call();
  return GetCapturedStdout();
}

// A record whose every byte is a known pattern, so that "unchanged" can be
// checked to the byte.
struct tm Sentinel() {
  struct tm record;
  memset(&record, 0x5a, sizeof(record));
  return record;
}

bool SameBytes(const struct tm &a, const struct tm &b) { return memcmp(&a, &b, sizeof(a)) == 0; }

// Each test runs in a zone of its choosing and leaves the process's zone and
// date order as it found them.
class DateTime : public testing::Test {
 protected:
  void SetUp() override {
    const char *zone = getenv("TZ");
    had_zone_ = zone != nullptr;
    if (had_zone_) saved_zone_ = zone;
    UseZone("UTC0");
  }
  void TearDown() override {
    if (had_zone_) {
      setenv("TZ", saved_zone_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    GbEuroDateOrder = 0;
  }
  static void UseZone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool had_zone_ = false;
  std::string saved_zone_;
};

// What the scheduler does with a stored next-run time: date with reset,
// time without, then mktime.
// scanned_flag, when given, receives the daylight-saving flag the scanners
// left for mktime.
time_t ReadStoredTime(const char *text, struct tm *record, int *scanned_flag = nullptr) {
  ScanODBCDate(0, text, record, 1);
  ScanODBCTime(0, text, record, 0);
  if (scanned_flag != nullptr) *scanned_flag = record->tm_isdst;
  return mktime(record);
}

// The same, with the trace lines kept out of the test's output.
time_t ReadStoredTimeQuietly(const char *text, struct tm *record, int *scanned_flag = nullptr) {
  CaptureStdout();
  const time_t moment = ReadStoredTime(text, record, scanned_flag);
  GetCapturedStdout();
  return moment;
}

std::string Format(time_t moment) {
  struct tm local;
  localtime_r(&moment, &local);
  char text[64];
  strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// ---- The stored timestamp form ---------------------------------------------

TEST_F(DateTime, OdbcDateWithResetHoldsMidnightOfTheDate) {
  struct tm record = Sentinel();
  int result = 0;
  std::string out =
      Printed(&result, [&] { return ScanODBCDate(0, "2000-12-06 15:00:00", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scanodbc\r\n");
  EXPECT_EQ(record.tm_year, 100);
  EXPECT_EQ(record.tm_mon, 11);
  EXPECT_EQ(record.tm_mday, 6);
  EXPECT_EQ(record.tm_hour, 0);
  EXPECT_EQ(record.tm_min, 0);
  EXPECT_EQ(record.tm_sec, 0);
  EXPECT_EQ(record.tm_wday, 3);  // filled by mktime: a Wednesday
  EXPECT_EQ(record.tm_yday, 340);
  EXPECT_EQ(record.tm_isdst, 0);

  out = Printed(&result, [&] { return ScanODBCTime(0, "2000-12-06 15:00:00", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scanodbc\r\n");
  EXPECT_EQ(record.tm_hour, 15);
  EXPECT_EQ(record.tm_min, 0);
  EXPECT_EQ(record.tm_sec, 0);
  EXPECT_EQ(record.tm_mday, 6);
  EXPECT_EQ(record.tm_wday, 3);
}

TEST_F(DateTime, OdbcDateAcceptsTwoDigitAndLateYearsAndNormalises) {
  struct tm record = Sentinel();
  int result = 0;
  Printed(&result, [&] { return ScanODBCDate(0, "99-01-15", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_year, 99);
  EXPECT_EQ(record.tm_mon, 0);
  EXPECT_EQ(record.tm_mday, 15);

  Printed(&result, [&] { return ScanODBCDate(0, "2034-02-31", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_mon, 2);
  EXPECT_EQ(record.tm_mday, 3);

  Printed(&result, [&] { return ScanODBCDate(0, "2032-02-31", &record, 1); });
  EXPECT_EQ(record.tm_mon, 2);
  EXPECT_EQ(record.tm_mday, 2);  // leap year

  // Without reset, the time of day stays for mktime to use.
  record.tm_hour = 10;
  record.tm_min = 20;
  record.tm_sec = 30;
  record.tm_isdst = 0;
  Printed(&result, [&] { return ScanODBCDate(0, "2001-05-06", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_year, 101);
  EXPECT_EQ(record.tm_mon, 4);
  EXPECT_EQ(record.tm_mday, 6);
  EXPECT_EQ(record.tm_hour, 10);
  EXPECT_EQ(record.tm_min, 20);
  EXPECT_EQ(record.tm_sec, 30);

  for (const char *text : {"1970-01-01", "70-01-01", "9999-12-31", " 1970- 1- 1", "2000-1-1x"}) {
    Printed(&result, [&] { return ScanODBCDate(0, text, &record, 1); });
    EXPECT_EQ(result, 1) << text;
  }
}

TEST_F(DateTime, OdbcTimeIgnoresFractionalSecondsAndMissingTime) {
  struct tm record = Sentinel();
  int result = 0;
  Printed(&result, [&] { return ScanODBCTime(0, "2026-12-07 14:05:09.000", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_hour, 14);
  EXPECT_EQ(record.tm_min, 5);
  EXPECT_EQ(record.tm_sec, 9);
  // The reset base: 1 January 1970, flag not known.
  EXPECT_EQ(record.tm_year, 70);
  EXPECT_EQ(record.tm_mon, 0);
  EXPECT_EQ(record.tm_mday, 1);
  EXPECT_EQ(record.tm_isdst, -1);

  // No time part reads as midnight; with reset 0 the date stays.
  record.tm_hour = 10;
  record.tm_min = 20;
  record.tm_sec = 30;
  record.tm_mday = 17;
  Printed(&result, [&] { return ScanODBCTime(0, "2026-12-07", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_hour, 0);
  EXPECT_EQ(record.tm_min, 0);
  EXPECT_EQ(record.tm_sec, 0);
  EXPECT_EQ(record.tm_mday, 17);
}

TEST_F(DateTime, SchedulerPathReadsStoredTimeBack) {
  struct tm record = Sentinel();
  CaptureStdout();
  const time_t plain = ReadStoredTime("2026-12-07 14:00:00", &record);
  const time_t with_fraction = ReadStoredTime("2026-12-07 14:00:00.000", &record);
  const time_t with_micros = ReadStoredTime("2026-12-07 14:00:00.123456", &record);
  EXPECT_EQ(GetCapturedStdout(),
            "In scanodbc\r\nIn scanodbc\r\nIn scanodbc\r\nIn scanodbc\r\n"
            "In scanodbc\r\nIn scanodbc\r\n");
  EXPECT_EQ(plain, 1796652000);  // 2026-12-07 14:00:00 UTC
  EXPECT_EQ(with_fraction, plain);
  EXPECT_EQ(with_micros, plain);
  EXPECT_EQ(Format(plain + 3600), "2026-12-07 15:00:00");
}

TEST_F(DateTime, NowIsReadBackByTheSchedulerPath) {
  UseZone("Europe/Berlin");
  char text[32];
  time_t before = 0;
  time_t after = 1;
  // Retried when the clock ticks between the two readings.
  for (int attempt = 0; attempt < 5 && before != after; ++attempt) {
    before = time(nullptr);
    now(text, sizeof(text));
    after = time(nullptr);
  }
  ASSERT_EQ(before, after);
  ASSERT_EQ(strlen(text), 19u);
  struct tm record = Sentinel();
  const time_t read_back = ReadStoredTimeQuietly(text, &record);
  EXPECT_EQ(read_back, before) << text;
}

// ---- Daylight-saving time in a real zone -----------------------------------

TEST_F(DateTime, MidnightFlagFollowsTheDate) {
  UseZone("Europe/Berlin");
  struct tm summer = Sentinel();
  struct tm winter = Sentinel();
  CaptureStdout();
  ScanODBCDate(0, "2026-07-01", &summer, 1);
  ScanODBCDate(0, "2026-01-15", &winter, 1);
  GetCapturedStdout();
  EXPECT_EQ(summer.tm_isdst, 1);
  EXPECT_EQ(winter.tm_isdst, 0);
  EXPECT_EQ(DSTDeltaSeconds(&summer, &winter), 3600);
  EXPECT_EQ(DSTDeltaSeconds(&winter, &summer), -3600);
  EXPECT_EQ(DSTDeltaSeconds(&summer, &summer), 0);
  struct tm unknown = winter;
  unknown.tm_isdst = -1;  // counts as in force
  EXPECT_EQ(DSTDeltaSeconds(&unknown, &winter), 3600);
  EXPECT_EQ(DSTDeltaSeconds(&unknown, &summer), 0);

  // On the day the clocks go forward, midnight is still standard time.
  struct tm change = Sentinel();
  CaptureStdout();
  ScanODBCDate(0, "2026-03-29", &change, 1);
  GetCapturedStdout();
  EXPECT_EQ(change.tm_isdst, 0);
  EXPECT_EQ(change.tm_hour, 0);
  EXPECT_EQ(mktime(&change), 1774738800);  // 2026-03-28 23:00:00 UTC
}

TEST_F(DateTime, StoredTimeOnTheDayTheClocksChange) {
  UseZone("Europe/Berlin");
  struct tm record = Sentinel();
  // After the spring change, a time is read with the flag of that day's
  // midnight (standard time), so it lands one hour after its wall-clock
  // reading, and the next run carries that hour.
  int flag = -2;
  const time_t spring = ReadStoredTimeQuietly("2026-03-29 14:00:00", &record, &flag);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(record.tm_hour, 15);  // as mktime normalised it
  EXPECT_EQ(spring, 1774789200);  // 13:00 UTC, i.e. 15:00 CEST
  EXPECT_EQ(Format(spring + 3600), "2026-03-29 16:00:00");

  // Before the change the same day reads as it stands.
  const time_t early = ReadStoredTimeQuietly("2026-03-29 01:30:00", &record);
  EXPECT_EQ(Format(early), "2026-03-29 01:30:00");

  // A day interval across the change keeps the moment, not the wall clock.
  const time_t eve = ReadStoredTimeQuietly("2026-03-28 14:00:00", &record);
  EXPECT_EQ(Format(eve + 86400), "2026-03-29 15:00:00");

  // In autumn midnight is summer time, so a time after the change lands an
  // hour early.
  const time_t autumn = ReadStoredTimeQuietly("2026-10-25 14:00:00", &record, &flag);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(Format(autumn), "2026-10-25 13:00:00");

  // An ordinary summer day reads as it stands.
  const time_t july = ReadStoredTimeQuietly("2026-07-01 14:00:00", &record);
  EXPECT_EQ(Format(july), "2026-07-01 14:00:00");
}

// ---- Other date forms --------------------------------------------------------

TEST_F(DateTime, ScanDateReadsAnySeparatorsAndShortYears) {
  struct tm record = Sentinel();
  int result = 0;
  std::string out = Printed(&result, [&] { return ScanDate(0, "12/25/05", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scandate\r\nLeaving ScanDate\r\n");
  EXPECT_EQ(record.tm_year, 105);
  EXPECT_EQ(record.tm_mon, 11);
  EXPECT_EQ(record.tm_mday, 25);
  EXPECT_EQ(record.tm_hour, 0);

  for (const char *text : {"12-25-2000", "12.25.2000", "12/25/00", "12/25"}) {
    record = Sentinel();
    Printed(&result, [&] { return ScanDate(0, text, &record, 1); });
    EXPECT_EQ(result, 1) << text;
    EXPECT_EQ(record.tm_year, 100) << text;
    EXPECT_EQ(record.tm_mday, 25) << text;
  }
  for (const char *text : {"1/1/1970", "1/1/70", "12/31/2034", "1/1/34"}) {
    Printed(&result, [&] { return ScanDate(0, text, &record, 1); });
    EXPECT_EQ(result, 1) << text;
  }

  // With reset 0 the time of day stays.
  record.tm_hour = 10;
  record.tm_min = 20;
  record.tm_sec = 30;
  record.tm_isdst = 0;
  Printed(&result, [&] { return ScanDate(0, "7/4/1999", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_year, 99);
  EXPECT_EQ(record.tm_mon, 6);
  EXPECT_EQ(record.tm_mday, 4);
  EXPECT_EQ(record.tm_hour, 10);
  EXPECT_EQ(record.tm_min, 20);
  EXPECT_EQ(record.tm_sec, 30);
}

TEST_F(DateTime, ScanDateEmptyTextDependsOnReset) {
  struct tm record = Sentinel();
  const struct tm before = record;
  int result = 0;
  std::string out = Printed(&result, [&] { return ScanDate(0, "", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scandate\r\nLeaving ScanDate\r\n");
  EXPECT_TRUE(SameBytes(record, before));

  out = Printed(&result, [&] { return ScanDate(0, "", &record, 1); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, std::string("In scandate\r\n") + kRefused +
                     "Leaving ScanDate with Error 1\r\nLeaving ScanDate\r\n");
  EXPECT_TRUE(SameBytes(record, before));
}

TEST_F(DateTime, EuroOrderSwapsDayAndMonth) {
  GbEuroDateOrder = 1;
  struct tm record = Sentinel();
  int result = 0;
  Printed(&result, [&] { return ScanDate(0, "25/12/2000", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_mon, 11);
  EXPECT_EQ(record.tm_mday, 25);
  std::string out = Printed(&result, [&] { return ScanDate(0, "12/25/2000", &record, 1); });
  EXPECT_EQ(result, 0);
  EXPECT_NE(out.find("Error 1"), std::string::npos);

  char euro[] = "25/12/2000";
  char american[] = "12/25/2000";
  CaptureStdout();
  const int euro_result = IsDate(0, euro);
  const int american_result = IsDate(0, american);
  GetCapturedStdout();
  EXPECT_EQ(euro_result, 1);
  EXPECT_EQ(american_result, 0);
}

TEST_F(DateTime, ScanDmyAndScanHmsReadSeparateFields) {
  struct tm record = Sentinel();
  int result = 0;
  std::string out = Printed(&result, [&] { return ScanDMY(0, "31", " +2", "2034", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scandmy\r\n");
  EXPECT_EQ(record.tm_year, 134);
  EXPECT_EQ(record.tm_mon, 2);  // normalised to 3 March
  EXPECT_EQ(record.tm_mday, 3);
  Printed(&result, [&] { return ScanDMY(0, "1", "1", "99", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_year, 99);

  out = Printed(&result, [&] { return ScanHMS(0, "24", "0", "0", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scanhms\r\n");
  EXPECT_EQ(record.tm_hour, 24);
  EXPECT_EQ(record.tm_mday, 1);
  EXPECT_EQ(record.tm_year, 70);
}

TEST_F(DateTime, ScanTimeStopsAtHour23) {
  struct tm record = Sentinel();
  int result = 0;
  std::string out = Printed(&result, [&] { return ScanTime(0, "23:59:59", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scantime\r\n");
  EXPECT_EQ(record.tm_hour, 23);
  EXPECT_EQ(record.tm_min, 59);
  EXPECT_EQ(record.tm_sec, 59);

  Printed(&result, [&] { return ScanTime(0, "7:5", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_hour, 7);
  EXPECT_EQ(record.tm_min, 5);
  EXPECT_EQ(record.tm_sec, 0);

  const struct tm before = record;
  out = Printed(&result, [&] { return ScanTime(0, "", &record, 0); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "In scantime\r\n");
  EXPECT_TRUE(SameBytes(record, before));

  // With reset, the empty text is midnight of the base day.
  Printed(&result, [&] { return ScanTime(0, "", &record, 1); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record.tm_hour, 0);
  EXPECT_EQ(record.tm_year, 70);
}

// ---- Refusals -----------------------------------------------------------------

enum Scanner { kOdbcDate, kOdbcTime, kDate, kDmy, kTime, kHms };

// The scanners behind one signature: the single-text ones read a.
int Scan(Scanner scanner, const char *a, const char *b, const char *c, struct tm *record,
         int reset) {
  switch (scanner) {
    case kOdbcDate:
      return ScanODBCDate(0, a, record, reset);
    case kOdbcTime:
      return ScanODBCTime(0, a, record, reset);
    case kDate:
      return ScanDate(0, a, record, reset);
    case kDmy:
      return ScanDMY(0, a, b, c, record, reset);
    case kTime:
      return ScanTime(0, a, record, reset);
    case kHms:
      return ScanHMS(0, a, b, c, record, reset);
  }
  return -1;
}

TEST_F(DateTime, RefusedTextsPrintTheirLinesAndKeepTheRecord) {
  const std::string odbc = std::string("In scanodbc\r\n") + kRefused;
  const std::string date1 = std::string("In scandate\r\n") + kRefused +
                            "Leaving ScanDate with Error 1\r\n"
                            "Leaving ScanDate\r\n";
  const std::string date2 = std::string("In scandate\r\n") + kRefused +
                            "Leaving ScanDate with Error 2\r\n"
                            "Leaving ScanDate\r\n";
  const std::string dmy = std::string("In scandmy\r\n") + kRefused;
  const std::string time = std::string("In scantime\r\n") + kRefused;
  const std::string hms = std::string("In scanhms\r\n") + kRefused;
  const std::string hour = "In scanodbc\r\nh\r\n" + std::string(kRefused);
  const std::string minute = "In scanodbc\r\nmin\r\n" + std::string(kRefused);
  const std::string second = "In scanodbc\r\nS\r\n" + std::string(kRefused);
  struct Case {
    Scanner scanner;
    const char *a;
    const char *b;
    const char *c;
    const std::string &printed;
  };
  const Case cases[] = {
      {kOdbcDate, "1969-12-31 23:59:59", "", "", odbc},
      {kOdbcDate, "69-01-01", "", "", odbc},
      {kOdbcDate, "1899-05-05", "", "", odbc},
      {kOdbcDate, "-5-01-01", "", "", odbc},
      {kOdbcDate, "2000-13-01", "", "", odbc},
      {kOdbcDate, "2000-01-32", "", "", odbc},
      {kOdbcDate, "12/25/2000", "", "", odbc},
      {kOdbcDate, nullptr, "", "", odbc},
      {kOdbcDate, "99999999999999999999-01-01", "", "", odbc},
      // A bad date is refused before any time field is named.
      {kOdbcTime, "2000-00-06 24:00:00", "", "", odbc},
      {kOdbcTime, "2000-12-06 24:00:00", "", "", hour},
      {kOdbcTime, "2000-12-06 24:60:60", "", "", hour},
      {kOdbcTime, "2000-12-06 -1:00:00", "", "", hour},
      {kOdbcTime, "2000-12-06 23:60:00", "", "", minute},
      {kOdbcTime, "2000-12-06 23:59:60", "", "", second},
      {kDate, "13/25/2000", "", "", date1},
      {kDate, "99999999999/99999999999/99999999999", "", "", date1},
      {kDate, "12/25/50", "", "", date2},
      {kDate, "12/25/1969", "", "", date2},
      {kDate, "12/25/2035", "", "", date2},
      {kDate, "12/25/-5", "", "", date2},
      {kDmy, "1", "1", "2035", dmy},
      {kDmy, "1", "1", "69", dmy},
      {kDmy, "1", "jan", "2000", dmy},
      {kDmy, "4294967297", "1", "2000", dmy},
      {kTime, "24:00:00", "", "", time},
      {kTime, "12:61:00", "", "", time},
      {kHms, "25", "0", "0", hms},
      {kHms, "-1", "0", "0", hms},
      {kHms, "1", "0", "60", hms},
  };
  for (const Case &c : cases) {
    for (int reset : {0, 1}) {
      struct tm record = Sentinel();
      const struct tm before = record;
      int result = -1;
      const std::string out =
          Printed(&result, [&] { return Scan(c.scanner, c.a, c.b, c.c, &record, reset); });
      const char *name = c.a != nullptr ? c.a : "(null)";
      EXPECT_EQ(result, 0) << name;
      EXPECT_EQ(out, c.printed) << name;
      EXPECT_TRUE(SameBytes(record, before)) << name << " reset " << reset;
    }
  }
}

// ---- IsDate ---------------------------------------------------------------------

TEST_F(DateTime, IsDateForms) {
  struct Case {
    const char *text;
    int expected;
  };
  const Case cases[] = {
      {"2/29/2000", 1},
      {"2/29/1900", 0},
      {"2/29/2004", 1},
      {"2/29/2001", 0},
      {"2/28/2001", 1},
      {"4/31/2000", 0},
      {"4/30/2000", 1},
      {"1/31/2000", 1},
      {"1/32/2000", 0},
      {"0/1/2000", 0},
      {"13/1/2000", 0},
      {"1/0/2000", 0},
      {"2/29/0", 1},
      {"2/29/96", 1},
      {"1/1/99999999999", 0},
      {"12/25/99 ", 0},
      {"12/25", 0},
      {"12 /25/99", 0},
      {"Dec 25 2000", 1},
      {"dec 25 2000", 1},
      {"DEC 25 2000", 1},
      {"December 25 2000", 0},
      {"May 1 2000", 1},
      {"ma 1 2000", 1},
      {"Feb 29 1900", 0},
      {"Feb 29 2000", 1},
      {"Dec 25 2000 ", 0},
      {"Dec 25", 0},
      {"Dec 25 -1", 0},
      {"Dec 32 2000", 0},
      {"Xyz 1 2000", 0},
      {"Dec-25-2000", 0},
      {"25dec2000", 1},
      {"25 Dec 2000", 1},
      {"31 apr 2000", 0},
      {"25 December 2000", 0},
      {"25 xyz 2000", 0},
      {"2000", 0},
      {"", 0},
      {" 12/25/99", 0},
      {"12/25/99\n", 0},
      {"Dec 25, 2000", 0},
      {"12_25_99", 0},
      {"12:25:99", 0},
      {"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz 1 2000", 0},
  };
  for (const Case &c : cases) {
    std::vector<char> text(c.text, c.text + strlen(c.text) + 1);
    int result = -1;
    const std::string out = Printed(&result, [&] { return IsDate(0, text.data()); });
    EXPECT_EQ(result, c.expected) << "'" << c.text << "'";
    EXPECT_EQ(out, "In is date\r\n") << c.text;
  }
}

TEST_F(DateTime, IsDateRewritesSeparatorsInPlace) {
  char dashes[] = "12-25-99";
  char dots[] = "12.25.99";
  char named[] = "Dec 25 2000";
  CaptureStdout();
  const int results[] = {IsDate(0, dashes), IsDate(0, dots), IsDate(0, named)};
  GetCapturedStdout();
  EXPECT_EQ(results[0], 1);
  EXPECT_EQ(results[1], 1);
  EXPECT_EQ(results[2], 1);
  EXPECT_STREQ(dashes, "12/25/99");
  EXPECT_STREQ(dots, "12/25/99");
  EXPECT_STREQ(named, "Dec 25 2000");
}

// Random texts over the characters the readers care about, each in a heap
// block of exactly its own size, so that the sanitizer build catches any
// read past the terminator. Every result must be 0 or 1 and a refusal must
// leave the record alone.
TEST_F(DateTime, ScannersStayInsideAnyText) {
  static constexpr char kAlphabet[] = "0123456789999 -/:.+\tadecjnA";
  std::mt19937 random(20240601);
  std::uniform_int_distribution<size_t> length(0, 40);
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
  std::string faults;  // reported after the capture ends
  int accepted = 0;
  CaptureStdout();
  for (int round = 0; round < 3000; ++round) {
    const size_t n = length(random);
    std::vector<char> text(n + 1);
    for (size_t i = 0; i < n; ++i) text[i] = kAlphabet[pick(random)];
    text[n] = '\0';
    const std::string original(text.data());
    const char *t = text.data();
    const int reset = round % 2;
    struct tm record = {};
    record.tm_mday = 1;
    record.tm_year = 100;
    record.tm_isdst = -1;
    const struct tm before = record;
    const int results[] = {
        ScanODBCDate(0, t, &record, reset),
        ScanODBCTime(0, t, &record, reset),
        ScanDate(0, t, &record, reset),
        ScanTime(0, t, &record, reset),
        ScanDMY(0, t, t, t, &record, reset),
        ScanHMS(0, t, t, t, &record, reset),
        IsDate(0, text.data()),
    };
    bool any_scan_accepted = false;
    for (size_t i = 0; i < std::size(results); ++i) {
      if (results[i] != 0 && results[i] != 1) {
        faults += "result " + std::to_string(results[i]) + " for '" + original + "'\n";
      }
      if (i < 6 && results[i] == 1) any_scan_accepted = true;
      accepted += results[i];
    }
    if (!any_scan_accepted && !SameBytes(record, before)) {
      faults += "record changed by refused '" + original + "'\n";
    }
  }
  GetCapturedStdout();
  EXPECT_EQ(faults, "");
  EXPECT_GT(accepted, 0);  // the alphabet does make dates now and then
}

// ---- Present date and time --------------------------------------------------

// Chooses a fixed-offset zone under which the present moment reads as the
// given time of day, then calls write. Retried when the clock ticks in
// between, so the zone and the call see the same second.
template <typename Write>
void AtTimeOfDay(int seconds_of_day, Write write) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const time_t before = time(nullptr);
    int offset = seconds_of_day - static_cast<int>(before % 86400);
    if (offset > 43200) offset -= 86400;
    if (offset <= -43200) offset += 86400;
    const int size = offset < 0 ? -offset : offset;
    char zone[64];
    // A POSIX zone counts west of UTC as positive.
    snprintf(zone, sizeof(zone), "<LOC>%c%02d:%02d:%02d", offset >= 0 ? '-' : '+', size / 3600,
             size / 60 % 60, size % 60);
    setenv("TZ", zone, 1);
    tzset();
    write();
    if (time(nullptr) == before) {
      struct tm local;
      localtime_r(&before, &local);
      ASSERT_EQ(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec, seconds_of_day) << zone;
      return;
    }
  }
  FAIL() << "the clock kept ticking";
}

TEST_F(DateTime, DayFractionSumsHourMinuteAndSecond) {
  struct Case {
    int seconds_of_day;
    const char *expected;
  };
  const Case cases[] = {
      {14 * 3600 + 11 * 60 + 36, "0.591389"},
      {12 * 3600, "0.500000"},
      {0, "0.000000"},
      {23 * 3600 + 59 * 60 + 59, "0.999988"},
      // Whole seconds over 86400 would round the other way: 0.002188 and
      // 0.006562.
      {3 * 60 + 9, "0.002187"},
      {9 * 60 + 27, "0.006563"},
  };
  for (const Case &c : cases) {
    char text[16];
    memset(text, 'x', sizeof(text));
    AtTimeOfDay(c.seconds_of_day, [&] { EXPECT_EQ(curtimefrac(text), text); });
    EXPECT_STREQ(text, c.expected);
  }
}

TEST_F(DateTime, CurtimeAndCurdateReadTheClockEachCall) {
  char time_text[16];
  AtTimeOfDay(14 * 3600 + 11 * 60 + 36, [&] { curtime(time_text, sizeof(time_text)); });
  EXPECT_STREQ(time_text, "14:11:36");

  // The same moment on both sides of midnight: nothing is cached.
  char late[16];
  char early[16];
  char late_now[32];
  char early_now[32];
  AtTimeOfDay(23 * 3600 + 59 * 60 + 59, [&] {
    curdate(late, sizeof(late));
    now(late_now, sizeof(late_now));
  });
  AtTimeOfDay(0, [&] {
    curdate(early, sizeof(early));
    now(early_now, sizeof(early_now));
  });
  ASSERT_EQ(strlen(late), 10u);
  ASSERT_EQ(strlen(early), 10u);
  EXPECT_STRNE(late, early);
  EXPECT_EQ(std::string(late_now).substr(10), " 23:59:59");
  EXPECT_EQ(std::string(early_now).substr(10), " 00:00:00");
  EXPECT_EQ(std::string(late_now).substr(0, 10), late);
  EXPECT_EQ(std::string(early_now).substr(0, 10), early);
}

TEST_F(DateTime, TooSmallBufferHoldsEmptyText) {
  char date[16];
  memset(date, 'x', sizeof(date));
  EXPECT_EQ(curdate(date, 11), date);
  EXPECT_EQ(strlen(date), 10u);
  EXPECT_EQ(date[11], 'x');  // nothing beyond the size is written

  memset(date, 'x', sizeof(date));
  EXPECT_EQ(curdate(date, 10), date);
  EXPECT_STREQ(date, "");
  EXPECT_EQ(date[10], 'x');

  char stamp[19];
  EXPECT_EQ(now(stamp, sizeof(stamp)), stamp);
  EXPECT_STREQ(stamp, "");
  char clock[8];
  EXPECT_EQ(curtime(clock, sizeof(clock)), clock);
  EXPECT_STREQ(clock, "");

  memset(date, 'x', sizeof(date));
  EXPECT_EQ(curdate(date, 0), date);
  EXPECT_EQ(date[0], 'x');
}

}  // namespace
