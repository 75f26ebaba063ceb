// What an hour of one entry's results comes to, as the hourly rollups of
// the results table keep it (engine/db/rollups.h): attempts by outcome
// word, runs and failed runs, and the attempts' durations as a sum, a
// maximum and a histogram of fixed buckets, from which any share of them
// can be told to within a bucket. Hours add up to days and months by plain
// sums, which a stored percentile would not. A run is counted in the hour
// its first attempt began, failed when none of its attempts of that hour
// succeeded: a retry made in a later hour is an attempt of that hour, and
// never a second run. Pure functions and plain records: any thread may use
// them at once.
#ifndef JANTOR_ENGINE_RULES_ROLLUP_H_
#define JANTOR_ENGINE_RULES_ROLLUP_H_

#include <cstddef>
#include <ctime>

#include "engine/rules/hit_outcome.h"

enum : int {
  // Buckets of the durations: under 10 ms, 10 to 25 ms, ..., 30 to 60 s,
  // and 60 s or more.
  kDurationBuckets = 13,
  kHourSecs = 3600,
};

// The upper bounds (ms, exclusive) of the buckets but the last.
extern const int kDurationBounds[kDurationBuckets - 1];

// The column of a rollup that counts the attempts of an outcome
// ("ok", "client_error", ...): the outcome's word, with '_' for '-'.
const char* RollupOutcomeColumn(int outcome);
// The column that counts the attempts of a bucket ("ms_under_10", ...,
// "ms_over_60000").
const char* RollupBucketColumn(int bucket);

struct HourCounts {
  long long attempts = 0;
  long long runs = 0;         // runs that began in the hour
  long long failed_runs = 0;  // of those, the ones none of whose attempts of the hour succeeded
  long long outcomes[kHitOutcomeCount] = {};  // attempts by outcome
  long long duration_sum_ms = 0;
  long long duration_max_ms = -1;  // -1 without attempts
  long long buckets[kDurationBuckets] = {};
  void Add(const HourCounts& other);
};

// The shares of good runs of an entry over the last 24 hours, 7 days and
// 30 days (the hour under way and the 23, 167 and 719 before it), 0 to 1;
// -1 without runs.
struct UptimeShares {
  double day = -1, week = -1, month = -1;
};

// The share of good runs, 0 to 1; -1 without runs.
double GoodRunShare(long long runs, long long failed_runs);

// The duration (ms) that fraction (0 to 1) of the attempts took at most,
// read from the histogram, straight between its bucket's bounds, and never
// past the hour's longest; -1 without attempts.
long long DurationShareMs(const HourCounts& counts, double fraction);

// The local time text ("YYYY-MM-DD HH:00:00", 20 bytes) of the start of the
// hour that moment falls in.
void HourStartText(time_t moment, char* out, size_t size);

// The wall-clock hour hours after (or before) the hour text hour ("YYYY-MM-DD
// HH..."), as its local time text; the clock's changes are not counted, so
// that the hours of a day are those its texts name. false for a text that
// is no hour.
bool AddHours(const char* hour, long long hours, char* out, size_t size);

#endif  // JANTOR_ENGINE_RULES_ROLLUP_H_
