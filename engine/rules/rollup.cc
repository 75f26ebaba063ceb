#include "engine/rules/rollup.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

const int kDurationBounds[kDurationBuckets - 1] = {10,   25,   50,   100,   250,   500,
                                                   1000, 2500, 5000, 10000, 30000, 60000};

namespace {

// The words of engine/rules/hit_outcome.h as column names, in its order;
// a new outcome word needs its column here and in the schemas.
constexpr const char* kOutcomeColumns[] = {
    "ok",          "redirect",    "client_error", "server_error", "no_status",
    "unreachable", "timeout",     "too_large",    "tls",          "bad_host",
    "error",       "bad_request", "bad_schedule", "unexpected",   "no_token"};
static_assert(std::size(kOutcomeColumns) == kHitOutcomeCount, "a column for every outcome");

constexpr const char* kBucketColumns[kDurationBuckets] = {
    "ms_under_10",    "ms_under_25",    "ms_under_50",   "ms_under_100",  "ms_under_250",
    "ms_under_500",   "ms_under_1000",  "ms_under_2500", "ms_under_5000", "ms_under_10000",
    "ms_under_30000", "ms_under_60000", "ms_over_60000"};

}  // namespace

const char* RollupOutcomeColumn(int outcome) {
  return outcome >= 0 && outcome < kHitOutcomeCount ? kOutcomeColumns[outcome] : "error";
}

const char* RollupBucketColumn(int bucket) {
  return bucket >= 0 && bucket < kDurationBuckets ? kBucketColumns[bucket] : "ms_over_60000";
}

void HourCounts::Add(const HourCounts& other) {
  attempts += other.attempts;
  runs += other.runs;
  failed_runs += other.failed_runs;
  for (int i = 0; i < kHitOutcomeCount; ++i) outcomes[i] += other.outcomes[i];
  duration_sum_ms += other.duration_sum_ms;
  duration_max_ms = std::max(duration_max_ms, other.duration_max_ms);
  for (int i = 0; i < kDurationBuckets; ++i) buckets[i] += other.buckets[i];
}

double GoodRunShare(long long runs, long long failed_runs) {
  if (runs <= 0) return -1;
  return static_cast<double>(std::clamp(runs - failed_runs, 0LL, runs)) / static_cast<double>(runs);
}

long long DurationShareMs(const HourCounts& counts, double fraction) {
  long long total = 0;
  for (long long n : counts.buckets) total += std::max(n, 0LL);
  if (total == 0 || counts.duration_max_ms < 0) return -1;
  // The rank of the attempt asked for, counting from 1.
  double rank = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(total);
  long long below = 0;
  for (int i = 0; i < kDurationBuckets; ++i) {
    long long n = std::max(counts.buckets[i], 0LL);
    if (n == 0 || static_cast<double>(below + n) < rank) {
      below += n;
      continue;
    }
    double low = i == 0 ? 0 : kDurationBounds[i - 1];
    double high = i < kDurationBuckets - 1 ? kDurationBounds[i]
                                           : std::max<double>(low, counts.duration_max_ms);
    double within = (rank - static_cast<double>(below)) / static_cast<double>(n);
    long long ms = static_cast<long long>(low + (high - low) * std::clamp(within, 0.0, 1.0) + 0.5);
    return std::min(ms, counts.duration_max_ms);
  }
  return counts.duration_max_ms;
}

void HourStartText(time_t moment, char* out, size_t size) {
  struct tm local;
  localtime_r(&moment, &local);
  snprintf(out, size, "%04d-%02d-%02d %02d:00:00", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour);
}

bool AddHours(const char* hour, long long hours, char* out, size_t size) {
  int year = 0, month = 0, day = 0, hour_of_day = 0;
  if (sscanf(hour, "%4d-%2d-%2d %2d", &year, &month, &day, &hour_of_day) != 4 || month < 1 ||
      month > 12 || day < 1 || day > 31 || hour_of_day < 0 || hour_of_day > 23)
    return false;
  // The wall clock's hours, counted as UTC counts them: no hour is skipped
  // or doubled.
  struct tm wall = {};
  wall.tm_year = year - 1900;
  wall.tm_mon = month - 1;
  wall.tm_mday = day;
  wall.tm_hour = hour_of_day;
  time_t moment = timegm(&wall) + static_cast<time_t>(hours) * kHourSecs;
  struct tm moved;
  if (gmtime_r(&moment, &moved) == nullptr) return false;
  snprintf(out, size, "%04d-%02d-%02d %02d:00:00", moved.tm_year + 1900, moved.tm_mon + 1,
           moved.tm_mday, moved.tm_hour);
  return true;
}
