// What moving an entry on costs a hit, per call: an interval entry's next
// run (the stored time plus the interval, written as local text the way a
// hit writes i_next) beside a calendar entry's (CronNextRun for a spread of
// expressions and zones, alone, with the same writing, and with the parse a
// hit does first). The starting times step through a whole year, the clock
// changes of every zone included, so that no case times one lucky instant.
//
//   cron_next                          "case ns-per-call calls" a line
//   cron_next next EXPR ZONE AFTER     the first run after AFTER (seconds
//                                      since the epoch), as local text; an
//                                      empty ZONE is the local time
//
// Each case runs until kMaxCalls calls or kMaxSeconds, whichever comes
// first, so a slow build still ends in about half a minute.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <functional>

#include "base/ll_cron.h"

namespace {

constexpr int kMaxCalls = 250000;
constexpr double kMaxSeconds = 1.0;
constexpr int kBatch = 1000;
constexpr int kInterval = 86400;
// Starting times: 2026-01-01 00:00:00 UTC on, one every kStep seconds, so
// that kStarts of them cover the year at odd minutes and seconds.
constexpr time_t kFirstStart = 1767225600;
constexpr int kStarts = 4096;
constexpr int kStep = 7699;

struct Calendar {
  const char* name;  // the case's name in the output, no blanks
  const char* cron;
  const char* zone;  // null: the process's local time
};

// The mix the cycle benchmark (bench/calendar.sh) puts in its table, in the
// same order.
constexpr Calendar kCalendars[] = {
    {"every-5-min,local", "*/5 * * * *", nullptr},
    {"weekdays-9,Berlin", "0 9 * * mon-fri", "Europe/Berlin"},
    {"daily-2:30,New_York", "30 2 * * *", "America/New_York"},
    {"monthly,local", "0 0 1 * *", nullptr},
    {"15,45-of-8-18,Tokyo", "15,45 8-18 * * *", "Asia/Tokyo"},
    {"every-10-min,Sydney", "*/10 * * * *", "Australia/Sydney"},
};
constexpr int kCalendarCount = sizeof kCalendars / sizeof kCalendars[0];

time_t starts[kStarts];
struct tm start_records[kStarts];  // each start as local time
CronSchedule schedules[kCalendarCount];
// Every case adds what it made here, so the compiler must make it.
volatile unsigned long long sink;

void LocalText(time_t moment, char* out, size_t size) {
  struct tm local;
  localtime_r(&moment, &local);
  strftime(out, size, "%Y-%m-%d %H:%M:%S", &local);
}

time_t NextRun(const CronSchedule& schedule, const char* zone, time_t after) {
  time_t next = 0;
  char reason[160];
  if (!CronNextRun(&schedule, zone, after, &next, reason, sizeof reason)) {
    fprintf(stderr, "cron_next: no next run: %s\n", reason);
    exit(1);
  }
  return next;
}

// Calls call(i) for i = 0, 1, ... and prints the case's time per call.
void Time(const char* name, const std::function<unsigned long long(int)>& call) {
  for (int i = 0; i < kBatch; ++i) sink = sink + call(i);  // the zone loads
  auto begin = std::chrono::steady_clock::now();
  double seconds = 0;
  int calls = 0;
  unsigned long long sum = 0;
  while (calls < kMaxCalls && seconds < kMaxSeconds) {
    for (int i = 0; i < kBatch; ++i, ++calls) sum += call(calls);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
  sink = sink + sum;
  printf("%s %.0f %d\n", name, seconds * 1e9 / calls, calls);
  fflush(stdout);
}

int PrintNext(const char* cron, const char* zone, const char* after) {
  CronSchedule schedule;
  char reason[160];
  if (!CronParse(cron, &schedule, reason, sizeof reason)) {
    fprintf(stderr, "cron_next: %s\n", reason);
    return 1;
  }
  char text[32];
  LocalText(NextRun(schedule, zone[0] != '\0' ? zone : nullptr, strtoll(after, nullptr, 10)), text,
            sizeof text);
  printf("%s\n", text);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "next") == 0) return PrintNext(argv[2], argv[3], argv[4]);
  if (argc != 1) {
    fprintf(stderr, "usage: cron_next | cron_next next EXPR ZONE AFTER\n");
    return 2;
  }
  for (int i = 0; i < kStarts; ++i) {
    starts[i] = kFirstStart + static_cast<time_t>(i) * kStep;
    localtime_r(&starts[i], &start_records[i]);
  }
  for (int c = 0; c < kCalendarCount; ++c) {
    char reason[160];
    if (!CronParse(kCalendars[c].cron, &schedules[c], reason, sizeof reason)) {
      fprintf(stderr, "cron_next: %s: %s\n", kCalendars[c].cron, reason);
      return 1;
    }
  }
  char text[32];
  auto text_sum = [&text] { return static_cast<unsigned long long>(text[15] + text[18]); };

  Time("interval", [&](int i) {
    time_t next = starts[i % kStarts] + kInterval;
    LocalText(next, text, sizeof text);
    return text_sum();
  });
  // A hit reads the stored text back into a moment before it adds: the
  // mktime of that is part of an interval entry's cost too.
  Time("interval+mktime", [&](int i) {
    struct tm record = start_records[i % kStarts];
    record.tm_isdst = -1;
    LocalText(mktime(&record) + kInterval, text, sizeof text);
    return text_sum();
  });
  Time("cron-mix", [&](int i) {
    int c = i % kCalendarCount;
    return static_cast<unsigned long long>(
        NextRun(schedules[c], kCalendars[c].zone, starts[(i / kCalendarCount) % kStarts]));
  });
  Time("cron-mix+text", [&](int i) {
    int c = i % kCalendarCount;
    LocalText(NextRun(schedules[c], kCalendars[c].zone, starts[(i / kCalendarCount) % kStarts]),
              text, sizeof text);
    return text_sum();
  });
  // What a hit does: it parses the row's expression every time.
  Time("cron-mix+parse+text", [&](int i) {
    int c = i % kCalendarCount;
    CronSchedule schedule;
    CronParse(kCalendars[c].cron, &schedule, nullptr, 0);
    LocalText(NextRun(schedule, kCalendars[c].zone, starts[(i / kCalendarCount) % kStarts]), text,
              sizeof text);
    return text_sum();
  });
  for (int c = 0; c < kCalendarCount; ++c) {
    char name[64];
    snprintf(name, sizeof name, "cron:%s", kCalendars[c].name);
    Time(name, [&](int i) {
      return static_cast<unsigned long long>(
          NextRun(schedules[c], kCalendars[c].zone, starts[i % kStarts]));
    });
  }
  return 0;
}
