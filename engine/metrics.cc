#include "engine/metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "engine/version.h"

namespace {

// Upper bounds of the hit duration buckets, in microseconds; +Inf follows.
constexpr int64_t kBucketUs[] = {5000,    10000,   25000,   50000,    100000,   250000,  500000,
                                 1000000, 2500000, 5000000, 10000000, 30000000, 60000000};
constexpr const char* kBucketText[] = {"0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5",
                                       "1",     "2.5",  "5",     "10",   "30",  "60"};
constexpr size_t kBuckets = sizeof kBucketUs / sizeof kBucketUs[0];

// Each counter on a line of its own: the workers add to them at once.
struct alignas(64) Counter {
  std::atomic<uint64_t> value{0};
};

Counter hits_by_outcome[kHitOutcomeCount];
Counter duration_buckets[kBuckets];  // not cumulative: the bucket a hit fell in
Counter duration_sum_us;
Counter cycles;
Counter database_errors;
Counter claims_lost;
Counter retries;
Counter runs_failed;
std::atomic<int64_t> entries_failing{0};
std::atomic<bool> skips_counted{false};
Counter runs_skipped;
std::atomic<int64_t> entries_paused{0};
std::atomic<bool> expects_replies{false};
std::atomic<bool> fetches_tokens{false};
std::atomic<bool> host_cap{false};
Counter host_waits;
std::atomic<int64_t> hits_in_flight{0};
std::atomic<int> due_entries{0};
std::atomic<int64_t> last_cycle_us{0};
std::atomic<int64_t> last_cycle_end{0};

// Hits by outcome in each of the last 60 minutes, a slot a minute. The
// first hit of a new minute claims its slot and empties it; a hit of the
// same moment on another thread may add to the slot just before it is
// emptied, and is lost from the hour's count: a few at most, once a minute,
// where a lock would make every hit wait for every other.
struct alignas(64) MinuteSlot {
  std::atomic<int64_t> minute{-1};
  std::atomic<uint32_t> hits[kHitOutcomeCount] = {};
};
MinuteSlot last_hour[60];

void NoteMinute(HitOutcome outcome, int64_t minute) {
  MinuteSlot& slot = last_hour[minute % 60];
  int64_t seen = slot.minute.load(std::memory_order_relaxed);
  if (seen != minute && slot.minute.compare_exchange_strong(seen, minute)) {
    for (auto& count : slot.hits) count.store(0, std::memory_order_relaxed);
  }
  slot.hits[outcome].fetch_add(1, std::memory_order_relaxed);
}

void Add(Counter& counter, uint64_t amount = 1) {
  counter.value.fetch_add(amount, std::memory_order_relaxed);
}

uint64_t Read(const Counter& counter) { return counter.value.load(std::memory_order_relaxed); }

void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string* out, const char* format, ...) {
  char line[256];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length > 0) out->append(line, std::min<size_t>(static_cast<size_t>(length), sizeof line - 1));
}

void Family(std::string* out, const char* name, const char* type, const char* help) {
  Append(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// The process series, read from /proc as node_exporter's client library
// reads them.
struct ProcessFigures {
  double start_seconds = 0;
  double cpu_seconds = 0;
  double resident_bytes = 0;
  double virtual_bytes = 0;
  long open_fds = 0;
  double max_fds = 0;
};

struct CloseFile {
  void operator()(FILE* file) const { fclose(file); }
};
struct CloseDir {
  void operator()(DIR* dir) const { closedir(dir); }
};
using FilePtr = std::unique_ptr<FILE, CloseFile>;
using DirPtr = std::unique_ptr<DIR, CloseDir>;

ProcessFigures ReadProcess() {
  ProcessFigures figures;
  long ticks = sysconf(_SC_CLK_TCK);
  long page = sysconf(_SC_PAGESIZE);
  if (FilePtr stat{fopen("/proc/self/stat", "re")}) {
    char text[1024];
    size_t length = fread(text, 1, sizeof text - 1, stat.get());
    text[length] = '\0';
    // Fields after the command's closing parenthesis, which may hold blanks.
    const char* after = strrchr(text, ')');
    unsigned long long utime = 0, stime = 0, start_ticks = 0, vsize = 0;
    long long rss_pages = 0;
    if (after != nullptr &&
        sscanf(after + 2,
               "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d %*d %*d "
               "%llu %llu %lld",
               &utime, &stime, &start_ticks, &vsize, &rss_pages) == 5 &&
        ticks > 0) {
      figures.cpu_seconds = static_cast<double>(utime + stime) / static_cast<double>(ticks);
      figures.virtual_bytes = static_cast<double>(vsize);
      figures.resident_bytes = static_cast<double>(rss_pages) * static_cast<double>(page);
      long long boot = 0;
      if (FilePtr proc_stat{fopen("/proc/stat", "re")}) {
        char line[256];
        while (fgets(line, sizeof line, proc_stat.get()) != nullptr)
          if (sscanf(line, "btime %lld", &boot) == 1) break;
      }
      figures.start_seconds =
          static_cast<double>(boot) + static_cast<double>(start_ticks) / static_cast<double>(ticks);
    }
  }
  if (DirPtr fds{opendir("/proc/self/fd")}) {
    while (dirent* entry = readdir(fds.get()))
      if (entry->d_name[0] != '.') ++figures.open_fds;
    --figures.open_fds;  // the listing's own
  }
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) figures.max_fds = static_cast<double>(limit.rlim_cur);
  return figures;
}

}  // namespace

void NoteHitStarted() { hits_in_flight.fetch_add(1, std::memory_order_relaxed); }

void NoteHitEnded(HitOutcome outcome, long long duration_us) {
  hits_in_flight.fetch_sub(1, std::memory_order_relaxed);
  HitOutcome known = outcome >= 0 && outcome < kHitOutcomeCount ? outcome : kHitError;
  Add(hits_by_outcome[known]);
  NoteMinute(known, static_cast<int64_t>(time(nullptr) / 60));
  size_t bucket = 0;
  while (bucket < kBuckets && duration_us > kBucketUs[bucket]) ++bucket;
  if (bucket < kBuckets) Add(duration_buckets[bucket]);
  Add(duration_sum_us, static_cast<uint64_t>(duration_us > 0 ? duration_us : 0));
}

void NoteCycleEnded(int due, double seconds, time_t end) {
  Add(cycles);
  due_entries.store(due, std::memory_order_relaxed);
  last_cycle_us.store(static_cast<int64_t>(seconds * 1e6), std::memory_order_relaxed);
  last_cycle_end.store(static_cast<int64_t>(end), std::memory_order_relaxed);
}

void NoteDatabaseError() { Add(database_errors); }

void NoteClaimsLost(size_t count) {
  if (count > 0) Add(claims_lost, count);
}

void NoteRetry() { Add(retries); }

void NoteHostCap() { host_cap.store(true, std::memory_order_relaxed); }

void NoteHostWait() { Add(host_waits); }

void NoteExpectsReplies() { expects_replies.store(true, std::memory_order_relaxed); }

bool ExpectsReplies() { return expects_replies.load(std::memory_order_relaxed); }

void NoteFetchesTokens() { fetches_tokens.store(true, std::memory_order_relaxed); }

bool FetchesTokens() { return fetches_tokens.load(std::memory_order_relaxed); }

void NoteRunFailed() { Add(runs_failed); }

void NoteEntriesFailing(long long count) {
  entries_failing.store(static_cast<int64_t>(count), std::memory_order_relaxed);
}

void NoteSkipsCounted() { skips_counted.store(true, std::memory_order_relaxed); }

void NoteRunsSkipped(long long count) {
  if (count > 0) Add(runs_skipped, static_cast<uint64_t>(count));
}

void NoteEntriesPaused(long long count) {
  entries_paused.store(static_cast<int64_t>(count), std::memory_order_relaxed);
}

void ReadMetricsSnapshot(MetricsSnapshot* out) {
  out->cycles = static_cast<long long>(Read(cycles));
  out->last_cycle_seconds =
      static_cast<double>(last_cycle_us.load(std::memory_order_relaxed)) / 1e6;
  out->last_cycle_end = last_cycle_end.load(std::memory_order_relaxed);
  out->due_entries = due_entries.load(std::memory_order_relaxed);
  out->entries_failing = entries_failing.load(std::memory_order_relaxed);
  int64_t now = static_cast<int64_t>(time(nullptr) / 60);
  for (long long& count : out->last_hour) count = 0;
  for (const MinuteSlot& slot : last_hour) {
    int64_t minute = slot.minute.load(std::memory_order_relaxed);
    if (minute < 0 || minute > now || now - minute >= 60) continue;
    for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome)
      out->last_hour[outcome] += slot.hits[outcome].load(std::memory_order_relaxed);
  }
}

void RenderMetrics(std::string* out) {
  out->clear();
  Family(out, "jantor_hits_total", "counter", "Hits made, by outcome.");
  uint64_t hit_count = 0;
  for (int outcome = 0; outcome < kHitOutcomeCount; ++outcome) {
    uint64_t value = Read(hits_by_outcome[outcome]);
    hit_count += value;
    // A daemon whose table cannot say what to expect shows no such series.
    if (outcome == kHitUnexpected && value == 0 && !ExpectsReplies()) continue;
    // Nor one whose table authorizes no call with a token.
    if (outcome == kHitNoToken && value == 0 && !FetchesTokens()) continue;
    Append(out, "jantor_hits_total{outcome=\"%s\"} %" PRIu64 "\n", HitOutcomeWord(outcome), value);
  }
  // The buckets are read once each and summed here, so the cumulative
  // counts never fall from one bucket to the next, even while hits end.
  Family(out, "jantor_hit_duration_seconds", "histogram",
         "Time from the start of a hit to its end.");
  uint64_t cumulative = 0;
  for (size_t bucket = 0; bucket < kBuckets; ++bucket) {
    cumulative += Read(duration_buckets[bucket]);
    Append(out, "jantor_hit_duration_seconds_bucket{le=\"%s\"} %" PRIu64 "\n", kBucketText[bucket],
           cumulative);
  }
  uint64_t total = std::max(cumulative, hit_count);
  Append(out, "jantor_hit_duration_seconds_bucket{le=\"+Inf\"} %" PRIu64 "\n", total);
  Append(out, "jantor_hit_duration_seconds_sum %.6f\n",
         static_cast<double>(Read(duration_sum_us)) / 1e6);
  Append(out, "jantor_hit_duration_seconds_count %" PRIu64 "\n", total);

  Family(out, "jantor_cycles_total", "counter", "Poll cycles ended.");
  Append(out, "jantor_cycles_total %" PRIu64 "\n", Read(cycles));
  Family(out, "jantor_last_cycle_duration_seconds", "gauge",
         "Length of the last poll cycle, from its select to its last write.");
  Append(out, "jantor_last_cycle_duration_seconds %.6f\n",
         static_cast<double>(last_cycle_us.load(std::memory_order_relaxed)) / 1e6);
  Family(out, "jantor_due_entries", "gauge", "Due entries fetched in the last poll cycle.");
  Append(out, "jantor_due_entries %d\n", due_entries.load(std::memory_order_relaxed));
  Family(out, "jantor_hits_in_flight", "gauge", "Hits under way.");
  Append(out, "jantor_hits_in_flight %" PRId64 "\n",
         std::max<int64_t>(hits_in_flight.load(std::memory_order_relaxed), 0));
  Family(out, "jantor_last_cycle_end_timestamp_seconds", "gauge",
         "Time the last poll cycle ended, in seconds since the epoch; 0 before the first.");
  Append(out, "jantor_last_cycle_end_timestamp_seconds %" PRId64 "\n",
         last_cycle_end.load(std::memory_order_relaxed));
  Family(out, "jantor_database_errors_total", "counter", "Database statements that failed.");
  Append(out, "jantor_database_errors_total %" PRIu64 "\n", Read(database_errors));
  Family(out, "jantor_claims_lost_total", "counter",
         "Reschedules on a shared table whose claim had expired and been taken over.");
  Append(out, "jantor_claims_lost_total %" PRIu64 "\n", Read(claims_lost));
  Family(out, "jantor_retries_total", "counter",
         "Failed attempts written back for a retry instead of their next scheduled run.");
  Append(out, "jantor_retries_total %" PRIu64 "\n", Read(retries));
  Family(out, "jantor_runs_failed_total", "counter",
         "Runs (a scheduled hit and its retries) that ended failed.");
  Append(out, "jantor_runs_failed_total %" PRIu64 "\n", Read(runs_failed));
  Family(out, "jantor_entries_failing", "gauge",
         "Entries whose last runs in a row, as many as -f, all failed; counted once a cycle.");
  Append(out, "jantor_entries_failing %" PRId64 "\n",
         entries_failing.load(std::memory_order_relaxed));
  if (skips_counted.load(std::memory_order_relaxed)) {
    Family(out, "jantor_runs_skipped_total", "counter",
           "Scheduled runs passed over: missed runs that i_missed leaves out, and runs in a pause.");
    Append(out, "jantor_runs_skipped_total %" PRIu64 "\n", Read(runs_skipped));
    Family(out, "jantor_entries_paused", "gauge",
           "Entries whose i_paused_until is still to come; counted once a cycle.");
    Append(out, "jantor_entries_paused %" PRId64 "\n",
           entries_paused.load(std::memory_order_relaxed));
  }
  if (host_cap.load(std::memory_order_relaxed)) {
    Family(out, "jantor_host_waits_total", "counter",
           "Entries that waited in their cycle for a place among the hits to their host (-H).");
    Append(out, "jantor_host_waits_total %" PRIu64 "\n", Read(host_waits));
  }
  Family(out, "jantor_build_info", "gauge", "The running build; always 1.");
  Append(out, "jantor_build_info{version=\"%s\"} 1\n", JANTOR_VERSION);

  ProcessFigures process = ReadProcess();
  Family(out, "process_cpu_seconds_total", "counter",
         "Total user and system CPU time spent in seconds.");
  Append(out, "process_cpu_seconds_total %.2f\n", process.cpu_seconds);
  Family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
  Append(out, "process_open_fds %ld\n", process.open_fds);
  Family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
  Append(out, "process_max_fds %.0f\n", process.max_fds);
  Family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
  Append(out, "process_virtual_memory_bytes %.0f\n", process.virtual_bytes);
  Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  Append(out, "process_resident_memory_bytes %.0f\n", process.resident_bytes);
  Family(out, "process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.");
  Append(out, "process_start_time_seconds %.2f\n", process.start_seconds);
}
