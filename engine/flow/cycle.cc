#include "engine/flow/cycle.h"

#include <signal.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/ll_cpapi.h"
#include "base/ll_string.h"
#include "engine/db/hit_writes.h"
#include "engine/db/odbc_calls.h"
#include "engine/db/results_table.h"
#include "engine/db/run_state.h"
#include "engine/flow/credentials.h"
#include "engine/flow/due.h"
#include "engine/flow/host_places.h"
#include "engine/flow/hit.h"
#include "engine/flow/hit_pool.h"
#include "engine/flow/oauth2.h"
#include "engine/flow/pauses.h"
#include "engine/metrics.h"
#include "engine/rules/calendar.h"
#include "engine/rules/expect.h"
#include "engine/rules/missed.h"
#include "engine/rules/retry.h"
#include "engine/rules/splay.h"
#include "engine/watch/service.h"
#include "http/ll_http.h"
#include "http/ll_webcall.h"
#include "net/ll_socks.h"

namespace {

// One entry on its way through a hit: fetched by the main thread, hit and
// prepared for writing by whichever thread makes the hit (with -c a worker,
// which gathers the hit's words in output for the main thread to put out
// as one block), written by the main thread.
struct HitJob {
  Entry entry;
  EntryCallTexts call;  // with the table's call columns, the entry's values
  HitOptions options;
  const RunStateColumns* kept = nullptr;  // the table's columns of kept state
  time_t present;                         // the cycle's
  OutputCapture output;
  HitRecord record;
  HitWrite write;
  char idempotency_key[64];
  ExpectRule expect;    // the entry's i_expect, read when it has one
  bool missed_column;   // the table has i_missed: missed runs follow it and are counted
  bool hit_made;        // a hit was made (or refused), not a run passed over unmade
};

// Reads the entry's i_expect into job->expect for the hit; "" when it has
// none or it parses, else the reason it is refused.
std::string ReadExpect(HitJob* job) {
  const Entry& entry = job->entry;
  job->options.expect = nullptr;
  std::string_view text = entry.expect;
  if (text.find_first_not_of(" \t") == std::string_view::npos) return "";
  if (text.size() + 1 >= sizeof entry.expect) return "i_expect: longer than 254 characters";
  // A method the call refuses is refused there, whatever the rule says.
  const char* method =
      job->options.call != nullptr ? WebCallMethod(job->call.method.c_str()) : "GET";
  bool head = method != nullptr && strcmp(method, "HEAD") == 0;
  std::string refused;
  if (!ParseExpect(text, head, &job->expect, &refused)) return refused;
  job->options.expect = &job->expect;
  return "";
}

// After a failed attempt: the retry's time, or -1 when the run ends.
// scheduled_next is the run's next scheduled time, which a retry never
// reaches.
time_t PlanRetry(const RunOfAttempt& run, const HitRecord& record, const char* scheduled_next,
                 time_t now) {
  if (run.rule.retries == 0 || run.run_time == -1) return -1;
  time_t next_run = StoredTime(scheduled_next);
  if (next_run == -1) return -1;
  return NextAttemptTime(run.rule, run.attempt, record.outcome, record.result.status, record.method,
                         record.retry_after, now, next_run, arc4random());
}

// Where the row's own times do not give the run. A retry is made at the
// first cycle after its time, which may come at or after its run's next
// scheduled time: then the retry is not made, as it would take that
// occurrence's place; its run ends failed, and the hit is the occurrence's
// first attempt. A schedule that does not move (an i_interval of 0 or
// less, no i_cron) leaves i_next as it was for every run, so each of its
// runs is at the present of the cycle that found it due: a key of its own.
void PlaceRun(const Entry& entry, time_t present, RunOfAttempt* run) {
  if (run->attempt > 1) {
    time_t next_run = NextRunAfterRetriedRun(entry, run->run_time);
    if (next_run != -1 && present >= next_run) LapsePendingRun(next_run, run);
  }
  if (run->attempt == 1 && entry.cron[0] == '\0' && ParseInt(entry.interval) <= 0)
    SetRunTime(present, run);
}

// What i_missed makes of the run due now: its policy, and whether the
// entry's following run is due already (missed), with the slots up to the
// present. Only where the table has the column, and only for a run's first
// attempt: a retry belongs to its run. An interval entry that makes each
// missed run goes on as it always did, and costs nothing here.
struct MissedRuns {
  MissedPolicy policy = kMissedEach;
  bool counted = false;  // passed holds the slots up to the present
  bool missed = false;
  SlotsPassed passed{};
};

MissedRuns PlanMissedRuns(const HitJob& job, const RunOfAttempt& run) {
  MissedRuns plan;
  const Entry& entry = job.entry;
  bool calendar = entry.cron[0] != '\0';
  if (!job.missed_column) return plan;
  plan.policy = MissedPolicyOf(entry.missed, calendar);
  if (plan.policy == kMissedRefused || (plan.policy == kMissedEach && !calendar) ||
      run.attempt != 1 || run.resumed)
    return plan;
  // The run's own time: a retry that lapsed made this the first attempt of
  // the run after its own, whose time the row does not hold.
  time_t stored = run.lapsed ? run.run_time : StoredTime(entry.next);
  plan.counted = stored != -1 && SlotsBefore(entry, stored, job.present + 1, &plan.passed);
  plan.missed = plan.counted && plan.passed.count >= 2;
  return plan;
}

// The runs after the one made now that "one" passes over.
SlotsPassed AfterTheFirst(const SlotsPassed& passed) {
  SlotsPassed rest = passed;
  rest.count = passed.count - 1;
  rest.first = passed.second;
  return rest;
}

// A missed run that i_missed "none" leaves unmade: no hit, the schedule
// moved to its first slot after the present, the runs passed over counted
// and, with -l, told in the entry's results row.
void PassOver(const RunSettings* s, HitJob* job, const MissedRuns& plan) {
  const Entry& entry = job->entry;
  job->hit_made = false;
  char next[20];
  LocalTimeText(plan.passed.next, next, sizeof next);
  PrepareUpdateTo(s, entry, next, &job->write);
  job->write.state.changes = 0;
  NoteRunsSkipped(plan.passed.count);
  std::string reason = SkippedReason(plan.passed.count, plan.passed.more, plan.passed.first,
                                     plan.passed.last);
  if (s->verbose) PrintFormat("Skipping - id %s - %s.\r\n", entry.id, reason.c_str());
  if (OptionGiven(s, 'l')) {
    char started[20];
    LocalTimeText(job->present, started, sizeof started);
    FillSkippedRow(entry, started, plan.passed, "", &job->write.row);
  }
}

// The hit, then its reschedule's text (the date scanners' words follow the
// hit's own) and its result row, so that the writing thread has only the
// statements left to run. The reschedule is the run's next scheduled time
// (the interval counted from the run's scheduled time, so that retries never
// shift it, or the calendar's next match, or for missed runs what i_missed
// says), or after a failed attempt that may be retried the retry's time.
void HitAndPrepare(const RunSettings* s, HitJob* job) {
  job->hit_made = true;
  job->write.skipped.outcome[0] = '\0';
  const Entry& entry = job->entry;
  RunOfAttempt run;
  StartAttempt(*job->kept, entry, &run);
  if (run.rule.retries > 0) PlaceRun(entry, job->present, &run);
  MissedRuns missed = PlanMissedRuns(*job, run);
  if (missed.missed && missed.policy == kMissedNone) {
    PassOver(s, job, missed);
    return;
  }
  NoteHitStarted();
  job->options.entry_limits = OptionGiven(s, 'w');
  job->options.hold_failed_line = run.rule.retries > 0;
  job->options.idempotency_key = nullptr;
  if (run.rule.retries > 0 && run.run_time != -1) {
    snprintf(job->idempotency_key, sizeof job->idempotency_key, "%s-%lld", entry.id,
             static_cast<long long>(run.run_time));
    job->options.idempotency_key = job->idempotency_key;
  }
  bool calendar = entry.cron[0] != '\0';
  char next[20];
  char refused[160];
  std::string unparsed = ReadExpect(job);
  bool scheduled = true;
  if (missed.policy == kMissedRefused) {
    // Tried again after its interval, as a refused calendar is.
    long long interval = ParseInt(entry.interval);
    LocalTimeText(job->present + (interval > 0 ? interval : static_cast<long long>(kRefusedScheduleRetrySecs)), next,
                  sizeof next);
    snprintf(refused, sizeof refused, "i_missed: unknown word '%.20s'", entry.missed);
    scheduled = false;
  } else if (missed.missed && missed.policy == kMissedOne) {
    LocalTimeText(missed.passed.next, next, sizeof next);
  } else if (calendar && missed.counted) {
    // The calendar's next match as the count found it, each missed one in
    // turn or the first after the present.
    LocalTimeText(missed.missed ? missed.passed.second : missed.passed.next, next, sizeof next);
  } else if (calendar) {
    scheduled = CalendarNextRun(entry, job->present, next, sizeof next, refused, sizeof refused);
  }
  if (!scheduled)
    RefuseHit(entry, kHitBadSchedule, refused, s->verbose,
              s->quiet && !job->options.hold_failed_line, &job->record);
  else if (!unparsed.empty())
    RefuseHit(entry, kHitBadRequest, unparsed.c_str(), s->verbose,
              s->quiet && !job->options.hold_failed_line, &job->record);
  else
    Hit(entry, job->options, s->verbose, s->quiet, &job->record);
  const HitRecord& record = job->record;
  NoteHitEnded(record.outcome, record.duration_us);
  if (calendar || !scheduled || (missed.missed && missed.policy == kMissedOne)) {
    PrepareUpdateTo(s, entry, next, &job->write);
  } else if (run.scheduled[0] != '\0') {
    Entry scheduled = entry;
    CopyText(scheduled.next, run.scheduled);
    PrepareUpdate(s, scheduled, job->present, &job->write);
  } else {
    PrepareUpdate(s, entry, job->present, &job->write);
  }
  time_t now = time(nullptr);
  time_t retry = HitSucceeded(record.outcome) ? -1 : PlanRetry(run, record, job->write.next, now);
  char suffix[64] = "";
  if (retry != -1) {
    char retry_text[20];
    LocalTimeText(retry, retry_text, sizeof retry_text);
    PrepareUpdateTo(s, entry, retry_text, &job->write);
    snprintf(suffix, sizeof suffix, "retry %d of %d in %lld s", run.attempt, run.rule.retries,
             static_cast<long long>(retry - now));
    NoteRetry();
    if (s->verbose) PrintFormat("Retrying - id %s - %s at %s.\r\n", entry.id, suffix, retry_text);
  } else if (!HitSucceeded(record.outcome)) {
    NoteRunFailed();
  }
  if (run.lapsed) NoteRunFailed();
  if (s->quiet && job->options.hold_failed_line && !HitSucceeded(record.outcome))
    PrintFailedHit(entry, record, suffix);
  AttemptFacts facts{record.outcome, record.result.status, record.duration_us / 1000,
                     record.started};
  EndAttempt(*job->kept, entry, run, facts, retry != -1, &job->write.state);
  if (OptionGiven(s, 'l')) {
    FillResultRow(job->entry, record, &job->write.row);
    job->write.row.attempt = run.attempt;
  }
  if (missed.missed && missed.policy == kMissedOne) {
    SlotsPassed rest = AfterTheFirst(missed.passed);
    NoteRunsSkipped(rest.count);
    if (s->verbose)
      PrintFormat("Skipping - id %s - %s.\r\n", entry.id,
                  SkippedReason(rest.count, rest.more, rest.first, rest.last).c_str());
    if (OptionGiven(s, 'l')) FillSkippedRow(entry, record.started, rest, "", &job->write.skipped);
  }
}

// Reads the entry's own call where its row has one.
// false when the read fails.
bool ReadCall(Schedule* db, HitJob* job) {
  job->kept = &db->state.columns;
  job->missed_column = db->missed_column;
  bool has_call = db->calls.any() && strcmp(job->entry.call, "0") != 0;
  job->options.call = has_call ? &job->call : nullptr;
  if (!has_call) return true;
  DatabaseCall reading;
  if (FetchEntryCall(&db->calls, job->entry, &job->call)) return true;
  NoteDatabaseError();
  return false;
}

void HitOnWorker(void* job_pointer, void* settings) {
  auto* job = static_cast<HitJob*>(job_pointer);
  CaptureOutput(&job->output);
  HitAndPrepare(static_cast<const RunSettings*>(settings), job);
  CaptureOutput(nullptr);
}

// What one cycle did, for its status line and metrics.
struct CycleCounts {
  int due = 0;     // rows fetched
  int hit = 0;     // hits that ended
  int failed = 0;  // of those, hits that did not succeed
  void Ended(const HitJob& job) {
    if (!job.hit_made) return;
    ++hit;
    if (!HitSucceeded(job.record.outcome)) ++failed;
  }
};

struct ParallelHits {
  HitPool* pool = nullptr;
  std::vector<HitJob> jobs;  // one for each worker, reused from cycle to cycle
  ParallelHits() = default;
  ParallelHits(const ParallelHits&) = delete;
  ParallelHits& operator=(const ParallelHits&) = delete;
  ~ParallelHits() { StopHitPool(pool); }
};

// The blocks of ended hits that are not yet put out, in the order the hits
// ended. A hit whose words pass the capture's bound (a large reply) holds
// the streams until it ends, which may take minutes; the other hits go on
// meanwhile, and their blocks wait here, up to kUnwrittenLimit bytes, after
// which the main thread waits for the streams rather than gather more.
class UnwrittenBlocks {
 public:
  static constexpr size_t kUnwrittenLimit = 4 << 20;

  // Moves what capture has gathered to the end of the blocks.
  void Keep(OutputCapture* capture) {
    if (capture->bytes.empty()) return;
    OutputCapture& block = blocks_.emplace_back();
    block.bytes.swap(capture->bytes);
    block.error_spans.swap(capture->error_spans);
    bytes_ += block.bytes.size();
  }

  // Puts the blocks out, if the streams are free or wait is set (or the
  // blocks have reached their limit).
  void PutOut(OutputStreams streams, bool wait) {
    if (blocks_.empty()) return;
    order_.clear();
    for (OutputCapture& block : blocks_) order_.push_back(&block);
    if (wait || bytes_ > kUnwrittenLimit) {
      ReplayOutputs(order_.data(), order_.size(), streams);
    } else if (!TryReplayOutputs(order_.data(), order_.size(), streams)) {
      return;
    }
    blocks_.clear();
    bytes_ = 0;
  }

 private:
  std::deque<OutputCapture> blocks_;
  std::vector<OutputCapture*> order_;  // kept from group to group, so as not to allocate
  size_t bytes_ = 0;
};



// Entries left to a later cycle (see HostPlaces) cost a fetch each, or
// sharing a claim and a hand-back: after this many the hits that have ended
// meanwhile are written before more are looked at, so that a long run of
// one host's entries holds up no write (with -s, no claim's write).
constexpr size_t kLeftAtOnce = 64;

// Hits the fetched rows on the workers, at most one per worker at a time.
// Rows are read from the select only as workers become free, and each entry
// is rescheduled as soon as its own hit has ended, so a process that is
// killed loses no more than the reschedules of the hits in flight. After a
// failed write nothing more is fetched; the hits in flight end and are
// written, and the failure is reported last. Returns 0, or 1 after a
// failed write.
int HitInParallel(const RunSettings* s, Schedule* db, ParallelHits* hits, DueEntries* due,
                  time_t present, OutputStreams streams, CycleCounts* counts) {
  HostPlaces places(s, db);
  std::vector<HitJob*> idle;
  for (HitJob& job : hits->jobs) idle.push_back(&job);
  // The main thread's own words (the driver's, the error line) wait their
  // turn like a worker's, so that no hit's block is ever split.
  OutputCapture own;
  CaptureOutput(&own);
  UnwrittenBlocks unwritten;
  bool more = true;
  size_t in_flight = 0;
  char failed[1024] = "";
  char group_failed[1024];
  std::vector<void*> ended;
  std::vector<HitJob*> group;
  std::vector<HitWrite*> writes;
  for (;;) {
    size_t left = 0;
    bool looking = false;  // entries are still to be looked at for the idle workers
    // A stop lets the hits in flight end and be written, and starts no other.
    while (failed[0] == '\0' && !idle.empty() && !StopRequested()) {
      HitJob* job = idle.back();
      if (!places.TakeAside(&job->entry, job->write.claim)) {
        if (!more) break;
        if (left == kLeftAtOnce) {
          looking = true;
          break;
        }
        more = due->Next(static_cast<int>(idle.size()), &job->entry, job->write.claim);
        if (!more) {
          if (due->failed()[0] != '\0') snprintf(failed, sizeof failed, "%s", due->failed());
          break;
        }
        if (!places.Take(job->entry)) {
          if (!places.PutAside(job->entry, job->write.claim, due->claim_until())) ++left;
          continue;
        }
      }
      if (!ReadCall(db, job)) {
        snprintf(failed, sizeof failed, "%s", db->calls.text);
        break;
      }
      idle.pop_back();
      job->present = present;
      SubmitHit(hits->pool, job);
      due->Started();
      ++in_flight;
      ++counts->due;
    }
    // Once the workers have their next hits.
    unwritten.PutOut(streams, /*wait=*/false);
    if (in_flight == 0 && !looking) break;
    ended.clear();
    if (looking)
      TakeFinishedHits(hits->pool, &ended);
    else
      AwaitFinishedHits(hits->pool, &ended);
    if (ended.empty()) continue;
    in_flight -= ended.size();
    group.clear();
    writes.clear();
    for (void* ended_job : ended) {
      auto* job = static_cast<HitJob*>(ended_job);
      places.Give(job->entry, job->record.duration_us);
      unwritten.Keep(&job->output);
      group.push_back(job);
      writes.push_back(&job->write);
      counts->Ended(*job);
    }
    bool written;
    {
      DatabaseCall write;
      written = WriteHits(db, writes.data(), writes.size(), group_failed, sizeof group_failed) &&
                WriteSkippedRows(db, writes.data(), writes.size(), group_failed,
                                 sizeof group_failed);
    }
    if (!written && failed[0] == '\0') snprintf(failed, sizeof failed, "%s", group_failed);
    unwritten.Keep(&own);  // the words of these writes and of the next fetches
    idle.insert(idle.end(), group.begin(), group.end());
  }
  places.Release();
  if (failed[0] != '\0') PrintFormat("Error Executing - %s\r\n", failed);
  unwritten.Keep(&own);
  CaptureOutput(nullptr);
  unwritten.PutOut(streams, /*wait=*/true);
  return failed[0] != '\0' ? 1 : 0;
}

// Hits the fetched rows one after the other on the main thread, each
// written back before the next is fetched. Returns 0, or 1 after a failed
// write.
int HitInTurn(const RunSettings* s, Schedule* db, DueEntries* due, time_t present,
              CycleCounts* counts) {
  static HitJob job;  // large; one is enough
  while (!StopRequested() && due->Next(1, &job.entry, job.write.claim)) {
    due->Started();
    ++counts->due;
    if (!ReadCall(db, &job)) {
      PrintFormat("Error Executing - %s\r\n", db->calls.text);
      return 1;
    }
    job.present = present;
    HitAndPrepare(s, &job);
    counts->Ended(job);
    HitWrite* write = &job.write;
    char failed[1024];
    DatabaseCall writing;
    if (!WriteHits(db, &write, 1, failed, sizeof failed) ||
        !WriteSkippedRows(db, &write, 1, failed, sizeof failed)) {
      PrintFormat("Error Executing - %s\r\n", failed);
      return 1;
    }
  }
  if (due->failed()[0] != '\0') {
    PrintFormat("Error Executing - %s\r\n", due->failed());
    return 1;
  }
  return 0;
}

// Starts the workers of -c; false when none could be made.
bool StartParallelHits(const RunSettings* s, ParallelHits* hits) {
  int started = 0;
  hits->pool = StartHitPool(s->concurrent_hits, HitOnWorker, const_cast<RunSettings*>(s), &started);
  if (started < s->concurrent_hits)
    PrintFormat("Could only start %d of %d hit threads.\r\n", started, s->concurrent_hits);
  hits->jobs = std::vector<HitJob>(static_cast<size_t>(started));
  return started > 0;
}

}  // namespace

int RunCycles(const RunSettings* s, Schedule* db) {
  ParallelHits hits;
  bool parallel = s->concurrent_hits > 1 && StartParallelHits(s, &hits);
  if (s->hits_per_host > 0) NoteHostCap();
  // The run time counts from the first cycle: starting hundreds of workers
  // on a busy machine may take seconds, which are no part of it.
  long runtime = strtol(s->runtime, nullptr, 10);
  time_t end_time = runtime > 0 ? time(nullptr) + runtime : 0;

  for (;;) {
    long long cycle_start_us = MonotonicUs();
    // Read afresh each cycle: a standard stream may be reopened meanwhile.
    OutputStreams streams = SenseOutputStreams();
    SetOutputStreams(streams);
    time_t present = time(nullptr);
    struct tm local;
    localtime_r(&present, &local);
    char quoted_now[64];
    strftime(quoted_now, 31, "'%Y-%m-%d %H:%M:%S'", &local);
    char fraction[64];
    double day_fraction = (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
    snprintf(fraction, sizeof fraction, "%f", day_fraction);
    if (s->verbose)
      PrintFormat("\r\nThe time is %s and %s is the current day fraction.\r\n", quoted_now,
                  fraction);
    ODBCDateDriverKludge2(0, db->select_conn, quoted_now);
    StartCredentialsCycle();
    StartOAuth2Cycle();
    if (db->pauses.enabled && !ResumeEndedPauses(s, db, present, quoted_now)) return 1;

    DueEntries due(s, db, quoted_now, fraction);
    if (!due.Start(parallel ? static_cast<int>(hits.jobs.size()) : 1)) {
      PrintFormat("Error Executing - %s\r\n", due.failed());
      return 1;
    }
    if (s->verbose && due.NoneAtStart())
      PrintFormat("Nothing to check - recheck in %ss.\r\n", s->interval);
    CycleCounts counts;
    int failed = parallel ? HitInParallel(s, db, &hits, &due, present, streams, &counts)
                          : HitInTurn(s, db, &due, present, &counts);
    due.Release();
    if (failed != 0) return 1;
    {
      // Before the prune, which keeps every row of an hour not yet filled.
      // With -s another daemon's hit of an hour may still be under way: it
      // ends within its claim, and is written a moment later.
      DatabaseCall rolling;
      time_t now = time(nullptr);
      time_t complete_before = s->claim_secs > 0 ? now - s->claim_secs - 60 : now;
      if (!StopRequested())
        FillRollups(&db->rollups, db->update_conn, complete_before, s->keep_rollup_days, now,
                    s->verbose);
    }
    {
      DatabaseCall pruning;
      PruneResults(&db->results, db->update_conn, s->keep_hours, time(nullptr),
                   db->rollups.enabled ? db->rollups.filled_until : nullptr);
      PruneRollups(&db->rollups, db->update_conn, s->keep_rollup_days, time(nullptr));
    }
    double took = static_cast<double>(MonotonicUs() - cycle_start_us) / 1e6;
    // Counted before the cycle is noted, so that a scrape that sees the
    // cycle also sees its count.
    if (OptionGiven(s, 'm') && db->state.columns.failures) {
      DatabaseCall counting;
      long long failing = 0;
      if (CountFailingEntries(&db->state, db->update_conn, db->results.manual_commit,
                              s->failing_runs, &failing))
        NoteEntriesFailing(failing);
      else
        NoteDatabaseError();
    }
    if (OptionGiven(s, 'm') && db->pauses.enabled) {
      DatabaseCall counting;
      long long paused = 0;
      if (CountPausedEntries(&db->pauses, db->update_conn, db->results.manual_commit, &paused))
        NoteEntriesPaused(paused);
      else
        NoteDatabaseError();
    }
    NoteCycleEnded(counts.due, took, time(nullptr));
    ServiceCycleStatus(counts.due, counts.hit, counts.failed, took);

    if (!StopRequested()) {
      if (end_time != 0 && present > end_time) return 0;
      fflush(stdout);  // the cycle's last words, before the sleep
      Sleep_sec(s->interval_secs);
    }
    if (StopRequested()) {
      ServiceStopping();
      return 0;
    }
  }
}

// Kept for its signature: SIGALRM's handler, whose running is the wake-up.
void wakeup(int) {}

int Sleep_sec(int seconds) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = wakeup;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (sigaction(SIGALRM, &action, nullptr) != 0) {
    fflush(stdout);
    perror("sigaction");
    return 0;
  }
  // What was printed so far reaches its file or pipe before the wait, so a
  // process killed while it sleeps leaves its output whole.
  fflush(stdout);
  // SIGALRM is held back between arming the alarm and waiting, so an alarm
  // that fires early still ends the wait instead of being lost before it;
  // and so are the stop signals, so that a stop asked for just before the
  // wait ends it at once rather than after the whole interval.
  sigset_t wake_signals, previous;
  sigemptyset(&wake_signals);
  sigaddset(&wake_signals, SIGALRM);
  sigaddset(&wake_signals, SIGTERM);
  sigaddset(&wake_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &wake_signals, &previous);
  if (!StopRequested()) {
    alarm(static_cast<unsigned>(seconds));
    sigset_t wait_mask = previous;
    sigdelset(&wait_mask, SIGALRM);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigsuspend(&wait_mask);
    if (StopRequested()) alarm(0);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return 1;
}
