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
#include "engine/flow/hit.h"
#include "engine/flow/hit_pool.h"
#include "engine/metrics.h"
#include "engine/rules/calendar.h"
#include "engine/rules/expect.h"
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
  ExpectRule expect;  // the entry's i_expect, read when it has one
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

// The next scheduled run after a pending retry's run, which the retry was
// planned to come before: the interval from the run's time, or the
// calendar's next match after the retry's time (the same as after the
// present it was planned in, as no match came between). -1 when it cannot
// be told.
time_t NextRunOfPending(const Entry& entry, const RunOfAttempt& run) {
  if (entry.cron[0] != '\0') {
    time_t retry_time = StoredTime(entry.next);
    return retry_time == -1 ? -1 : CalendarNextTime(entry, retry_time);
  }
  long long interval = ParseInt(entry.interval);
  return PlaceIntervalRun(entry.id, entry.splay, interval, run.run_time + interval);
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
    time_t next_run = NextRunOfPending(entry, *run);
    if (next_run != -1 && present >= next_run) LapsePendingRun(next_run, run);
  }
  if (run->attempt == 1 && entry.cron[0] == '\0' && ParseInt(entry.interval) <= 0)
    SetRunTime(present, run);
}

// The hit, then its reschedule's text (the date scanners' words follow the
// hit's own) and its result row, so that the writing thread has only the
// statements left to run. The reschedule is the run's next scheduled time
// (the interval counted from the run's scheduled time, so that retries never
// shift it, or the calendar's next match), or after a failed attempt that
// may be retried the retry's time.
void HitAndPrepare(const RunSettings* s, HitJob* job) {
  NoteHitStarted();
  job->options.entry_limits = OptionGiven(s, 'w');
  const Entry& entry = job->entry;
  RunOfAttempt run;
  StartAttempt(*job->kept, entry, &run);
  if (run.rule.retries > 0) PlaceRun(entry, job->present, &run);
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
  if (calendar && !CalendarNextRun(entry, job->present, next, sizeof next, refused, sizeof refused))
    RefuseHit(entry, kHitBadSchedule, refused, s->verbose,
              s->quiet && !job->options.hold_failed_line, &job->record);
  else if (!unparsed.empty())
    RefuseHit(entry, kHitBadRequest, unparsed.c_str(), s->verbose,
              s->quiet && !job->options.hold_failed_line, &job->record);
  else
    Hit(entry, job->options, s->verbose, s->quiet, &job->record);
  const HitRecord& record = job->record;
  NoteHitEnded(record.outcome, record.duration_us);
  if (calendar) {
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
}

// Reads the entry's own call where its row has one.
// false when the read fails.
bool ReadCall(Schedule* db, HitJob* job) {
  job->kept = &db->state.columns;
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

// A page of due entries as their texts, each field ending in its NUL: a
// few dozen bytes an entry, where an Entry takes 567, so that a page of
// them costs less than the driver's own copy of the rows.
class PackedEntries {
 public:
  void Clear() {
    bytes_.clear();
    starts_.clear();
  }
  size_t size() const { return starts_.size(); }
  void Add(Entry* entry) {  // only read
    starts_.push_back(bytes_.size());
    for (const EntryField& field : EntryFields(entry))
      bytes_.append(field.text, strlen(field.text) + 1);
  }
  // The entry at, as it was added.
  void Get(size_t at, Entry* entry) const {
    const char* text = bytes_.data() + starts_[at];
    for (const EntryField& field : EntryFields(entry)) {
      snprintf(field.text, field.capacity, "%s", text);
      text += strlen(text) + 1;
    }
    ReadEntryKey(entry);
  }
  const char* Id(size_t at) const { return bytes_.data() + starts_[at]; }  // the first field

 private:
  std::string bytes_;
  std::vector<size_t> starts_;
};

// The most seconds a hit of entry may take: with -w its own time limit,
// else the usual limits, the reply's deadline and a connect before it.
int LongestHit(const RunSettings* s, const Entry& entry) {
  int limit = OptionGiven(s, 'w') ? EntryTimeLimit(entry.timeout) : 0;
  return limit > 0 ? limit : (kHttpReplyDeadlineFactor + 1) * GWinsockTimeout.load();
}

// Where a cycle's entries come from: the rows of its select, fetched one at
// a time (or, where the driver would hold every due row, a page at a time);
// or, sharing the table (-s), rows claimed in batches of as many as
// the hits can take at the moment, at least a quarter of the workers, and
// as many as the cycle started hits in kClaimAheadUs at the rate since the
// batch before (up to kClaimMost). A claim is a round trip and a commit:
// claiming only as many rows as workers had just freed made one for every
// few hits, and against fast servers a sharing daemon spent half its time
// claiming. Sizing batches by the hits started keeps what is claimed ahead
// to what the daemon will hit within about a quarter of a second, however
// fast or slow its hits (a slow server's entries are claimed a few at a
// time, as other daemons could take them); an entry that waits for its
// host (-H) is no hit started, so a host cap holds the batches to what it
// lets through. A claimed entry is handed out only while its claim still
// covers its longest hit (ClaimCoversHit); one that no longer does, and
// those left when the cycle stops early, are handed back (see Release).
class DueEntries {
 public:
  DueEntries(const RunSettings* s, Schedule* db, const char* quoted_now, const char* fraction)
      : s_(s), db_(db), quoted_now_(quoted_now), fraction_(fraction) {}

  // Runs the select (or the first claim, of up to room entries). false
  // when that fails; failed() names the statement.
  bool Start(int room) {
    DatabaseCall starting;
    if (db_->claims.enabled) {
      StartClaimCycle(&db_->claims);
      return Claim(room);
    }
    char select[1024];
    if (!SelectDueEntries(s_, db_, quoted_now_, fraction_, select, sizeof select)) {
      Fail(select);
      return false;
    }
    if (db_->pages.enabled) {
      ReadPage();
      return true;
    }
    more_ = SQLOK(SQLFetch(db_->select_stmt));
    return true;
  }

  // Whether the select had no row (or the first claim none) at all.
  bool NoneAtStart() const { return !more_ && batch_.empty() && page_.size() == 0; }

  // The next entry, and with -s its claim time; room entries could be hit
  // now. false when none is left, or a claim failed (see failed()).
  bool Next(int room, Entry* entry, char* claim) {
    DatabaseCall fetching;
    if (db_->pages.enabled) {
      if (failed_[0] != '\0') return false;
      if (next_ == page_.size() && (!NextPage() || page_.size() == 0)) return false;
      page_.Get(next_++, entry);
      return true;
    }
    if (!db_->claims.enabled) {
      if (!more_) return false;
      FetchEntry(db_->select_stmt, entry);
      more_ = SQLOK(SQLFetch(db_->select_stmt));
      return true;
    }
    for (;;) {
      if (next_ == batch_.size() && (!more_ || !Claim(room) || batch_.empty())) return false;
      const Entry& claimed = batch_[next_++];
      if (ClaimCoversHit(db_->claims, claim_until_, time(nullptr), LongestHit(s_, claimed))) {
        *entry = claimed;
        snprintf(claim, 20, "%s", claim_text_);
        return true;
      }
      HandBackClaimed(&db_->claims, claimed, claim_text_);
    }
  }

  // With -s, until when the claim of the entry Next handed out last holds.
  time_t claim_until() const { return claim_until_; }

  // A hit has started, of an entry handed out now or earlier.
  void Started() { ++started_; }

  const char* failed() const { return failed_; }

  // Hands back the claimed entries that were not hit (a stop, or a failed
  // write, ended the cycle early): their rows get back the i_next they had,
  // if they still hold the claim, and are due at once for any daemon rather
  // than when the claim would have expired. A failure here leaves the claim
  // to expire.
  void Release() {
    if (!db_->claims.enabled) return;
    DatabaseCall releasing;
    for (; next_ < batch_.size(); ++next_)
      HandBackClaimed(&db_->claims, batch_[next_], claim_text_);
  }

 private:
  static constexpr long long kClaimAheadUs = 250 * 1000;
  static constexpr size_t kClaimMost = 1024;

  bool Claim(int room) {
    long long now = MonotonicUs();
    size_t ahead = 0;
    // Where some of the batch before wait for their host (or were handed
    // back), its pace says only how many places came free, not how fast more
    // could start: then as many as started, and no more.
    if (claimed_at_ > 0 && now > claimed_at_)
      ahead = started_ < batch_.size()
                  ? started_
                  : static_cast<size_t>(std::min<long long>(
                        static_cast<long long>(started_) * kClaimAheadUs / (now - claimed_at_),
                        kClaimMost));
    claimed_at_ = now;
    started_ = 0;
    batch_.resize(
        std::max({static_cast<size_t>(std::max({room, 1, s_->concurrent_hits / 4})), ahead}));
    next_ = 0;
    claim_until_ = time(nullptr) + db_->claims.hold_secs;
    int got = ClaimEntries(&db_->claims, db_->select_conn, db_->select_stmt, quoted_now_, fraction_,
                           claim_until_, static_cast<int>(batch_.size()), batch_.data(),
                           claim_text_, failed_, sizeof failed_);
    if (got < 0) NoteDatabaseError();
    batch_.resize(static_cast<size_t>(std::max(got, 0)));
    more_ = got > 0;
    return got >= 0;
  }
  // The rows of the page just selected, all read before any is hit: the
  // driver holds them in memory already, and SQLite's keeps the table's
  // read lock until the statement is gone, which every write would wait
  // for.
  void ReadPage() {
    page_.Clear();
    next_ = 0;
    Entry entry;
    while (page_.size() < db_->pages.rows && SQLOK(SQLFetch(db_->select_stmt))) {
      FetchEntry(db_->select_stmt, &entry);
      page_.Add(&entry);
    }
    more_ = page_.size() > 0;
    if (!EndDuePage(db_, page_.size() == db_->pages.rows))
      Fail("the first (selection) ODBC statement could not be made again");
  }
  // After a full page, the next one; false when none follows or its select
  // failed.
  bool NextPage() {
    char select[1024];
    std::vector<const char*> ids(page_.size());
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = page_.Id(i);
    if (!NextDuePage(s_, db_, quoted_now_, fraction_, ids.data(), ids.size(), select,
                     sizeof select)) {
      if (select[0] != '\0') Fail(select);
      return false;
    }
    ReadPage();
    return true;
  }
  void Fail(const char* statement) {
    NoteDatabaseError();
    snprintf(failed_, sizeof failed_, "%s", statement);
  }

  const RunSettings* s_;
  Schedule* db_;
  const char* quoted_now_;
  const char* fraction_;
  bool more_ = false;         // the last fetch had a row, or the last claim some
  std::vector<Entry> batch_;  // the last claim's entries
  long long claimed_at_ = 0;  // when it was made (MonotonicUs)
  time_t claim_until_ = 0;    // its claim time
  size_t started_ = 0;        // the hits started since
  PackedEntries page_;        // or the current page's
  size_t next_ = 0;           // the next of them to hand out
  char claim_text_[20] = "";
  char failed_[1024] = "";
};

// With -H, the hits in flight to each host (its text as written, in lower
// case, with its port) and the entries that wait in the cycle for a place:
// an entry over its host's cap is put aside, not failed, and the workers
// take the entries of other hosts meanwhile. The aside are bounded, so that
// a cycle of one slow host's entries does not hold them all in memory; past
// the bound an entry whose host has no place is left, not held: without -s
// it is simply not hit in this cycle (its i_next untouched, it stays due for
// the next), with -s it is handed back to whichever daemon claims it next.
// Either way the cycle goes on to the entries of other hosts, and meets
// each row once. Sharing the table, an entry waits only as long as its
// claim will still cover its hit: the hits of its host that have ended
// show how long they take, and an entry that would wait past that is
// handed back at once, rather than held until its claim runs out and
// another daemon takes it over while this one still means to hit it.
class HostPlaces {
 public:
  HostPlaces(const RunSettings* s, Schedule* db)
      : s_(s),
        db_(db),
        most_(s->hits_per_host),
        most_aside_(std::max<size_t>(1024, 16 * static_cast<size_t>(s->concurrent_hits))) {}
  bool capped() const { return most_ > 0; }
  // Takes a place for the entry; false when its host has none free.
  bool Take(const Entry& entry) {
    if (!capped()) return true;
    Host& host = hosts_[Key(entry)];
    if (host.in_flight >= most_) return false;
    ++host.in_flight;
    return true;
  }
  // Gives back the place of a hit of entry that lasted duration_us. With
  // -s, the pace that now shows may leave the last entries of the host's
  // queue too late for their claims: those are handed back.
  void Give(const Entry& entry, long long duration_us) {
    if (!capped()) return;
    auto at = hosts_.find(Key(entry));
    if (at == hosts_.end()) return;
    Host& host = at->second;
    --host.in_flight;
    host.ended_us += std::max(duration_us, 0LL);
    ++host.ended;
    time_t now = time(nullptr);
    while (db_->claims.enabled && !host.aside.empty() &&
           !InTime(host, host.aside.back(), host.aside.size() - 1, now)) {
      HandBack(host.aside.back().entry, host.aside.back().claim);
      host.aside.pop_back();
      --aside_;
    }
    if (!host.aside.empty()) ready_.push_back(&host);
  }
  // Puts the entry (with -s claimed by claim, until claim_until) aside
  // until its host has a place; false when it is left instead (see above).
  bool PutAside(const Entry& entry, const char* claim, time_t claim_until) {
    Host& host = hosts_[Key(entry)];
    host.aside.push_back({entry, {}, claim_until});
    Aside& waiting = host.aside.back();
    CopyText(waiting.claim, claim);
    if (aside_ < most_aside_ &&
        (!db_->claims.enabled || InTime(host, waiting, host.aside.size() - 1, time(nullptr)))) {
      ++aside_;
      NoteHostWait();
      return true;
    }
    if (db_->claims.enabled) HandBack(waiting.entry, waiting.claim);
    host.aside.pop_back();
    return false;
  }
  // Moves the first entry put aside for a host that now has a place into
  // *entry and claim, taking the place; false when there is none. Each
  // place given back to a host with entries aside makes it ready once, so
  // finding one costs no search. With -s, an entry whose claim no longer
  // covers its hit is handed back, and the host's next one is looked at.
  bool TakeAside(Entry* entry, char* claim) {
    while (!ready_.empty()) {
      Host* host = ready_.front();
      if (host->aside.empty() || host->in_flight >= most_) {
        ready_.pop_front();
        continue;
      }
      Aside& first = host->aside.front();
      bool in_time =
          !db_->claims.enabled || ClaimCoversHit(db_->claims, first.claim_until, time(nullptr),
                                                 LongestHit(s_, first.entry));
      if (in_time) {
        ready_.pop_front();
        ++host->in_flight;
        *entry = first.entry;
        snprintf(claim, sizeof first.claim, "%s", first.claim);
      } else {
        HandBack(first.entry, first.claim);
      }
      host->aside.pop_front();
      --aside_;
      if (in_time) return true;
    }
    return false;
  }
  // Hands back the claims of the entries still aside when the cycle ends
  // early (a stop, a failed write), as DueEntries::Release does for the
  // claimed entries not yet handed out.
  void Release() {
    if (!db_->claims.enabled) return;
    for (auto& [key, host] : hosts_) {
      for (const Aside& aside : host.aside) HandBack(aside.entry, aside.claim);
      host.aside.clear();
    }
    aside_ = 0;
  }

 private:
  struct Aside {
    Entry entry;
    char claim[20];
    time_t claim_until;
  };
  // A host's hits in flight and its entries aside, and how long its hits
  // that ended took together. Kept for the whole cycle (the map's nodes
  // stay where they are, for ready_).
  struct Host {
    int in_flight = 0;
    std::deque<Aside> aside;
    long long ended_us = 0;
    int ended = 0;
  };
  static std::string Key(const Entry& entry) {
    std::string key = entry.host;
    for (char& c : key)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    int port = ParseInt(entry.port);
    return key + ":" + std::to_string(port == 0 ? 80 : port);
  }
  // Whether waiting, at position in its host's queue, will start while its
  // claim covers its hit: each place of the host frees up once a hit of the
  // host's average length, or at once while none has ended yet (that first
  // guess is put right as the host's hits end, see Give).
  bool InTime(const Host& host, const Aside& waiting, size_t position, time_t now) const {
    long long wait_us = 0;
    if (host.ended > 0)
      wait_us = static_cast<long long>(position / static_cast<size_t>(most_) + 1) *
                (host.ended_us / host.ended);
    time_t start = now + static_cast<time_t>((wait_us + 999999) / 1000000);
    return ClaimCoversHit(db_->claims, waiting.claim_until, start, LongestHit(s_, waiting.entry));
  }
  // A failure leaves the claim to expire.
  void HandBack(const Entry& entry, const char* claim) {
    DatabaseCall handing_back;
    HandBackClaimed(&db_->claims, entry, claim);
  }
  const RunSettings* s_;
  Schedule* db_;
  int most_;
  size_t most_aside_;
  size_t aside_ = 0;
  std::unordered_map<std::string, Host> hosts_;
  std::deque<Host*> ready_;
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
      written = WriteHits(db, writes.data(), writes.size(), group_failed, sizeof group_failed);
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
    if (!WriteHits(db, &write, 1, failed, sizeof failed)) {
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
  long runtime = strtol(s->runtime, nullptr, 10);
  time_t end_time = runtime > 0 ? time(nullptr) + runtime : 0;
  ParallelHits hits;
  bool parallel = s->concurrent_hits > 1 && StartParallelHits(s, &hits);
  if (s->hits_per_host > 0) NoteHostCap();

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
