#include "engine/command_line.h"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "http/ll_serve.h"

namespace {

constexpr char kLongUsage[] =
    "Usage :  jantor -d (dsnname) -i (interval) -u (username) -p (password) -v  -t (tablename) "
    "-r (runtime seconds)\r\n";
constexpr char kShortUsage[] =
    "Usage :  jantor -d (dsnname) -i (interval) -u (username) -p (password) -v  -t (tablename)\r\n";

struct ValueOption {
  char letter;
  size_t offset;  // the field inside RunSettings
  size_t capacity;
  const char* echo;  // printf text with one %s for the stored value
};

constexpr ValueOption kValueOptions[] = {
    {'d', offsetof(RunSettings, dsn), sizeof(RunSettings::dsn), "Using %s DSN.\r\n"},
    {'i', offsetof(RunSettings, interval), sizeof(RunSettings::interval),
     "Using %ss interval.\r\n"},
    {'u', offsetof(RunSettings, user), sizeof(RunSettings::user), "Using %s username.\r\n"},
    {'p', offsetof(RunSettings, password), sizeof(RunSettings::password), "Using %s password.\r\n"},
    {'t', offsetof(RunSettings, table), sizeof(RunSettings::table), "Using %s table.\r\n"},
    {'r', offsetof(RunSettings, runtime), sizeof(RunSettings::runtime), "Using %s(s) runtime.\r\n"},
    {'c', offsetof(RunSettings, concurrency), sizeof(RunSettings::concurrency),
     "Using %s concurrent hits.\r\n"},
    {'l', offsetof(RunSettings, results), sizeof(RunSettings::results),
     "Using %s results table.\r\n"},
    {'k', offsetof(RunSettings, keep), sizeof(RunSettings::keep),
     "Keeping %s hours of results.\r\n"},
    {'g', offsetof(RunSettings, keep_rollups), sizeof(RunSettings::keep_rollups),
     "Keeping %s days of hourly rollups.\r\n"},
    {'m', offsetof(RunSettings, metrics), sizeof(RunSettings::metrics),
     "Serving metrics on %s.\r\n"},
    {'s', offsetof(RunSettings, share), sizeof(RunSettings::share),
     "Sharing the table, claims held %ss.\r\n"},
    {'f', offsetof(RunSettings, failing), sizeof(RunSettings::failing),
     "Counting entries failed %s runs in a row.\r\n"},
    {'h', offsetof(RunSettings, host_cap), sizeof(RunSettings::host_cap),
     "At most %s hits in flight to one host.\r\n"},
    {'a', offsetof(RunSettings, credentials), sizeof(RunSettings::credentials),
     "Using %s credentials.\r\n"},
};

// A text of digits only (no sign, no blanks) between low and high, or -1.
int WholeNumber(const char* text, long low, long high) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || text[digits] != '\0') return -1;
  long value = strtol(text, nullptr, 10);
  return value >= low && value <= high ? static_cast<int>(value) : -1;
}

// Every hit in flight holds a socket; a soft limit below what -c needs is
// raised as far as the hard limit allows.
void AllowDescriptorsFor(int concurrent_hits) {
  // Standard streams, database, resolver, and the metrics endpoint's
  // connections, served and waiting.
  constexpr rlim_t kOtherDescriptors = 64 + kServedAtOnce + kQueuedAtOnce;
  rlim_t wanted = static_cast<rlim_t>(concurrent_hits) + kOtherDescriptors;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

int Refuse(const char* why) {
  PrintText("\r\n");
  PrintText(kShortUsage);
  PrintText(why);
  return kStartRefused;
}

}  // namespace

int ReadCommandLine(int argc, char** argv, RunSettings* s) {
  memset(s, 0, sizeof *s);
  CopyText(s->interval, "60");
  CopyText(s->table, "schedule_2");
  CopyText(s->runtime, "0");
  CopyText(s->concurrency, "1");
  CopyText(s->keep, "168");
  CopyText(s->keep_rollups, "400");
  CopyText(s->failing, "3");

  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    char letter =
        arg[0] != '\0' ? static_cast<char>(tolower(static_cast<unsigned char>(arg[1]))) : 0;
    if (letter >= 'a' && letter <= 'z') s->given |= 1u << (letter - 'a');
    if (letter == 'v' || letter == 'q') {
      (letter == 'v' ? s->verbose : s->quiet) = 1;
      PrintText(letter == 'v' ? "Using verbose.\r\n" : "Using quiet.\r\n");
      i += 1;
      continue;
    }
    if (letter == 'w') {
      PrintText("Using each entry's i_timeout as its time limit.\r\n");
      i += 1;
      continue;
    }
    const ValueOption* option = nullptr;
    for (const ValueOption& o : kValueOptions)
      if (letter != 0 && o.letter == letter) option = &o;
    // An unknown option, or a value option with nothing after it.
    if (option == nullptr || i + 1 >= argc) {
      PrintText("\r\n");
      PrintText(kLongUsage);
      return kStartStop;
    }
    char* field = reinterpret_cast<char*>(s) + option->offset;
    snprintf(field, option->capacity, "%s", argv[i + 1]);
    PrintFormat(option->echo, field);
    i += 2;
  }

  if (s->dsn[0] == '\0') return Refuse("\r\nYou must supply a dsn.\r\n");
  s->interval_secs = ParseInt(s->interval);
  if (s->interval_secs <= 3)
    return Refuse("\r\nYou must supply an interval larger than 3seconds.\r\n");
  s->concurrent_hits = WholeNumber(s->concurrency, 1, kMostConcurrentHits);
  if (s->concurrent_hits < 0)
    return Refuse("\r\nYou must supply between 1 and 1024 concurrent hits.\r\n");
  s->keep_hours = WholeNumber(s->keep, 0, kMostKeptHours);
  if (s->keep_hours < 0)
    return Refuse("\r\nYou must supply the hours of results to keep, 0 to keep them all.\r\n");
  s->keep_rollup_days = WholeNumber(s->keep_rollups, 0, kMostKeptRollupDays);
  if (s->keep_rollup_days < 0)
    return Refuse(
        "\r\nYou must supply the days of hourly rollups to keep, 0 to keep them all.\r\n");
  if (OptionGiven(s, 's')) {
    s->claim_secs = WholeNumber(s->share, kLeastClaimSecs, kMostClaimSecs);
    if (s->claim_secs < 0)
      return Refuse("\r\nYou must supply between 10 and 86400 seconds for a claim.\r\n");
  }
  s->failing_runs = WholeNumber(s->failing, 1, kMostFailingRuns);
  if (s->failing_runs < 0)
    return Refuse("\r\nYou must supply between 1 and 1000000 failed runs in a row.\r\n");
  if (OptionGiven(s, 'h')) {
    s->hits_per_host = WholeNumber(s->host_cap, 1, kMostConcurrentHits);
    if (s->hits_per_host < 0)
      return Refuse("\r\nYou must supply between 1 and 1024 hits in flight to one host.\r\n");
  }
  if (s->concurrent_hits > 1) AllowDescriptorsFor(s->concurrent_hits);
  return kStartRun;
}
